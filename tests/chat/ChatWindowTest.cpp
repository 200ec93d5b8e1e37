// The chat window's ending, and the whole road of a chat from the main window's Chat button to
// this copy's own listener.
#include "app/MainDialog.h"
#include "chat/SendChatRequestDialog.h"
#include "tests/chat/ChatFixture.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextDocument>

#include <cstdlib>

using namespace chattest;

namespace {
class ChatWindowTest : public AccepterFixture
{
protected:
    // An accepted chat with bob, served by a chat window.
    CChatDialog* StartChat(RawPeer& peer)
    {
        peer = Introduce();
        CChatRequestDialog* request = Request(peer);
        if (!request) {
            return nullptr;
        }
        Button(request, "acceptButton")->click();
        EXPECT_EQ(peer.Take(2), "OK");
        return WaitForWindow<CChatDialog>();
    }
};
} // namespace

TEST_F(ChatWindowTest, PeerLeavingIsToldBeforeTheWindowShowsChatEnded)
{
    RawPeer peer;
    CChatDialog* chat = StartChat(peer);
    ASSERT_NE(chat, nullptr);
    // A long chat keeps its last 10,000 lines, and its end leaves them alone.
    auto* transcript = chat->findChild<QPlainTextEdit*>("transcriptEdit");
    std::string batch;
    for (int line = 1; line <= 10005; ++line) {
        batch += std::to_string(line) + "\r\n";
        if (batch.size() > 1900 || line == 10005) {
            peer.Send(batch);
            batch.clear();
            ASSERT_TRUE(WaitFor([&] {
                return transcript->document()->lastBlock().previous().text().endsWith(QString::number(line));
            }));
        }
    }
    EXPECT_EQ(transcript->blockCount(), 10001);
    EXPECT_EQ(transcript->document()->firstBlock().text(), "bob (hostB):6");
    int changes = 0;
    QObject::connect(transcript->document(), &QTextDocument::contentsChanged, [&] { ++changes; });
    std::string seenDuringBox;
    onBox = [&] {
        seenDuringBox = Label(chat) + (Button(chat, "sendButton")->isEnabled() ? "|enabled" : "|disabled");
    };
    peer.Close();
    ASSERT_TRUE(WaitForBoxes(1));
    EXPECT_EQ(boxes[0].text, "bob (hostB) Left The Chat");
    EXPECT_EQ(boxes[0].style, unsigned(MB_OK));
    EXPECT_TRUE(boxes[0].byPeer) << "it must leave the keys where the user types";
    EXPECT_EQ(seenDuringBox, "Chatting With bob (hostB)|enabled");
    EXPECT_EQ(Label(chat), "Chat Ended");
    EXPECT_FALSE(Button(chat, "sendButton")->isEnabled());
    EXPECT_FALSE(Button(chat, "closeButton")->isEnabled());
    EXPECT_FALSE(chat->HasConnection());
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(transcript->document()->firstBlock().text(), "bob (hostB):6");

    // An ended chat closes without a question.
    PressEscape(chat);
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(OpenWindowsOf<CChatDialog>().empty());
}

TEST_F(ChatWindowTest, CloseAsksStopAndOnYesEndsTheChatButKeepsTheTranscript)
{
    RawPeer peer;
    CChatDialog* chat = StartChat(peer);
    ASSERT_NE(chat, nullptr);
    SendLine(chat, "bye");
    EXPECT_EQ(peer.Take(5), "bye\r\n");
    chat->findChild<QLineEdit*>("inputEdit")->setText("unsent");

    answers = {IDNO};
    Button(chat, "closeButton")->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Are you sure?");
    EXPECT_EQ(boxes[0].caption, "Stop");
    EXPECT_EQ(boxes[0].style, unsigned(MB_YESNO | MB_ICONQUESTION));
    EXPECT_FALSE(boxes[0].byPeer);
    EXPECT_TRUE(chat->HasConnection());
    EXPECT_EQ(Label(chat), "Chatting With bob (hostB)");
    EXPECT_EQ(peer.TakeAll(), "");

    answers = {IDYES};
    Button(chat, "closeButton")->click();
    EXPECT_TRUE(peer.WaitForClose());
    EXPECT_EQ(peer.TakeAll(), "");
    EXPECT_TRUE(chat->isVisible());
    EXPECT_EQ(Label(chat), "Chat Ended");
    EXPECT_EQ(Transcript(chat), "You:bye\n");
    EXPECT_EQ(chat->findChild<QLineEdit*>("inputEdit")->text(), "unsent");
    EXPECT_FALSE(Button(chat, "sendButton")->isEnabled());
    EXPECT_FALSE(Button(chat, "closeButton")->isEnabled());
}

