// The requester's side: the real "Send Chat Request" window and CChatSocket on host 1, the
// invited copy played by a plain listening socket on host 2.
#include "chat/DeclinedDialog.h"
#include "chat/SendChatRequestDialog.h"
#include "framework/TextLimit.h"
#include "tests/chat/ChatFixture.h"

#include <memory>

using namespace chattest;

namespace {
class RequesterTest : public ChatTest
{
protected:
    // Opens the window for peer, types the subject and presses Send.
    CSendChatRequestDialog* SendRequest(const QString& subject, const CString& peer = BOB)
    {
        auto* window = new CSendChatRequestDialog;
        window->m_strPeer = peer;
        window->m_strHeader = "Send Chat Request To " + peer;
        window->Create();
        TextBox(window, "subjectEdit")->setPlainText(subject);
        Button(window, "sendButton")->click();
        return window;
    }

    // Runs the handshake up to the answer: identity, receipt, subject.
    RawPeer AwaitDecision(const QString& subject = "lunch?")
    {
        SendRequest(subject);
        RawPeer peer = listener->Accept();
        EXPECT_EQ(peer.Take(13), ALICE);
        peer.Send("OK");
        EXPECT_EQ(peer.Take(subject.size() + 2), subject.toStdString() + "\r\n");
        return peer;
    }

    static int StateOf(CSendChatRequestDialog* window)
    {
        return window->GetConnection() ? window->GetConnection()->GetState() : -1;
    }

    std::unique_ptr<RawListener> listener = std::make_unique<RawListener>();
};
} // namespace

TEST_F(RequesterTest, HandshakeSendsIdentityThenSubjectOnlyAfterTheReceipt)
{
    ASSERT_TRUE(listener->IsOpen());
    CSendChatRequestDialog* window = SendRequest("two\nlines");
    EXPECT_EQ(window->windowTitle(), "Send Chat Request");
    EXPECT_EQ(Label(window), "Send Chat Request To bob (hostB)");
    EXPECT_FALSE(TextBox(window, "subjectEdit")->isEnabled());
    EXPECT_FALSE(Button(window, "sendButton")->isEnabled());
    EXPECT_TRUE(Button(window, "cancelButton")->isEnabled());

    RawPeer peer = listener->Accept();
    ASSERT_TRUE(peer.IsOpen());
    EXPECT_EQ(peer.TakeAll(), ALICE);
    // Anything but the exact receipt leaves the request waiting, subject unsent.
    peer.Send("OK\r\n");
    EXPECT_EQ(peer.TakeAll(), "");
    peer.Send("OK");
    EXPECT_EQ(peer.TakeAll(), "two\r\nlines\r\n");
    EXPECT_EQ(StateOf(window), CChatSocket::AwaitDecision);
}

TEST_F(RequesterTest, EmptySubjectTravelsAsALineBreakAlone)
{
    RawPeer peer = AwaitDecision("");
    EXPECT_EQ(peer.TakeAll(), "");
}

TEST_F(RequesterTest, AcceptanceOpensTheChatWindowAndHandsItTheConnection)
{
    RawPeer peer = AwaitDecision();
    peer.Send("OK");
    auto* chat = WaitForWindow<CChatDialog>();
    ASSERT_NE(chat, nullptr);
    EXPECT_EQ(chat->windowTitle(), "Chat");
    EXPECT_EQ(Label(chat), "Chatting With bob (hostB)");
    WaitFor([] { return OpenWindowsOf<CSendChatRequestDialog>().empty(); });
    EXPECT_TRUE(OpenWindowsOf<CSendChatRequestDialog>().empty());

    peer.Send("hi\r\n");
    WaitFor([&] { return !Transcript(chat).empty(); });
    SendLine(chat, "hello");
    EXPECT_EQ(peer.Take(7), "hello\r\n");
    EXPECT_EQ(Transcript(chat), "bob (hostB):hi\nYou:hello\n");
}

TEST_F(RequesterTest, ReasonAfterTheDeclineOpensRequestDecined)
{
    RawPeer peer = AwaitDecision();
    CSendChatRequestDialog* window = OpenWindowsOf<CSendChatRequestDialog>().at(0);
    peer.Send("NO WAY");
    ASSERT_TRUE(WaitFor([&] { return StateOf(window) == CChatSocket::Declined; }));
    peer.Send("busy\r\nsorry");

    auto* declined = WaitForWindow<CDeclinedDialog>();
    ASSERT_NE(declined, nullptr);
    EXPECT_EQ(declined->windowTitle(), "Request Decined");
    EXPECT_EQ(Text(declined, "reasonEdit"), "busy\nsorry");
    EXPECT_TRUE(TextBox(declined, "reasonEdit")->isReadOnly());
    EXPECT_TRUE(peer.WaitForClose());
    EXPECT_TRUE(OpenWindowsOf<CSendChatRequestDialog>().empty());
    EXPECT_TRUE(boxes.empty());

    Button(declined, "okButton")->click();
    EXPECT_TRUE(OpenWindowsOf<CDeclinedDialog>().empty());
}

