#include "app/MainDialog.h"
#include "app/MessengerApp.h"
#include "net/Datagram.h"
#include "tests/support/Lan.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Wait.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QSessionManager>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

namespace {
std::string Wire(std::uint32_t kind, const std::string& text)
{
    return EncodeDatagram(kind, text);
}

class StartupTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_LAN(2);
        ASSERT_TRUE(peer.IsOpen());
        SetMessageBoxHandler([this](const MessageBoxRequest& request) {
            questions.push_back(request);
            return answers == 0 ? int(IDNO) : std::exchange(answers, 0);
        });
    }
    void TearDown() override
    {
        SetMessageBoxHandler({});
        // A termination leaves every event loop, and keeps new ones from running until the next
        // application run: start and end one.
        QTimer::singleShot(0, [] { QCoreApplication::quit(); });
        QCoreApplication::exec();
    }

    // Raises a signal once, unless the test is over first.
    void RaiseLater(int signalNumber, int ms)
    {
        signalTimer.setSingleShot(true);
        // A coarse timer may fire up to 5 % early, before the time the test measures against.
        signalTimer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&signalTimer, &QTimer::timeout, [signalNumber] { std::raise(signalNumber); });
        signalTimer.start(ms);
    }

    // Runs the main window, with body inside its run; a safety timer ends a run left open.
    void Run(const std::function<void(CMainDialog&)>& body)
    {
        CMainDialog dialog;
        AfxSetMainWnd(&dialog);
        QTimer::singleShot(0, &dialog, [&] { body(dialog); });
        QTimer::singleShot(20000, &dialog, [&] { dialog.EndDialog(IDCANCEL); });
        dialog.DoModal();
        AfxSetMainWnd(nullptr);
        identity = dialog.GetLocalName();
    }

    // Every datagram that reached host 2 until the air is quiet.
    std::vector<std::string> Heard()
    {
        std::vector<std::string> heard;
        while (auto datagram = peer.Receive(300)) {
            heard.push_back(datagram->bytes);
        }
        return heard;
    }

    bool CanConnectTo(unsigned port)
    {
        const int fd = lan::OpenSocketOn(2, SOCK_STREAM);
        sockaddr_in to {};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, lan::Address(1).c_str(), &to.sin_addr);
        const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        close(fd);
        return connected;
    }

    UdpPeer peer {2, PRESENCE_PORT};
    std::vector<MessageBoxRequest> questions;
    int answers = 0;
    CString identity;
    QTimer signalTimer;
};
} // namespace

TEST_F(StartupTest, RunOpensTheThreePortsAndEscapeEndsItWithOneLeave)
{
    bool chatOpen = false;
    bool fileOpen = false;
    Run([&](CMainDialog& dialog) {
        chatOpen = CanConnectTo(101);
        fileOpen = CanConnectTo(102);
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &escape);
    });
    EXPECT_TRUE(chatOpen);
    EXPECT_TRUE(fileOpen);
    EXPECT_TRUE(questions.empty()) << "Escape asks nothing";
    EXPECT_EQ(Heard(), (std::vector<std::string> {Wire(KIND_HELLO, identity), Wire(KIND_LEAVE, identity)}));
}

TEST_F(StartupTest, CloseBoxAsksAndNoKeepsTheProgramRunning)
{
    bool stillRunning = false;
    Run([&](CMainDialog& dialog) {
        dialog.close();
        stillRunning = dialog.isVisible();
        answers = IDYES;
        dialog.close();
    });
    EXPECT_TRUE(stillRunning);
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].text, "Are you sure?");
    EXPECT_EQ(questions[0].caption, "Close");
    EXPECT_EQ(questions[0].style, unsigned(MB_YESNO));
    EXPECT_NE(questions[0].owner, nullptr);
    EXPECT_EQ(Heard(), (std::vector<std::string> {Wire(KIND_HELLO, identity), Wire(KIND_LEAVE, identity)}));
}