// The peer's host vanishes: its bridge port goes down, so nothing it would answer arrives. When
// the connection is reported gone, the lines its computer never acknowledged are marked.
TEST_F(ChatWindowTest, LinesThePeerNeverAcknowledgedAreMarkedWhenTheChatBreaks)
{
    RawPeer peer;
    CChatDialog* chat = StartChat(peer);
    ASSERT_NE(chat, nullptr);
    SendLine(chat, "seen");
    EXPECT_EQ(peer.Take(6), "seen\r\n");
    peer.Send("ok\r\n");
    ASSERT_TRUE(WaitFor([&] { return Transcript(chat).ends_with("bob (hostB):ok\n"); }));
    std::string bridge = std::getenv("QLAN_NS_2");
    bridge.replace(bridge.rfind("-h2"), 3, "-br");
    const std::string port = "ip -n " + bridge + " link set p2 ";
    ASSERT_EQ(std::system((port + "down").c_str()), 0);
    SendLine(chat, "lost one");
    SendLine(chat, "lost two");
    chat->OnPeerLeft();
    ASSERT_EQ(std::system((port + "up").c_str()), 0);
    ASSERT_TRUE(WaitForBoxes(1));
    EXPECT_EQ(Transcript(chat),
        "You:seen\nbob (hostB):ok\nYou:lost one (not delivered)\nYou:lost two (not delivered)\n");
    EXPECT_EQ(Label(chat), "Chat Ended");
}

TEST_F(ChatWindowTest, EscapeDuringAChatAsksFirst)
{
    RawPeer peer;
    CChatDialog* chat = StartChat(peer);
    ASSERT_NE(chat, nullptr);
    answers = {IDNO};
    PressEscape(chat);
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(OpenWindowsOf<CChatDialog>().size(), 1u);
    answers = {IDYES};
    PressEscape(chat);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].caption, "Stop");
    EXPECT_TRUE(OpenWindowsOf<CChatDialog>().empty());
    EXPECT_TRUE(peer.WaitForClose());
}

TEST_F(ChatWindowTest, WholeRoadFromTheChatButtonToAnAcceptedChatAndBack)
{
    // This copy invites itself: both ends are real, the accepter is the fixture's listener.
    CMainDialog main;
    AfxSetMainWnd(&main);
    main.AddPeer(BOB, lan::Address(1));
    main.findChild<QPushButton*>("chatButton")->click();
    auto* send = WaitForWindow<CSendChatRequestDialog>();
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(Label(send), "Send Chat Request To bob (hostB)");
    TextBox(send, "subjectEdit")->setPlainText("road");
    Button(send, "sendButton")->click();

    CChatRequestDialog* request = WaitForWindow<CChatRequestDialog>();
    ASSERT_NE(request, nullptr);
    const std::string identity = main.GetLocalName();
    EXPECT_EQ(Label(request), "Received Chat Request From " + identity);
    EXPECT_EQ(Text(request, "subjectEdit"), "road\n");
    Button(request, "acceptButton")->click();

    ASSERT_TRUE(WaitFor([] { return OpenWindowsOf<CChatDialog>().size() == 2; }));
    CChatDialog* requester = nullptr;
    CChatDialog* accepter = nullptr;
    for (auto* chat : OpenWindowsOf<CChatDialog>()) {
        (Label(chat) == "Chatting With bob (hostB)" ? requester : accepter) = chat;
    }
    ASSERT_NE(requester, nullptr);
    ASSERT_NE(accepter, nullptr);
    EXPECT_EQ(Label(accepter), "Chatting With " + identity);
    // The peer's accepting opens the requester's window, while its user may be typing elsewhere.
    EXPECT_TRUE(requester->IsOpenedByPeer());
    EXPECT_FALSE(accepter->IsOpenedByPeer());

    SendLine(requester, "ping");
    ASSERT_TRUE(WaitFor([&] { return !Transcript(accepter).empty(); }));
    EXPECT_EQ(Transcript(accepter), identity + ":ping\n");
    SendLine(accepter, "pong");
    ASSERT_TRUE(WaitFor([&] { return Transcript(requester).size() > 10; }));
    EXPECT_EQ(Transcript(requester), "You:ping\nbob (hostB):pong\n");

    answers = {IDYES};
    Button(requester, "closeButton")->click();
    ASSERT_TRUE(WaitForBoxes(2));
    EXPECT_EQ(boxes[1].text, identity + " Left The Chat");
    EXPECT_EQ(Label(accepter), "Chat Ended");
    EXPECT_EQ(Label(requester), "Chat Ended");
    CDialog::DestroyAllWindows();
    AfxSetMainWnd(&mainWindow);
}