TEST_F(RequesterTest, OkWithALineBreakIsADeclineNotAnAcceptance)
{
    RawPeer peer = AwaitDecision();
    CSendChatRequestDialog* window = OpenWindowsOf<CSendChatRequestDialog>().at(0);
    peer.Send("OK\r\nfirst line\r\n");
    ASSERT_TRUE(WaitFor([&] { return StateOf(window) == CChatSocket::Declined; }));
    EXPECT_TRUE(OpenWindowsOf<CChatDialog>().empty());
    peer.Send("x");
    auto* declined = WaitForWindow<CDeclinedDialog>();
    ASSERT_NE(declined, nullptr);
    EXPECT_EQ(Text(declined, "reasonEdit"), "x");
}

TEST_F(RequesterTest, DeclineAndReasonInOneReadLoseTheReason)
{
    RawPeer peer = AwaitDecision();
    peer.Send("NO WAYbecause");
    Settle(100);
    peer.Close();
    ASSERT_TRUE(WaitForBoxes(1));
    EXPECT_EQ(boxes[0].text, "Request Declined Without Reason");
    EXPECT_EQ(boxes[0].caption, AppName());
    EXPECT_EQ(boxes[0].style, unsigned(MB_OK));
    EXPECT_TRUE(OpenWindowsOf<CDeclinedDialog>().empty());
    WaitFor([] { return OpenWindowsOf<CSendChatRequestDialog>().empty(); });
    EXPECT_TRUE(OpenWindowsOf<CSendChatRequestDialog>().empty());
}

TEST_F(RequesterTest, CloseBeforeAnyAnswerReadsAsDeclinedWithoutReason)
{
    // Closed after the identity (state 1) and after the subject (state 2).
    for (int answered = 0; answered < 2; ++answered) {
        boxes.clear();
        RawPeer peer;
        if (answered) {
            peer = AwaitDecision();
        } else {
            SendRequest("s");
            peer = listener->Accept();
            EXPECT_EQ(peer.Take(13), ALICE);
        }
        peer.Close();
        ASSERT_TRUE(WaitForBoxes(1)) << answered;
        EXPECT_EQ(boxes[0].text, "Request Declined Without Reason");
        WaitFor([] { return OpenWindowsOf<CSendChatRequestDialog>().empty(); });
        EXPECT_TRUE(OpenWindowsOf<CSendChatRequestDialog>().empty());
    }
}

TEST_F(RequesterTest, CancelWhileWaitingClosesSilently)
{
    RawPeer peer = AwaitDecision();
    CSendChatRequestDialog* window = OpenWindowsOf<CSendChatRequestDialog>().at(0);
    Button(window, "cancelButton")->click();
    EXPECT_TRUE(OpenWindowsOf<CSendChatRequestDialog>().empty());
    EXPECT_TRUE(peer.WaitForClose());
    EXPECT_EQ(peer.TakeAll(), "");
    Settle(100);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(RequesterTest, UnknownPeerOrNobodyListeningIsADeclineWithoutReason)
{
    // The peer left the list: no address, the attempt fails at once.
    SendRequest("s", "carol (hostC)");
    // Host 2 exists, but nothing listens there on port 101 any more.
    listener.reset();
    SendRequest("s");
    ASSERT_TRUE(WaitForBoxes(2));
    EXPECT_EQ(boxes[0].text, "Request Declined Without Reason");
    EXPECT_EQ(boxes[1].text, "Request Declined Without Reason");
    EXPECT_TRUE(WaitFor([] { return OpenWindowsOf<CSendChatRequestDialog>().empty(); }));
}

TEST_F(RequesterTest, SubjectBoxStopsAt2000BytesOnTheWire)
{
    auto* window = new CSendChatRequestDialog;
    window->Create();
    QPlainTextEdit* subject = TextBox(window, "subjectEdit");
    subject->insertPlainText(QString(1999, QLatin1Char('x')));
    // A line break takes two bytes on the wire and no longer fits; one more letter does.
    subject->insertPlainText(QStringLiteral("\n"));
    EXPECT_EQ(WireByteCount(subject->toPlainText()), 1999);
    subject->insertPlainText(QStringLiteral("yz"));
    EXPECT_EQ(WireByteCount(subject->toPlainText()), 2000);
    EXPECT_TRUE(subject->toPlainText().endsWith(QStringLiteral("xy")));
}
