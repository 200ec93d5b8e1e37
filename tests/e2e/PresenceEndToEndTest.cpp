#include "net/Datagram.h"
#include "tests/support/Lan.h"
#include "tests/support/RunningCopy.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Wait.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <unistd.h>

namespace {
QStringList Sorted(QStringList names)
{
    names.sort(Qt::CaseInsensitive);
    return names;
}

RunningCopy::Window MainWindow(RunningCopy& copy)
{
    const auto window = copy.WaitForWindow("Quorvane");
    return window.value_or(RunningCopy::Window {});
}

int ReceivedCount(RunningCopy& copy)
{
    return static_cast<int>(copy.WindowsTitled("Receive Message").size());
}

void SendFrom(RunningCopy& copy, const QString& command, const QString& text)
{
    copy.Click(MainWindow(copy), command);
    const auto sendWindow = copy.WaitForWindow("Send Message");
    ASSERT_TRUE(sendWindow);
    copy.Set(*sendWindow, "messageEdit", text);
    copy.Click(*sendWindow, "Send");
}
} // namespace

TEST(PresenceEndToEndTest, ThreeCopiesFindEachOtherExchangeMessagesAndPart)
{
    REQUIRE_LAN(3);
    std::vector<std::unique_ptr<RunningCopy>> copies;
    for (int host = 1; host <= 3; ++host) {
        copies.push_back(std::make_unique<RunningCopy>(host));
        ASSERT_TRUE(copies.back()->IsRunning());
        MainWindow(*copies.back());
    }
    RunningCopy& first = *copies[0];
    RunningCopy& second = *copies[1];
    RunningCopy& third = *copies[2];

    // Each lists the other two, once.
    for (size_t i = 0; i < copies.size(); ++i) {
        QStringList others;
        for (size_t j = 0; j < copies.size(); ++j) {
            if (j != i) {
                others << copies[j]->Identity();
            }
        }
        EXPECT_TRUE(WaitFor([&] {
            return copies[i]->ListEntries(MainWindow(*copies[i]), "peerList") == Sorted(others);
        })) << "copy "
            << i + 1 << " lists "
            << copies[i]->ListEntries(MainWindow(*copies[i]), "peerList").join(", ").toStdString();
    }

    // An announcement reaches both others and not its sender.
    SendFrom(first, "Announce", "Hello everybody\nsecond line");
    for (RunningCopy* receiver : {&second, &third}) {
        const auto received = receiver->WaitForWindow("Receive Message");
        ASSERT_TRUE(received);
        EXPECT_EQ(receiver->Text(*received, "headerLabel"), "Received Message From " + first.Identity());
        EXPECT_EQ(receiver->Text(*received, "messageEdit"), "Hello everybody\nsecond line");
        receiver->Click(*received, "Close");
    }
    Settle(300);
    EXPECT_EQ(ReceivedCount(first), 0);

    // A message reaches its addressee only.
    const RunningCopy::Window secondMain = MainWindow(second);
    const int thirdIndex
        = static_cast<int>(second.ListEntries(secondMain, "peerList").indexOf(third.Identity()));
    ASSERT_GE(thirdIndex, 0);
    second.Select(secondMain, "peerList", thirdIndex);
    SendFrom(second, "Message", "just for you");
    const auto received = third.WaitForWindow("Receive Message");
    ASSERT_TRUE(received);
    EXPECT_EQ(third.Text(*received, "messageEdit"), "just for you");
    Settle(300);
    EXPECT_EQ(ReceivedCount(first), 0);
    EXPECT_EQ(ReceivedCount(second), 0);

    // One quits; the others drop it.
    EXPECT_TRUE(third.Terminate());
    for (RunningCopy* remaining : {&first, &second}) {
        EXPECT_TRUE(WaitFor([&] {
            return !remaining->ListEntries(MainWindow(*remaining), "peerList").contains(third.Identity());
        }));
        EXPECT_EQ(remaining->ListEntries(MainWindow(*remaining), "peerList").size(), 1);
    }
}

// Qt ends the program with exit() when its display connection breaks, as at log-off; the stack
// is not unwound, and still the peers hear exactly one goodbye.
TEST(PresenceEndToEndTest, ALostDisplayEndsTheCopyWithOneLeave)
{
    REQUIRE_LAN(2);
    if (QStandardPaths::findExecutable("Xvfb").isEmpty()) {
        GTEST_SKIP() << "Xvfb is missing; scripts/install-deps installs it";
    }
    const QString display = QStringLiteral(":%1").arg(300 + getpid() % 600);
    QProcess xvfb;
    xvfb.start("Xvfb", {display, "-nolisten", "tcp", "-screen", "0", "800x600x24"});
    ASSERT_TRUE(WaitFor([&] { return QFile::exists("/tmp/.X11-unix/X" + display.mid(1)); }, 10000));
    UdpPeer peer(2, PRESENCE_PORT);
    RunningCopy copy(1, {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display});
    const auto hello = peer.Receive(10000);
    ASSERT_TRUE(hello);
    EXPECT_EQ(DecodeDatagram(hello->bytes.data(), hello->bytes.size()).kind, KIND_HELLO);

    xvfb.terminate();
    xvfb.waitForFinished(5000);
    ASSERT_TRUE(WaitFor([&] { return !copy.IsRunning(); }, 10000));
    std::vector<std::string> heard;
    while (auto datagram = peer.Receive(500)) {
        heard.push_back(datagram->bytes);
    }
    const Datagram identity = DecodeDatagram(hello->bytes.data(), hello->bytes.size());
    EXPECT_EQ(heard, (std::vector<std::string> {EncodeDatagram(KIND_LEAVE, identity.text)}));
}
