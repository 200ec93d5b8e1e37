// The accepter's side: the real chat listener on host 1 port 101 with its windows, the
// requesting copy played by plain sockets connecting from host 2.
#include "chat/ChatRequestDialog.h"
#include "chat/DeclineDialog.h"
#include "tests/chat/ChatFixture.h"
#include "tests/support/ScopedIdleLimits.h"

#include <vector>

using namespace chattest;

using AccepterTest = AccepterFixture;

TEST_F(AccepterTest, IdentityIsAcknowledgedAndTheSubjectShowsTheRequestOnce)
{
    RawPeer peer = Introduce("mallory (not listed)");
    EXPECT_EQ(peer.TakeAll(), "");
    EXPECT_EQ(beeps, 0);
    EXPECT_TRUE(OpenWindowsOf<CChatRequestDialog>().empty());
    EXPECT_EQ(listener->GetHiddenWindowCount(), 1u);

    CChatRequestDialog* request = Request(peer, "two\r\nlines\r\n");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(request->windowTitle(), "Received Chat Request");
    EXPECT_EQ(Label(request), "Received Chat Request From mallory (not listed)");
    EXPECT_EQ(Text(request, "subjectEdit"), "two\nlines\n");
    EXPECT_TRUE(TextBox(request, "subjectEdit")->isReadOnly());
    EXPECT_EQ(listener->GetHiddenWindowCount(), 0u);

    // Nothing more belongs to the request: never a second window or sound.
    peer.Send("more");
    Settle(150);
    EXPECT_EQ(OpenWindowsOf<CChatRequestDialog>().size(), 1u);
    EXPECT_EQ(beeps, 1);
    EXPECT_EQ(peer.TakeAll(), "");
}

TEST_F(AccepterTest, SubjectLongerThanOneReadIsCutAndTheRestIgnored)
{
    RawPeer peer = Introduce();
    CChatRequestDialog* request = Request(peer, std::string(2000, 's') + "\r\n");
    ASSERT_NE(request, nullptr);
    Settle(150);
    EXPECT_EQ(Text(request, "subjectEdit"), std::string(2000, 's'));
    EXPECT_EQ(OpenWindowsOf<CChatRequestDialog>().size(), 1u);
    EXPECT_EQ(beeps, 1);
}

TEST_F(AccepterTest, AcceptSendsOkAndOpensTheChatWindow)
{
    RawPeer peer = Introduce();
    CChatRequestDialog* request = Request(peer);
    ASSERT_NE(request, nullptr);
    Button(request, "acceptButton")->click();
    EXPECT_EQ(peer.Take(2), "OK");
    auto* chat = WaitForWindow<CChatDialog>();
    ASSERT_NE(chat, nullptr);
    EXPECT_EQ(Label(chat), "Chatting With bob (hostB)");
    EXPECT_TRUE(OpenWindowsOf<CChatRequestDialog>().empty());

    // Two lines in one read are two prefixed lines; a piece keeps no line break.
    peer.Send("one\r\ntwo\r\n");
    WaitFor([&] { return Transcript(chat).size() >= 30; });
    peer.Send("half");
    WaitFor([&] { return Transcript(chat).find("half") != std::string::npos; });
    EXPECT_EQ(Transcript(chat), "bob (hostB):one\nbob (hostB):two\nbob (hostB):half");

    SendLine(chat, "");
    EXPECT_EQ(peer.Take(2), "\r\n");
    SendLine(chat, "x y");
    EXPECT_EQ(peer.Take(5), "x y\r\n");
    EXPECT_EQ(Transcript(chat), "bob (hostB):one\nbob (hostB):two\nbob (hostB):halfYou:\nYou:x y\n");
    EXPECT_TRUE(chat->findChild<QLineEdit*>("inputEdit")->text().isEmpty());
}

