#include "net/Datagram.h"
#include "tests/support/Lan.h"
#include "tests/support/RunningCopy.h"
#include "tests/support/UdpPeer.h"
#include "tests/support/Wait.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <iostream>
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

// The lines of the copy's standard error that say a broadcast could not go out.
int BroadcastFailures(const QString& errorOutput)
{
    return static_cast<int>(errorOutput.count("quorvane: cannot broadcast"));
}

// Runs "ip -n <namespace of host> ARGS..." for a change of the network under a running copy.
bool ChangeNetwork(int host, const QStringList& arguments)
{
    const QString ns = qEnvironmentVariable(QStringLiteral("QLAN_NS_%1").arg(host).toUtf8().constData());
    return QProcess::execute("ip", QStringList {"-n", ns} + arguments) == 0;
}
} // namespace

TEST(PresenceEndToEndTest, ThreeCopiesFindEachOtherExchangeMessagesAndPart)
{
    REQUIRE_LAN(3);
    REQUIRE_TOPOLOGY("plain");
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

// Qt ends the program when its display connection breaks, as at log-off: with exit() under X,
// which unwinds no stack, and with _exit() under Wayland, which runs no exit handler either.
// Still the peers hear exactly one goodbye.
TEST(PresenceEndToEndTest, ALostDisplayEndsTheCopyWithOneLeave)
{
    REQUIRE_LAN(2);
    REQUIRE_TOPOLOGY("plain");
    const QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    const QString display = QStringLiteral(":%1").arg(300 + getpid() % 600);
    struct DisplayServer
    {
        QString program;
        QStringList arguments;
        QString socketPath;
        QStringList copyEnvironment;
    };
    const DisplayServer servers[] = {
        {"Xvfb", {display, "-nolisten", "tcp", "-screen", "0", "800x600x24"},
            "/tmp/.X11-unix/X" + display.mid(1), {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + display}},
        // The headless compositor has no seat, on which Qt 6.4's Wayland input context crashes.
        {"weston", {"--backend=headless-backend.so", "--use-pixman", "--socket=wayland-q", "--idle-time=0"},
            runtime.filePath("wayland-q"),
            {"QT_QPA_PLATFORM=wayland", "WAYLAND_DISPLAY=" + runtime.filePath("wayland-q"),
                "QT_IM_MODULE=compose"}},
    };
    int ran = 0;
    for (const DisplayServer& server : servers) {
        SCOPED_TRACE(server.program.toStdString());
        if (QStandardPaths::findExecutable(server.program).isEmpty()) {
            std::cout << server.program.toStdString() << " is missing; scripts/install-deps installs it\n";
            continue;
        }
        ++ran;
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", runtime.path());
        process.setProcessEnvironment(environment);
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start(server.program, server.arguments);
        // Ready once the server answers: a socket file left by a server that was killed is
        // there at once, and refuses.
        ASSERT_TRUE(WaitFor(
            [&] {
                const int probe = ConnectToLocalSocket(server.socketPath);
                if (probe >= 0) {
                    close(probe);
                }
                return probe >= 0;
            },
            10000));
        UdpPeer peer(2, PRESENCE_PORT);
        RunningCopy copy(1, server.copyEnvironment);
        const auto hello = peer.Receive(10000);
        ASSERT_TRUE(hello);
        const Datagram identity = DecodeDatagram(hello->bytes.data(), hello->bytes.size());
        EXPECT_EQ(identity.kind, KIND_HELLO);

        process.terminate();
        process.waitForFinished(5000);
        ASSERT_TRUE(WaitFor([&] { return !copy.IsRunning(); }, 10000));
        std::vector<std::string> heard;
        while (auto datagram = peer.Receive(500)) {
            heard.push_back(datagram->bytes);
        }
        EXPECT_EQ(heard, (std::vector<std::string> {EncodeDatagram(KIND_LEAVE, identity.text)}))
            << copy.ErrorOutput().toStdString();
    }
    if (ran == 0) {
        GTEST_SKIP() << "neither Xvfb nor weston is there; scripts/install-deps installs them";
    }
}

// The networks users have beyond one card with a default route (tools/lan.sh builds them). The
// odd host is the one with the unusual network; every other host sees only it, since in
// two-lans host 3 is on the second LAN, out of host 1's reach.
class NetworkTopologyTest : public ::testing::TestWithParam<std::string>
{
};

TEST_P(NetworkTopologyTest, EachCopyListsTheOthersOnceHearsEachAnnounceOnceAndDropsTheLeaver)
{
    REQUIRE_TOPOLOGY(GetParam());
    const int odd = lan::OddHost();
    const bool late = GetParam() == "late-address";
    std::vector<std::unique_ptr<RunningCopy>> copies;
    for (int host = 1; host <= lan::HostCount(); ++host) {
        copies.push_back(std::make_unique<RunningCopy>(host));
        ASSERT_TRUE(copies.back()->IsRunning());
        MainWindow(*copies.back());
    }
    RunningCopy& subject = *copies[static_cast<size_t>(odd - 1)];
    // Copies hear each other on a shared LAN (the same /24), and the odd host is on every LAN.
    auto hears = [&](size_t sender, size_t receiver) {
        const QString lanOf = copies[sender]->Address().section('.', 0, 2);
        return sender != receiver
            && (copies[sender].get() == &subject || copies[receiver].get() == &subject
                || lanOf == copies[receiver]->Address().section('.', 0, 2));
    };

    if (late) {
        // Without an address nobody hears it, which it says.
        Settle(500);
        EXPECT_FALSE(copies[0]->ListEntries(MainWindow(*copies[0]), "peerList").contains(subject.Identity()));
        EXPECT_EQ(BroadcastFailures(subject.ErrorOutput()), 1);

        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(ChangeNetwork(odd,
            {"addr", "add", qEnvironmentVariable("QLAN_LATE_ADDRESS"), "dev",
                qEnvironmentVariable("QLAN_LATE_DEVICE")}));
        EXPECT_TRUE(WaitFor(
            [&] {
                return copies[0]
                    ->ListEntries(MainWindow(*copies[0]), "peerList")
                    .contains(subject.Identity());
            },
            10000));
        std::cout << "listed " << clock.elapsed() << " ms after its address appeared" << std::endl;
    }

    for (size_t i = 0; i < copies.size(); ++i) {
        QStringList heard;
        for (size_t j = 0; j < copies.size(); ++j) {
            if (hears(j, i)) {
                heard << copies[j]->Identity();
            }
        }
        EXPECT_TRUE(WaitFor([&] {
            return copies[i]->ListEntries(MainWindow(*copies[i]), "peerList") == Sorted(heard);
        })) << "copy "
            << i + 1 << " lists "
            << copies[i]->ListEntries(MainWindow(*copies[i]), "peerList").join(", ").toStdString();
    }

    // Every announcement reaches each LAN once, however many cards hear it.
    for (size_t sender = 0; sender < copies.size(); ++sender) {
        const QString text = QStringLiteral("from host %1").arg(sender + 1);
        SendFrom(*copies[sender], "Announce", text);
        for (size_t receiver = 0; receiver < copies.size(); ++receiver) {
            if (hears(sender, receiver)) {
                EXPECT_TRUE(copies[receiver]->WaitForWindow("Receive Message"));
            }
        }
        Settle(500);
        for (size_t receiver = 0; receiver < copies.size(); ++receiver) {
            const auto windows = copies[receiver]->WindowsTitled("Receive Message");
            EXPECT_EQ(windows.size(), hears(sender, receiver) ? 1u : 0u)
                << "copy " << receiver + 1 << " and the announcement of copy " << sender + 1;
            for (const RunningCopy::Window& window : windows) {
                EXPECT_EQ(copies[receiver]->Text(window, "messageEdit"), text);
                copies[receiver]->Click(window, "Close");
            }
        }
    }

    if (late) {
        // A renewal says nothing; an address that comes back says goodbye before hello.
        const QStringList address {
            qEnvironmentVariable("QLAN_LATE_ADDRESS"), "dev", qEnvironmentVariable("QLAN_LATE_DEVICE")};
        ASSERT_TRUE(ChangeNetwork(odd,
            QStringList {"addr", "change"} + address
                + QStringList {"valid_lft", "3600", "preferred_lft", "3600"}));
        ASSERT_TRUE(ChangeNetwork(odd, QStringList {"addr", "del"} + address));
        ASSERT_TRUE(ChangeNetwork(odd, QStringList {"addr", "add"} + address));
        Settle(1500);
        EXPECT_EQ(copies[0]->ListEntries(MainWindow(*copies[0]), "peerList").count(subject.Identity()), 1);
        // Its peers answer that hello once more, and it still lists each of them once.
        QStringList heard;
        for (size_t j = 0; j < copies.size(); ++j) {
            if (hears(j, static_cast<size_t>(odd - 1))) {
                heard << copies[j]->Identity();
            }
        }
        EXPECT_EQ(subject.ListEntries(MainWindow(subject), "peerList"), Sorted(heard));
    } else {
        EXPECT_EQ(BroadcastFailures(subject.ErrorOutput()), 0);
    }

    EXPECT_TRUE(subject.Terminate());
    for (size_t i = 0; i < copies.size(); ++i) {
        if (copies[i].get() != &subject) {
            EXPECT_TRUE(WaitFor([&] {
                return !copies[i]
                            ->ListEntries(MainWindow(*copies[i]), "peerList")
                            .contains(subject.Identity());
            })) << "copy "
                << i + 1;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Networks, NetworkTopologyTest,
    ::testing::Values("no-gateway", "two-lans", "same-lan", "vpn-tun", "late-address"),
    [](const ::testing::TestParamInfo<std::string>& info) {
        std::string name = info.param;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });
