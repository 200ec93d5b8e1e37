#include "net/PresenceSocket.h"
#include "net/LocalIdentity.h"
#include "tests/support/FakeMainWindow.h"
#include "tests/support/Lan.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

namespace {
std::string Raw(std::uint32_t kind, const std::string& text)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((kind >> (8 * i)) & 0xFF);
    }
    return bytes + text;
}

class TestPresenceSocket : public CPresenceSocket
{
public:
    using CPresenceSocket::HandleDatagram;
};

class PresenceSocketTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_LAN(2);
        ASSERT_TRUE(peer.IsOpen());
        ASSERT_TRUE(socket.Start());
        // The hello that every start broadcasts.
        hello = peer.Receive();
    }

    // Sends from host 2 and lets the copy handle it.
    void FromPeer(const std::string& bytes)
    {
        ASSERT_TRUE(peer.SendTo(bytes, lan::Address(1), PRESENCE_PORT));
        Settle(100);
    }

    FakeMainWindow mainWindow;
    UdpPeer peer {2, PRESENCE_PORT};
    TestPresenceSocket socket;
    std::optional<UdpPeer::Received> hello;
};
} // namespace

TEST(LocalIdentityTest, IdentityIsUserBlankAndHostInParentheses)
{
    EXPECT_EQ(BuildIdentity("jsmith", "LAB7"), "jsmith (LAB7)");
    EXPECT_FALSE(LocalUserName().empty());
    EXPECT_LE(LocalUserName().size(), 99u);
    EXPECT_FALSE(LocalHostName().empty());
    EXPECT_LE(LocalHostName().size(), 99u);
    EXPECT_EQ(ResolveHostAddress("name.that.does.not.resolve.invalid"), "");
}

TEST_F(PresenceSocketTest, StartBroadcastsTheHelloWithTheIdentity)
{
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->bytes, Raw(KIND_HELLO, LocalUserName() + " (" + lan::HostName(1) + ")"));
    EXPECT_EQ(hello->source, lan::Address(1));
    EXPECT_EQ(socket.GetIdentity(), LocalUserName() + " (" + lan::HostName(1) + ")");
}

TEST_F(PresenceSocketTest, HelloFromAnotherAddressIsListedAndAnsweredOnce)
{
    FromPeer(Raw(KIND_HELLO, "bob (PC2)"));
    ASSERT_EQ(mainWindow.added.size(), 1u);
    EXPECT_EQ(mainWindow.added[0], std::make_pair(CString("bob (PC2)"), lan::Address(2)));

    const auto reply = peer.Receive();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->bytes, Raw(KIND_HELLO_REPLY, socket.GetIdentity()));
    EXPECT_FALSE(peer.Receive(300)) << "only one reply";
}

TEST_F(PresenceSocketTest, UnaskedReplyIsListedWithoutAnswerOncePerNameAndAddress)
{
    FromPeer(Raw(KIND_HELLO_REPLY, "carol (PC3)"));
    ASSERT_EQ(mainWindow.added.size(), 1u);
    EXPECT_EQ(mainWindow.added[0].first, "carol (PC3)");
    EXPECT_FALSE(peer.Receive(300));

    // The same pair again is the answer to a hello she had heard: it is listed already.
    FromPeer(Raw(KIND_HELLO_REPLY, "carol (PC3)"));
    EXPECT_EQ(mainWindow.added.size(), 1u);
    // The same name elsewhere is another peer; a hello still lists and is answered.
    socket.HandleDatagram(KIND_HELLO_REPLY, "carol (PC3)", "10.200.0.3");
    FromPeer(Raw(KIND_HELLO, "carol (PC3)"));
    EXPECT_EQ(mainWindow.added.size(), 3u);
    EXPECT_TRUE(peer.Receive());
}

TEST_F(PresenceSocketTest, RepeatedHelloIsListedTwice)
{
    FromPeer(Raw(KIND_HELLO, "bob (PC2)"));
    FromPeer(Raw(KIND_HELLO, "bob (PC2)"));
    EXPECT_EQ(mainWindow.added.size(), 2u);
}

TEST_F(PresenceSocketTest, LeaveAsksForRemovalOfThatName)
{
    FromPeer(Raw(KIND_LEAVE, "bob (PC2)"));
    EXPECT_EQ(mainWindow.removed, std::vector<CString> {"bob (PC2)"});
}

TEST_F(PresenceSocketTest, MessageIsShownWithTheSendersListedNameOrEmpty)
{
    FromPeer(Raw(KIND_MESSAGE, "before listing"));
    FromPeer(Raw(KIND_HELLO_REPLY, "bob (PC2)"));
    FromPeer(Raw(KIND_MESSAGE, "line\r\nnext"));
    ASSERT_EQ(mainWindow.messages.size(), 2u);
    EXPECT_EQ(mainWindow.messages[0], std::make_pair(CString(), CString("before listing")));
    EXPECT_EQ(mainWindow.messages[1], std::make_pair(CString("bob (PC2)"), CString("line\r\nnext")));
}

TEST_F(PresenceSocketTest, OddDatagramsAreReadAsTheLayoutSays)
{
    // An empty datagram is no hello of an empty name, and what follows it is still heard.
    FromPeer("");
    FromPeer(std::string(1, '\x02'));
    FromPeer(Raw(KIND_MESSAGE, std::string("hi\0ignored", 10)));
    FromPeer(Raw(4, "unknown kind"));
    FromPeer(Raw(0x100, "kind 256"));
    FromPeer(Raw(KIND_MESSAGE, std::string(2000, 'm')));
    FromPeer(Raw(KIND_MESSAGE, std::string(2001, 'x')));
    ASSERT_EQ(mainWindow.messages.size(), 3u);
    EXPECT_EQ(mainWindow.messages[0].second, "");
    EXPECT_EQ(mainWindow.messages[1].second, "hi");
    EXPECT_EQ(mainWindow.messages[2].second, std::string(2000, 'm'));
    EXPECT_TRUE(mainWindow.added.empty());
    EXPECT_FALSE(peer.Receive(300)) << "nothing is answered";
}

TEST_F(PresenceSocketTest, OwnDatagramsAreIgnored)
{
    // The copy's own broadcasts come back to it from its interface address.
    socket.SendText("my own announcement", nullptr);
    CSocket sameHost;
    ASSERT_TRUE(sameHost.Create(0, SOCK_DGRAM));
    const std::string ownHello = Raw(KIND_HELLO, "me (here)");
    sameHost.SendTo(
        ownHello.data(), static_cast<int>(ownHello.size()), PRESENCE_PORT, lan::Address(1).c_str());
    // A copy whose interface has no address yet broadcasts from 0.0.0.0.
    socket.HandleDatagram(KIND_HELLO, "me (before my address)", "0.0.0.0");
    Settle(200);
    EXPECT_TRUE(mainWindow.messages.empty());
    EXPECT_TRUE(mainWindow.added.empty());
}

TEST_F(PresenceSocketTest, MessagesAndLeaveGoWhereTheyShould)
{
    socket.SendText("to you", lan::Address(2).c_str());
    auto received = peer.Receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->bytes, Raw(KIND_MESSAGE, "to you"));

    socket.SendText("", nullptr);
    received = peer.Receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->bytes, Raw(KIND_MESSAGE, ""));

    socket.SendLeave();
    received = peer.Receive();
    ASSERT_TRUE(received);
    EXPECT_EQ(received->bytes, Raw(KIND_LEAVE, socket.GetIdentity()));
}

TEST_F(PresenceSocketTest, SecondSocketOnThePortFailsToStart)
{
    CPresenceSocket second;
    EXPECT_FALSE(second.Start());
}