TEST_F(AccepterTest, DeclineWithReasonSendsNoWayThenTheReasonAndCloses)
{
    RawPeer peer = Introduce();
    CChatRequestDialog* request = Request(peer);
    ASSERT_NE(request, nullptr);
    Button(request, "declineButton")->click();
    EXPECT_EQ(peer.Take(6), "NO WAY");
    auto* decline = WaitForWindow<CDeclineDialog>();
    ASSERT_NE(decline, nullptr);
    EXPECT_EQ(decline->windowTitle(), "Decline Request");
    EXPECT_TRUE(OpenWindowsOf<CChatRequestDialog>().empty());

    // Reads while declining mean nothing.
    peer.Send("ignored");
    Settle(100);
    EXPECT_EQ(OpenWindowsOf<CDeclineDialog>().size(), 1u);

    TextBox(decline, "reasonEdit")->setPlainText("busy\nsorry");
    Button(decline, "sendButton")->click();
    EXPECT_TRUE(peer.WaitForClose());
    EXPECT_EQ(peer.TakeAll(), "busy\r\nsorry");
    EXPECT_TRUE(OpenWindowsOf<CDeclineDialog>().empty());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AccepterTest, EmptyReasonOrClosingTheDeclineWindowSendsNothing)
{
    for (const char* how : {"send", "escape"}) {
        RawPeer peer = Introduce();
        CChatRequestDialog* request = Request(peer);
        ASSERT_NE(request, nullptr) << how;
        Button(request, "declineButton")->click();
        EXPECT_EQ(peer.Take(6), "NO WAY");
        auto* decline = WaitForWindow<CDeclineDialog>();
        ASSERT_NE(decline, nullptr);
        if (std::string(how) == "send") {
            Button(decline, "sendButton")->click();
        } else {
            PressEscape(decline);
        }
        EXPECT_TRUE(peer.WaitForClose()) << how;
        EXPECT_EQ(peer.TakeAll(), "") << how;
        EXPECT_TRUE(OpenWindowsOf<CDeclineDialog>().empty());
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AccepterTest, RequesterCancelReportsRequestCancelledInEveryWaitingWindow)
{
    // Before the subject (window never shown), while the request shows, while declining.
    for (int stage = 0; stage < 3; ++stage) {
        boxes.clear();
        RawPeer peer = Introduce();
        if (stage >= 1) {
            ASSERT_NE(Request(peer), nullptr);
        }
        if (stage == 2) {
            Button(OpenWindowsOf<CChatRequestDialog>().at(0), "declineButton")->click();
            EXPECT_EQ(peer.Take(6), "NO WAY");
            ASSERT_NE(WaitForWindow<CDeclineDialog>(), nullptr);
        }
        peer.Close();
        ASSERT_TRUE(WaitForBoxes(1)) << stage;
        EXPECT_EQ(boxes[0].text, "Request Cancelled By bob (hostB)");
        EXPECT_EQ(boxes[0].caption, AppName());
        EXPECT_EQ(boxes[0].style, unsigned(MB_OK));
        Settle(50);
        EXPECT_TRUE(OpenWindowsOf<CChatRequestDialog>().empty()) << stage;
        EXPECT_TRUE(OpenWindowsOf<CDeclineDialog>().empty()) << stage;
        EXPECT_EQ(listener->GetHiddenWindowCount(), 0u);
    }
    EXPECT_EQ(beeps, 2);
}

TEST_F(AccepterTest, ClosingTheRequestWindowClosesTheConnectionWithoutAnswer)
{
    RawPeer peer = Introduce();
    CChatRequestDialog* request = Request(peer);
    ASSERT_NE(request, nullptr);
    PressEscape(request);
    EXPECT_TRUE(peer.WaitForClose());
    EXPECT_EQ(peer.TakeAll(), "");
    EXPECT_TRUE(OpenWindowsOf<CChatRequestDialog>().empty());
}

TEST_F(AccepterTest, ConnectionsWithoutARequestGoQuietlyAndNothingOutlivesTheListener)
{
    {
        RawPeer silent = RawPeer::ConnectFromHost2();
        ASSERT_TRUE(WaitFor([&] { return listener->GetUnclaimedCount() == 1; }));
    }
    ASSERT_TRUE(WaitFor([&] { return listener->GetUnclaimedCount() == 0; }));
    EXPECT_TRUE(boxes.empty());

    // Left waiting when the program ends: one connection without a word, one hidden request.
    RawPeer waiting = RawPeer::ConnectFromHost2();
    RawPeer introduced = Introduce();
    ASSERT_TRUE(WaitFor([&] { return listener->GetUnclaimedCount() == 1; }));
    EXPECT_EQ(listener->GetHiddenWindowCount(), 1u);
    listener.reset();
    EXPECT_TRUE(waiting.WaitForClose());
    EXPECT_TRUE(introduced.WaitForClose());
}

TEST_F(AccepterTest, BeyondTheLimitTheOldestSilentConnectionMakesRoomForANewcomer)
{
    ScopedIdleLimits limits({std::chrono::seconds(30), std::chrono::seconds(5), 4});
    RawPeer introduced = Introduce();
    std::vector<RawPeer> silent;
    // One at a time: the listen backlog is short and a full one would hold up connect().
    for (size_t i = 0; i < 3; ++i) {
        silent.push_back(RawPeer::ConnectFromHost2());
        ASSERT_TRUE(WaitFor([&] { return listener->GetUnclaimedCount() == i + 1; }));
    }
    // The newcomer gets in; the oldest silent one goes, the introduced one stays.
    RawPeer newcomer = Introduce("carol (hostC)");
    EXPECT_TRUE(silent[0].WaitForClose());
    EXPECT_EQ(listener->GetUnclaimedCount(), 2u);
    EXPECT_EQ(listener->GetHiddenWindowCount(), 2u);
    ASSERT_NE(Request(newcomer), nullptr);

    // With nobody silent left, the oldest hidden request goes.
    silent[1].Send(BOB);
    EXPECT_EQ(silent[1].Take(2), "OK");
    silent[2].Send(BOB);
    EXPECT_EQ(silent[2].Take(2), "OK");
    RawPeer fourth = Introduce("dave (hostD)");
    ASSERT_TRUE(WaitFor([&] { return listener->GetHiddenWindowCount() == 4; }));
    RawPeer last = RawPeer::ConnectFromHost2();
    EXPECT_TRUE(introduced.WaitForClose());
    EXPECT_EQ(listener->GetHiddenWindowCount(), 3u);
    EXPECT_EQ(listener->GetUnclaimedCount(), 1u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AccepterTest, ConnectionsThatShowNoWindowWithinTheTimeOutAreClosed)
{
    ScopedIdleLimits limits({std::chrono::milliseconds(300), std::chrono::milliseconds(50), 64});
    RawPeer silent = RawPeer::ConnectFromHost2();
    RawPeer introduced = Introduce();
    ASSERT_TRUE(WaitFor([&] { return listener->GetUnclaimedCount() == 1; }));
    EXPECT_TRUE(silent.WaitForClose());
    EXPECT_TRUE(introduced.WaitForClose());
    EXPECT_EQ(listener->GetUnclaimedCount(), 0u);
    EXPECT_EQ(listener->GetHiddenWindowCount(), 0u);

    // A request that shows its window in time is not touched.
    RawPeer shown = Introduce();
    ASSERT_NE(Request(shown), nullptr);
    Settle(600);
    EXPECT_EQ(OpenWindowsOf<CChatRequestDialog>().size(), 1u);
    EXPECT_EQ(shown.TakeAll(), "");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AccepterTest, TwoRequestsFromOnePeerAreAnsweredAndChattedApart)
{
    RawPeer first = Introduce();
    CChatRequestDialog* firstRequest = Request(first, "first\r\n");
    RawPeer second = Introduce();
    CChatRequestDialog* secondRequest = Request(second, "second\r\n", 2);
    ASSERT_NE(firstRequest, nullptr);
    ASSERT_NE(secondRequest, nullptr);
    for (auto* request : OpenWindowsOf<CChatRequestDialog>()) {
        Button(request, "acceptButton")->click();
    }
    EXPECT_EQ(first.Take(2), "OK");
    EXPECT_EQ(second.Take(2), "OK");
    ASSERT_NE(WaitForWindow<CChatDialog>(2), nullptr);

    first.Send("to first\r\n");
    WaitFor([&] {
        for (auto* chat : OpenWindowsOf<CChatDialog>()) {
            if (!Transcript(chat).empty()) {
                return true;
            }
        }
        return false;
    });
    CChatDialog* firstChat = nullptr;
    CChatDialog* secondChat = nullptr;
    for (auto* chat : OpenWindowsOf<CChatDialog>()) {
        (Transcript(chat).empty() ? secondChat : firstChat) = chat;
    }
    ASSERT_NE(firstChat, nullptr);
    ASSERT_NE(secondChat, nullptr);
    EXPECT_EQ(Transcript(firstChat), "bob (hostB):to first\n");
    SendLine(secondChat, "to second");
    EXPECT_EQ(second.Take(11), "to second\r\n");
    EXPECT_EQ(first.TakeAll(), "");
    EXPECT_EQ(Transcript(firstChat), "bob (hostB):to first\n");
}