TEST_F(StartupTest, SessionEndSaysGoodbyeOnceHoweverTheRunThenEnds)
{
    Run([&](CMainDialog& dialog) {
        dialog.OnEndSession(false);
        dialog.OnEndSession(true);
        dialog.EndDialog(IDCANCEL);
    });
    EXPECT_EQ(Heard(), (std::vector<std::string> {Wire(KIND_HELLO, identity), Wire(KIND_LEAVE, identity)}));
}

TEST_F(StartupTest, ACommitDataRequestSaysNoGoodbyeAndAHangUpEndsTheProgramWithOne)
{
    CMessengerApp app;
    std::vector<std::string> heardBeforeHangUp;
    QTimer::singleShot(100, [&] {
        // As at a save point of the session, or a log-off that may still be cancelled. No handler
        // may touch the manager, which only Qt can make.
        alignas(QSessionManager) unsigned char manager[sizeof(QSessionManager)] = {};
        emit qApp->commitDataRequest(*reinterpret_cast<QSessionManager*>(manager));
        heardBeforeHangUp = Heard();
        std::raise(SIGHUP);
    });
    EXPECT_FALSE(app.InitInstance());
    ASSERT_EQ(heardBeforeHangUp.size(), 1u);
    const Datagram hello = DecodeDatagram(heardBeforeHangUp[0].data(), heardBeforeHangUp[0].size());
    EXPECT_EQ(hello.kind, KIND_HELLO);
    EXPECT_EQ(Heard(), (std::vector<std::string> {Wire(KIND_LEAVE, hello.text)}));
    EXPECT_EQ(AfxGetMainWnd(), nullptr);
}

TEST_F(StartupTest, TerminationSignalEndsTheProgramAlsoWhileAQuestionIsOnScreen)
{
    SetMessageBoxHandler({});
    CMessengerApp app;
    QTimer::singleShot(100, [] {
        if (auto* main = dynamic_cast<CMainDialog*>(AfxGetMainWnd())) {
            main->close(); // "Are you sure?", left unanswered
        }
    });
    RaiseLater(SIGTERM, 400);
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(app.InitInstance());
    EXPECT_GE(clock.elapsed(), 390) << "ended by the signal, not before";
    const auto heard = Heard();
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(DecodeDatagram(heard[1].data(), heard[1].size()).kind, KIND_LEAVE);
}

TEST_F(StartupTest, WithoutANetworkOnlyTheWarningIsShown)
{
    class CNoNetworkApp : public CMessengerApp
    {
    protected:
        bool StartSocketLayer() override { return false; }
    } app;
    EXPECT_FALSE(app.InitInstance());
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, "Windows sockets initialization failed.");
    EXPECT_EQ(questions[0].style, unsigned(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(questions[0].caption, QCoreApplication::applicationName().toStdString());
    EXPECT_TRUE(Heard().empty());
}

TEST_F(StartupTest, TakenPortsAreNotReportedToTheUser)
{
    CSocket holder;
    ASSERT_TRUE(holder.Create(PRESENCE_PORT, SOCK_DGRAM));
    Run([&](CMainDialog& dialog) { dialog.EndDialog(IDCANCEL); });
    EXPECT_TRUE(questions.empty());
    EXPECT_TRUE(Heard().empty()) << "no presence without the port";
}

TEST_F(StartupTest, MessagesGoToTheAddresseeOnlyAndNeverToAPeerThatLeft)
{
    Run([&](CMainDialog& dialog) {
        Heard();
        dialog.AddPeer("bob (PC2)", lan::Address(2));
        dialog.SendMessageTo("bob (PC2)", "private");
        dialog.SendMessageTo("", "to everybody");
        dialog.RemovePeer("bob (PC2)");
        dialog.SendMessageTo("bob (PC2)", "after leaving");
        Settle(100);
        dialog.EndDialog(IDCANCEL);
    });
    EXPECT_EQ(Heard(),
        (std::vector<std::string> {
            Wire(KIND_MESSAGE, "private"), Wire(KIND_MESSAGE, "to everybody"), Wire(KIND_LEAVE, identity)}));
}
