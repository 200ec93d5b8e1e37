// Real copies on the virtual LAN against peers that misbehave: floods, idle connections, invalid
// headers, ends that die in the middle and ends that stop reading. The test process on host 1
// plays the hostile peer; copies run on hosts 2 and 3. QUORVANE_HOSTILE_FULL=1 runs the full
// counts and durations; without it each case runs a reduced version.
#include "tests/support/Lan.h"
#include "tests/support/RunningCopy.h"
#include "tests/support/Wait.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool Full()
{
    return qEnvironmentVariableIsSet("QUORVANE_HOSTILE_FULL");
}

// One line per figure, collected for RELIABILITY.md.
void Report(const QString& line)
{
    std::printf("[hostile] %s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

QByteArray RandomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(generator.generate() & 0xFF);
    }
    return bytes;
}

void WriteFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(content), content.size());
}

QByteArray ReadFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A blocking-free stream socket of the test (host 1).
class Raw
{
public:
    explicit Raw(int fd = -1)
        : m_fd(fd)
    {
    }
    Raw(Raw&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    Raw& operator=(Raw&& other) noexcept
    {
        std::swap(m_fd, other.m_fd);
        return *this;
    }
    ~Raw()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    static Raw Connect(int host, unsigned port, bool wait = true)
    {
        Raw raw(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        const sockaddr_in address = lan::SocketAddress(host, port);
        ::connect(raw.m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (wait) {
            pollfd watched {raw.m_fd, POLLOUT, 0};
            ::poll(&watched, 1, 5000);
        }
        return raw;
    }
    int Fd() const { return m_fd; }
    void Send(const std::string& bytes) const { ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Waits for up to count bytes.
    std::string Read(size_t count, int timeoutMs = 5000) const
    {
        std::string bytes;
        QElapsedTimer clock;
        clock.start();
        while (bytes.size() < count && !clock.hasExpired(timeoutMs)) {
            pollfd watched {m_fd, POLLIN, 50};
            if (::poll(&watched, 1, 50) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::recv(m_fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
            if (got <= 0) {
                break;
            }
            bytes.append(buffer, static_cast<size_t>(got));
        }
        return bytes;
    }
    // True when the other end has closed (or reset) the connection.
    bool IsClosedByPeer() const
    {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (got == 0) {
                return true;
            }
            if (got < 0) {
                return errno != EAGAIN && errno != EWOULDBLOCK;
            }
        }
    }
    bool WaitClosedByPeer(int timeoutMs = 5000) const
    {
        return WaitFor([this] { return IsClosedByPeer(); }, timeoutMs);
    }

private:
    int m_fd;
};

std::string Number(std::uint32_t value)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return bytes;
}

void RaiseOpenFileLimit()
{
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

class HostilePeerTest : public ::testing::Test
{
protected:
    void SetUp() override { REQUIRE_LAN(3); }

    static RunningCopy::Window Main(RunningCopy& copy)
    {
        return copy.WaitForWindow("Quorvane").value_or(RunningCopy::Window {});
    }
    static bool Lists(RunningCopy& copy, const QString& identity)
    {
        return WaitFor([&] { return copy.ListEntries(Main(copy), "peerList").contains(identity); });
    }
    static void SelectPeer(RunningCopy& copy, const QString& identity)
    {
        const auto main = Main(copy);
        copy.Select(main, "peerList", static_cast<int>(copy.ListEntries(main, "peerList").indexOf(identity)));
    }
    // The sender asks to send the files to the selected peer.
    static bool OfferFiles(RunningCopy& sender, const QString& to, const QStringList& paths)
    {
        SelectPeer(sender, to);
        sender.Click(Main(sender), "File");
        const auto request = sender.WaitForWindow("Send File Transmission Request");
        if (!request) {
            return false;
        }
        sender.Click(*request, "Select File");
        QStringList typed;
        for (const QString& path : paths) {
            typed << '"' + path + '"';
        }
        if (!sender.AnswerFileDialog(typed.join(' '), "Open")) {
            return false;
        }
        WaitFor(
            [&] { return !sender.Windows().empty() && sender.WindowsTitled("Select File").empty(); }, 1000);
        sender.Click(*request, "Send");
        return true;
    }
    static bool AcceptInto(RunningCopy& receiver, const QString& directory)
    {
        const auto offer = receiver.WaitForWindow("File Request");
        if (!offer) {
            return false;
        }
        receiver.Click(*offer, "Save As");
        return receiver.AnswerFileDialog(directory, "Choose");
    }
    // Windows of the copy that the network opened, and how long the copy took to list them.
    struct NetworkWindowCount
    {
        int messages = 0;
        int requests = 0;
        qint64 answerMs = 0;
    };
    static NetworkWindowCount CountNetworkWindows(RunningCopy& copy)
    {
        QElapsedTimer clock;
        clock.start();
        NetworkWindowCount count;
        for (const auto& window : copy.Windows()) {
            count.messages += window.title == "Receive Message";
            count.requests += window.title == "Received Chat Request" || window.title == "File Request";
        }
        count.answerMs = clock.elapsed();
        return count;
    }
    // Bytes the progress window of a copy shows for the batch so far.
    static int BatchPercent(RunningCopy& copy)
    {
        const auto progress = copy.WaitForWindow("File", {}, 200);
        if (!progress) {
            return -1;
        }
        for (const QString& line : copy.Request("dump " + progress->id)) {
            const QStringList fields = line.split('\t');
            if (fields.size() >= 4 && fields[0] == "progress" && fields[1] == "batchBar") {
                return fields[2].toInt();
            }
        }
        return -1;
    }
};

TEST_F(HostilePeerTest, DatagramFloodLeavesTheCopyRunningWithBoundedMemoryAndAGenuineMessageGetsThrough)
{
    RunningCopy victim(2);
    RunningCopy genuine(3);
    ASSERT_TRUE(Lists(genuine, victim.Identity()));
    const int seconds = Full() ? 10 : 3;
    const int perSecond = 12000;

    // Random bytes whose kind is never 0 to 3: truncated ones, bare kinds, in-range lengths and
    // over-long ones up to the largest UDP payload.
    QRandomGenerator generator(7);
    std::vector<std::string> pool;
    for (int i = 0; i < 512; ++i) {
        const int pick = static_cast<int>(generator.bounded(100));
        const int length = pick < 10 ? 1 + static_cast<int>(generator.bounded(3))
            : pick < 20              ? 4
            : pick < 80              ? 5 + static_cast<int>(generator.bounded(2000))
            : pick < 95              ? 2005 + static_cast<int>(generator.bounded(6000))
                                     : 8000 + static_cast<int>(generator.bounded(65507 - 8000));
        std::string datagram = RandomBytes(length, 1000 + i).toStdString();
        if (static_cast<unsigned char>(datagram[0]) < 4) {
            datagram[0] = static_cast<char>(4 + i % 250);
        }
        pool.push_back(std::move(datagram));
    }

    std::atomic<bool> stop {false};
    std::atomic<long> sent {0};
    std::atomic<long> bytes {0};
    std::thread flood([&] {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in target = lan::SocketAddress(2, 100);
        QElapsedTimer clock;
        clock.start();
        long count = 0;
        while (!stop && !clock.hasExpired(seconds * 1000)) {
            const long due = clock.elapsed() * perSecond / 1000 + 1;
            while (count < due) {
                const std::string& datagram = pool[static_cast<size_t>(count) % pool.size()];
                if (::sendto(fd, datagram.data(), datagram.size(), 0,
                        reinterpret_cast<const sockaddr*>(&target), sizeof target)
                    >= 0) {
                    bytes += static_cast<long>(datagram.size());
                }
                ++count;
            }
            sent = count;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        sent = count;
        ::close(fd);
    });

    const long before = victim.ResidentKiB();
    long peak = before;
    QElapsedTimer clock;
    clock.start();
    // The message goes out in the middle of the flood. Whenever the copy falls behind, its full
    // receive buffer makes the kernel drop datagrams, the genuine one among them, whatever the
    // copy does; so, as a user would, the sender tries once more if nothing arrived.
    int messagesSent = 0;
    qint64 lastSent = 0;
    bool opened = false;
    while (!clock.hasExpired((seconds + 5) * 1000)
        && !(opened && sent > 0 && clock.elapsed() > seconds * 1000)) {
        peak = std::max(peak, victim.ResidentKiB());
        const bool due = messagesSent == 0
            ? clock.elapsed() > seconds * 500
            : messagesSent < 2 && !opened && clock.elapsed() - lastSent > seconds * 200;
        if (due) {
            SelectPeer(genuine, victim.Identity());
            genuine.Click(Main(genuine), "Message");
            const auto sendWindow = genuine.WaitForWindow("Send Message");
            ASSERT_TRUE(sendWindow);
            genuine.Set(*sendWindow, "messageEdit", "still there?");
            genuine.Click(*sendWindow, "Send");
            ++messagesSent;
            lastSent = clock.elapsed();
        }
        opened = opened || !victim.WindowsTitled("Receive Message").empty();
        Settle(100);
    }
    stop = true;
    flood.join();
    const double rate = sent * 1000.0 / std::max<qint64>(1, seconds * 1000);
    Report(QStringLiteral("flood: %1 datagrams (%2 MB) in %3 s, %4/s; resident %5 MiB before, peak %6 MiB, "
                          "high-water %7 MiB; the genuine message sent %8 time(s)")
               .arg(sent.load())
               .arg(bytes / 1e6, 0, 'f', 1)
               .arg(seconds)
               .arg(rate, 0, 'f', 0)
               .arg(before / 1024)
               .arg(peak / 1024)
               .arg(victim.PeakResidentKiB() / 1024)
               .arg(messagesSent));
    EXPECT_GE(rate, 10000);
    EXPECT_TRUE(victim.IsRunning());
    ASSERT_TRUE(opened) << "the genuine message opened no window";
    // No datagram of the flood has a valid kind: nothing else opened, nobody was listed.
    const auto received = victim.WindowsTitled("Receive Message");
    EXPECT_LE(received.size(), static_cast<size_t>(messagesSent));
    for (const auto& window : received) {
        EXPECT_EQ(victim.Text(window, "messageEdit"), "still there?");
    }
    EXPECT_EQ(victim.ListEntries(Main(victim), "peerList"), QStringList {genuine.Identity()});
    EXPECT_LT(peak - before, 64 * 1024) << "resident memory grew by " << (peak - before) << " KiB";
}

TEST_F(HostilePeerTest, IdleConnectionsDoNotKeepGenuineRequestsOutAndAreClosedAfterTheTimeOut)
{
    RaiseOpenFileLimit();
    const int perPort = Full() ? 1000 : 300;
    const int timeoutMs = Full() ? 30000 : 8000;
    RunningCopy victim(
        2, {QStringLiteral("QUORVANE_IDLE_TIMEOUT_MS=%1").arg(timeoutMs), "QUORVANE_IDLE_SWEEP_MS=250"});
    RunningCopy genuine(3);
    ASSERT_TRUE(Lists(genuine, victim.Identity()));

    const int baseline = victim.OpenDescriptors();
    QElapsedTimer clock;
    clock.start();
    std::vector<Raw> idle;
    // In small groups: the listen backlog is 5, and a connection the kernel could not queue is
    // not the program's to close.
    for (int i = 0; i < perPort; ++i) {
        for (unsigned port : {101u, 102u}) {
            idle.push_back(Raw::Connect(2, port, false));
        }
        if (i % 2 == 1) {
            Settle(5);
        }
    }
    // Every one of them completes its connection.
    int connected = 0;
    WaitFor(
        [&] {
            connected = 0;
            for (const Raw& raw : idle) {
                sockaddr_in peer {};
                socklen_t length = sizeof peer;
                connected += getpeername(raw.Fd(), reinterpret_cast<sockaddr*>(&peer), &length) == 0;
            }
            return connected == static_cast<int>(idle.size());
        },
        20000);
    const qint64 openedMs = clock.elapsed();
    const int descriptors = victim.OpenDescriptors();
    Report(QStringLiteral("idle: %1 connections to each of TCP 101 and 102 in %2 ms, %3 connected; the copy "
                          "holds %4 descriptors")
               .arg(perPort)
               .arg(openedMs)
               .arg(connected)
               .arg(descriptors));
    EXPECT_EQ(connected, 2 * perPort);
    EXPECT_LT(descriptors, 400) << "waiting connections are capped";

    // A genuine chat request, and a genuine file request, while the idle ones are held.
    SelectPeer(genuine, victim.Identity());
    genuine.Click(Main(genuine), "Chat");
    const auto chatRequest = genuine.WaitForWindow("Send Chat Request");
    ASSERT_TRUE(chatRequest);
    genuine.Set(*chatRequest, "subjectEdit", "are you there?");
    genuine.Click(*chatRequest, "Send");
    const auto received = victim.WaitForWindow("Received Chat Request");
    ASSERT_TRUE(received);
    victim.Click(*received, "Accept");
    const auto chat = genuine.WaitForWindow("Chat");
    ASSERT_TRUE(chat);
    genuine.Set(*chat, "inputEdit", "yes");
    genuine.Click(*chat, "Send");
    EXPECT_TRUE(victim.WaitForWindow("Chat",
        [&](const QStringList& dump) { return dump.join('\n').contains(genuine.Identity() + ":yes"); }));

    QTemporaryDir source;
    QTemporaryDir target;
    WriteFile(source.filePath("report.txt"), RandomBytes(30000, 3));
    ASSERT_TRUE(OfferFiles(genuine, victim.Identity(), {source.filePath("report.txt")}));
    ASSERT_TRUE(AcceptInto(victim, target.path()));
    EXPECT_TRUE(victim.WaitForMessageBox("Finished", 30000));
    EXPECT_TRUE(genuine.WaitForMessageBox("Finished", 30000));
    EXPECT_EQ(ReadFile(target.filePath("report.txt")), ReadFile(source.filePath("report.txt")));
    const qint64 genuineDoneMs = clock.elapsed();

    // The rest go once the time-out has passed.
    int closed = 0;
    WaitFor(
        [&] {
            closed = 0;
            for (const Raw& raw : idle) {
                closed += raw.IsClosedByPeer();
            }
            return closed == static_cast<int>(idle.size());
        },
        timeoutMs + 5000);
    Report(QStringLiteral("idle: genuine chat and file request done %1 ms after the first connection; all %2 "
                          "idle connections closed after %3 ms (time-out %4 ms); %5 descriptors left")
               .arg(genuineDoneMs)
               .arg(closed)
               .arg(clock.elapsed())
               .arg(timeoutMs)
               .arg(victim.OpenDescriptors()));
    EXPECT_GE(closed, static_cast<int>(idle.size()) * 9 / 10);
    // Whatever the copy accepted it has let go: it holds its own descriptors only.
    EXPECT_LE(victim.OpenDescriptors(), baseline + 8);
    EXPECT_TRUE(victim.IsRunning());
}

// Secondary addresses on host 1's interface, removed again at the end; the namespace is the
// test's own.
class SecondaryAddresses
{
public:
    explicit SecondaryAddresses(int count)
    {
        for (int i = 0; i < count; ++i) {
            const std::string address = "10.77.0." + std::to_string(100 + i);
            if (std::system(("ip addr add " + address + "/24 dev eth0").c_str()) == 0) {
                m_addresses.push_back(address);
            }
        }
    }
    ~SecondaryAddresses()
    {
        for (const std::string& address : m_addresses) {
            [[maybe_unused]] const int ignored
                = std::system(("ip addr del " + address + "/24 dev eth0").c_str());
        }
    }
    const std::vector<std::string>& Get() const { return m_addresses; }

private:
    std::vector<std::string> m_addresses;
};

TEST_F(HostilePeerTest, MessageFloodFromManyAddressesOpensABoundedNumberOfWindowsAndAGenuineOneStillOpens)
{
    RunningCopy victim(2);
    RunningCopy genuine(3);
    ASSERT_TRUE(Lists(genuine, victim.Identity()));
    const SecondaryAddresses sources(15);
    ASSERT_EQ(sources.Get().size(), 15u);
    const int perSource = Full() ? 400 : 60;

    std::atomic<bool> done {false};
    std::thread flood([&] {
        std::vector<int> sockets;
        for (const std::string& address : sources.Get()) {
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const sockaddr_in local = lan::SocketAddress(address, 0);
            bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local);
            sockets.push_back(fd);
        }
        const sockaddr_in target = lan::SocketAddress(2, 100);
        for (int round = 0; round < perSource; ++round) {
            for (const int fd : sockets) {
                const std::string datagram = Number(2) + "flood " + std::to_string(round);
                ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&target),
                    sizeof target);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (const int fd : sockets) {
            ::close(fd);
        }
        done = true;
    });

    qint64 slowest = 0;
    int most = 0;
    bool messageSent = false;
    QElapsedTimer clock;
    clock.start();
    while ((!done || !messageSent || clock.elapsed() < 2000) && !clock.hasExpired(30000)) {
        const NetworkWindowCount count = CountNetworkWindows(victim);
        slowest = std::max(slowest, count.answerMs);
        most = std::max(most, count.messages);
        // Once the flood holds its windows: a datagram sent while the copy's receive buffer is
        // still full would be lost by the kernel, whatever the copy does.
        if (!messageSent && done && count.messages >= 15 * 10) {
            SelectPeer(genuine, victim.Identity());
            genuine.Click(Main(genuine), "Message");
            const auto sendWindow = genuine.WaitForWindow("Send Message");
            ASSERT_TRUE(sendWindow);
            genuine.Set(*sendWindow, "messageEdit", "still there?");
            genuine.Click(*sendWindow, "Send");
            messageSent = true;
        }
        Settle(50);
    }
    flood.join();
    ASSERT_TRUE(messageSent) << "the flood's windows never all opened";
    const NetworkWindowCount after = CountNetworkWindows(victim);
    Report(QStringLiteral("message flood: %1 messages from each of %2 addresses in %3 ms; at most %4 Receive "
                          "Message windows, %5 at the end; slowest window list %6 ms")
               .arg(perSource)
               .arg(sources.Get().size())
               .arg(clock.elapsed())
               .arg(most)
               .arg(after.messages)
               .arg(slowest));
    // Ten from each flooding address, and the genuine one.
    EXPECT_EQ(after.messages, 15 * 10 + 1);
    EXPECT_LE(most, 15 * 10 + 1);
    EXPECT_TRUE(victim.WaitForWindow("Receive Message", [&](const QStringList& dump) {
        return dump.join('\n').contains("Received Message From " + genuine.Identity());
    }));
    EXPECT_LT(slowest, 1000);
    EXPECT_TRUE(victim.IsRunning());
}

TEST_F(HostilePeerTest, RequestFloodFromOneAddressOpensTenWindowsAndAGenuineRequestStillOpens)
{
    RunningCopy victim(2);
    RunningCopy genuine(3);
    ASSERT_TRUE(Lists(genuine, victim.Identity()));
    const int perKind = Full() ? 300 : 40;
    const std::string identity = "mallory (flood)";

    // Complete requests, a chat and a file one by turns, each answered as a genuine peer would see.
    std::vector<Raw> requests;
    qint64 slowest = 0;
    int most = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < perKind; ++i) {
        Raw chat = Raw::Connect(2, 101);
        chat.Send(identity);
        ASSERT_EQ(chat.Read(2), "OK");
        chat.Send("subject " + std::to_string(i) + "\r\n");
        requests.push_back(std::move(chat));
        Raw file = Raw::Connect(2, 102);
        for (const std::string& message :
            {identity, Number(1), std::string("f").append(std::to_string(i)), Number(4)}) {
            file.Send(message);
            ASSERT_EQ(file.Read(2), "OK");
        }
        file.Send("take it\r\n");
        requests.push_back(std::move(file));
        if (i % 10 == 9) {
            const NetworkWindowCount count = CountNetworkWindows(victim);
            slowest = std::max(slowest, count.answerMs);
            most = std::max(most, count.requests);
        }
    }
    // Those beyond the share are closed with nothing more sent: the requester sees a dismissal.
    int closedSilently = 0;
    int sentMore = 0;
    WaitFor(
        [&] {
            closedSilently = 0;
            sentMore = 0;
            for (const Raw& request : requests) {
                char byte = 0;
                const ssize_t got = ::recv(request.Fd(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
                closedSilently += got == 0;
                sentMore += got > 0;
            }
            return closedSilently >= 2 * perKind - 10;
        },
        10000);
    const NetworkWindowCount after = CountNetworkWindows(victim);
    slowest = std::max(slowest, after.answerMs);
    most = std::max(most, after.requests);
    const qint64 floodMs = clock.elapsed();

    // A genuine request from another address still gets its window.
    SelectPeer(genuine, victim.Identity());
    genuine.Click(Main(genuine), "Chat");
    const auto chatRequest = genuine.WaitForWindow("Send Chat Request");
    ASSERT_TRUE(chatRequest);
    genuine.Set(*chatRequest, "subjectEdit", "real one");
    genuine.Click(*chatRequest, "Send");
    EXPECT_TRUE(victim.WaitForWindow("Received Chat Request",
        [&](const QStringList& dump) { return dump.join('\n').contains(genuine.Identity()); }));

    // A window closed by its user gives its place back: the next request from there shows.
    const auto hostile = victim.WaitForWindow("Received Chat Request",
        [&](const QStringList& dump) { return dump.join('\n').contains(QString::fromStdString(identity)); });
    ASSERT_TRUE(hostile);
    victim.Key(*hostile, "Close");
    Raw next = Raw::Connect(2, 101);
    next.Send(identity);
    ASSERT_EQ(next.Read(2), "OK");
    next.Send("once more\r\n");
    EXPECT_TRUE(victim.WaitForWindow("Received Chat Request",
        [](const QStringList& dump) { return dump.join('\n').contains("once more"); }));
    Report(QStringLiteral("request flood: %1 chat and %1 file requests from one address in %2 ms; at most %3 "
                          "request windows; %4 closed with nothing more sent; slowest window list %5 ms")
               .arg(perKind)
               .arg(floodMs)
               .arg(most)
               .arg(closedSilently)
               .arg(slowest));
    EXPECT_EQ(after.requests, 10);
    EXPECT_LE(most, 10);
    EXPECT_EQ(closedSilently, 2 * perKind - 10);
    EXPECT_EQ(sentMore, 0);
    EXPECT_LT(slowest, 1000);
    EXPECT_TRUE(victim.IsRunning());
}

TEST_F(HostilePeerTest, InvalidFileHeadersAndPlantedLinksWriteNothingOutsideTheChosenDirectory)
{
    RunningCopy victim(2);
    ASSERT_FALSE(Main(victim).id.isEmpty()) << "listening";
    // Each case ends with the message that makes it invalid.
    struct Case
    {
        const char* what;
        std::vector<std::string> messages;
    };
    const std::string identity = "mallory (evil)";
    auto withName = [&](const std::string& name) {
        return std::vector<std::string> {identity, Number(1), name};
    };
    const std::vector<Case> cases {
        {"count 0", {identity, Number(0)}},
        {"count too large", {identity, Number(0xFFFFFFFF)}},
        {"sizes beyond 32 bits", {identity, Number(2), "a", "b", Number(0xFFFFFFF0), Number(0x20)}},
        // An empty read does not exist on a stream; a leading zero byte makes the text empty.
        {"empty name", withName(std::string(1, '\0'))},
        {"dot", withName(".")},
        {"dot dot", withName("..")},
        {"parent", withName("../x")},
        {"absolute", withName("/etc/x")},
        {"directory part", withName("a/b")},
        {"zero byte", withName(std::string("x\0y", 3))},
    };
    for (const Case& c : cases) {
        Raw attacker = Raw::Connect(2, 102);
        for (size_t i = 0; i + 1 < c.messages.size(); ++i) {
            attacker.Send(c.messages[i]);
            EXPECT_EQ(attacker.Read(2), "OK") << c.what;
        }
        attacker.Send(c.messages.back());
        EXPECT_TRUE(attacker.WaitClosedByPeer()) << c.what;
    }
    EXPECT_TRUE(victim.WindowsTitled("File Request").empty());

    // A valid name at which a symbolic link stands in the chosen directory.
    QTemporaryDir root;
    const QString chosen = root.filePath("in");
    ASSERT_TRUE(QDir().mkdir(chosen));
    ASSERT_TRUE(QFile::link(root.filePath("outside"), chosen + "/link"));
    Raw attacker = Raw::Connect(2, 102);
    for (const std::string& message :
        {identity, Number(2), std::string("fine"), std::string("link"), Number(4), Number(4)}) {
        attacker.Send(message);
        ASSERT_EQ(attacker.Read(2), "OK");
    }
    attacker.Send("x\r\n");
    ASSERT_TRUE(AcceptInto(victim, chosen));
    ASSERT_EQ(attacker.Read(2), "OK");
    attacker.Send("1234evil");
    EXPECT_TRUE(victim.WaitForMessageBox(chosen + "/link is a symbolic link; it was not followed."));
    EXPECT_TRUE(attacker.WaitClosedByPeer());
    EXPECT_EQ(
        QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
        QStringList {"in"});
    EXPECT_FALSE(QFileInfo::exists(root.filePath("outside")));
    EXPECT_EQ(ReadFile(chosen + "/fine"), "1234");
    Report(QStringLiteral("headers: %1 invalid headers closed without a window; planted link refused")
               .arg(cases.size()));
    EXPECT_TRUE(victim.IsRunning());
}

TEST_F(HostilePeerTest, ReceiverKilledMidTransferIsReportedAndTheSenderStaysUsable)
{
    auto receiver = std::make_unique<RunningCopy>(2);
    RunningCopy sender(3);
    ASSERT_TRUE(Lists(sender, receiver->Identity()));
    QTemporaryDir source;
    QTemporaryDir target;
    WriteFile(source.filePath("big.bin"), RandomBytes(Full() ? 200'000'000 : 60'000'000, 5));
    ASSERT_TRUE(OfferFiles(sender, receiver->Identity(), {source.filePath("big.bin")}));
    ASSERT_TRUE(AcceptInto(*receiver, target.path()));
    ASSERT_TRUE(WaitFor([&] { return BatchPercent(*receiver) >= 1; }, 30000));
    const QString receiverName = receiver->Identity();
    receiver->Kill();
    EXPECT_TRUE(sender.WaitForMessageBox(receiverName + " Terminated The Process", 15000));

    // The same sender sends to the restarted receiver.
    receiver = std::make_unique<RunningCopy>(2);
    ASSERT_TRUE(
        WaitFor([&] { return sender.ListEntries(Main(sender), "peerList").count(receiverName) >= 2; }));
    for (const auto& box : sender.Windows()) {
        if (box.className == "QMessageBox") {
            sender.Click(box, "OK");
        }
    }
    WriteFile(source.filePath("small.txt"), "after the crash");
    ASSERT_TRUE(OfferFiles(sender, receiverName, {source.filePath("small.txt")}));
    ASSERT_TRUE(AcceptInto(*receiver, target.path()));
    EXPECT_TRUE(sender.WaitForMessageBox("Finished", 15000));
    EXPECT_EQ(ReadFile(target.filePath("small.txt")), "after the crash");
}

TEST_F(HostilePeerTest, SenderKilledMidTransferLeavesWholeFilesAndAnExactPrefix)
{
    RunningCopy receiver(2);
    RunningCopy sender(3);
    ASSERT_TRUE(Lists(sender, receiver.Identity()));
    QTemporaryDir source;
    QTemporaryDir target;
    const QByteArray first = RandomBytes(5000, 11);
    const QByteArray big = RandomBytes(Full() ? 200'000'000 : 60'000'000, 12);
    WriteFile(source.filePath("first.txt"), first);
    WriteFile(source.filePath("big.bin"), big);
    WriteFile(source.filePath("last.txt"), "never");
    ASSERT_TRUE(OfferFiles(sender, receiver.Identity(),
        {source.filePath("first.txt"), source.filePath("big.bin"), source.filePath("last.txt")}));
    ASSERT_TRUE(AcceptInto(receiver, target.path()));
    ASSERT_TRUE(WaitFor([&] { return BatchPercent(receiver) >= 2; }, 30000));
    const QString senderName = sender.Identity();
    sender.Kill();
    EXPECT_TRUE(receiver.WaitForMessageBox(senderName + " Terminated The Process", 15000));

    EXPECT_EQ(ReadFile(target.filePath("first.txt")), first);
    // The partial file says it is incomplete; nothing stands at the name of a file not whole.
    const QByteArray partial = ReadFile(target.filePath("big.bin.incomplete"));
    EXPECT_FALSE(QFileInfo::exists(target.filePath("big.bin")));
    Report(QStringLiteral("killed sender: %1 of %2 bytes of the current file kept")
               .arg(partial.size())
               .arg(big.size()));
    EXPECT_GT(partial.size(), 0);
    EXPECT_LT(partial.size(), big.size());
    EXPECT_TRUE(partial == big.left(partial.size())) << "the kept bytes are exactly those received";
    EXPECT_FALSE(QFileInfo::exists(target.filePath("last.txt")));
}

TEST_F(HostilePeerTest, APeerThatStopsReadingNeverFreezesTheWindows)
{
    RunningCopy victim(2);
    ASSERT_FALSE(Main(victim).id.isEmpty()) << "listening";
    // A chat whose requester never reads again.
    Raw stalled = Raw::Connect(2, 101);
    stalled.Send("mallory (stall)");
    ASSERT_EQ(stalled.Read(2), "OK");
    stalled.Send("talk?\r\n");
    const auto request = victim.WaitForWindow("Received Chat Request");
    ASSERT_TRUE(request);
    victim.Click(*request, "Accept");
    ASSERT_EQ(stalled.Read(2), "OK");
    const auto chat = victim.WaitForWindow("Chat");
    ASSERT_TRUE(chat);

    const QString line(1990, QLatin1Char('z'));
    const int lines = Full() ? 2000 : 300;
    qint64 slowest = 0;
    QElapsedTimer clock;
    for (int i = 0; i < lines; ++i) {
        clock.start();
        victim.Set(*chat, "inputEdit", line);
        victim.Click(*chat, "Send");
        victim.Windows();
        slowest = std::max(slowest, clock.elapsed());
    }

    // A file sent to a receiver that accepts and then reads nothing.
    {
        // Introduces the hostile peer to the copy.
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const std::string hello = Number(0) + "mallory (stall)";
        const sockaddr_in target = lan::SocketAddress(2, 100);
        ::sendto(
            fd, hello.data(), hello.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
        ::close(fd);
    }
    ASSERT_TRUE(Lists(victim, "mallory (stall)"));
    const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any = lan::SocketAddress(1, 102);
    ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(listen(listening, 5), 0);
    QTemporaryDir source;
    WriteFile(source.filePath("big.bin"), RandomBytes(20'000'000, 13));
    ASSERT_TRUE(OfferFiles(victim, "mallory (stall)", {source.filePath("big.bin")}));
    pollfd watched {listening, POLLIN, 0};
    ASSERT_TRUE(WaitFor([&] { return ::poll(&watched, 1, 0) > 0; }));
    Raw receiver(accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    ::close(listening);
    // Identity, count, name, size, each answered; the description, then the acceptance.
    for (int i = 0; i < 4; ++i) {
        ASSERT_FALSE(receiver.Read(4096, 300).empty());
        receiver.Send("OK");
    }
    ASSERT_FALSE(receiver.Read(4096, 300).empty());
    receiver.Send("OK");
    const auto progress = victim.WaitForWindow("File");
    ASSERT_TRUE(progress);
    clock.start();
    QElapsedTimer poll;
    while (!clock.hasExpired(Full() ? 10000 : 3000)) {
        poll.start();
        victim.Windows();
        slowest = std::max(slowest, poll.elapsed());
        Settle(20);
    }
    // Stopping ends the worker at once although the socket takes nothing.
    victim.Click(*progress, "Cancel");
    const auto question = victim.WaitForMessageBox("Are you sure?");
    ASSERT_TRUE(question);
    clock.start();
    victim.Click(*question, "Yes");
    EXPECT_TRUE(WaitFor([&] { return victim.WindowsTitled("File").empty(); }, 3000));
    const qint64 stopMs = clock.elapsed();
    Report(QStringLiteral("stalled reader: %1 chat lines of 1990 bytes unread; slowest window answer %2 ms; "
                          "stop with a full send buffer took %3 ms")
               .arg(lines)
               .arg(slowest)
               .arg(stopMs));
    EXPECT_LT(slowest, 1000);
    EXPECT_TRUE(victim.IsRunning());
}

TEST_F(HostilePeerTest, DistinctHellosFillTheListToItsLimitAndTheWindowsStillAnswer)
{
    RunningCopy victim(2);
    RunningCopy genuine(3);
    ASSERT_TRUE(Lists(victim, genuine.Identity()));
    ASSERT_TRUE(Lists(genuine, victim.Identity()));
    // Hellos from host 1, each a new identity; the replies come back to port 100 here.
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const sockaddr_in here = lan::SocketAddress(1, 100);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&here), sizeof here), 0);
    const sockaddr_in target = lan::SocketAddress(2, 100);
    const auto send = [&](std::uint32_t kind, int n) {
        const std::string datagram = Number(kind) + "flood" + std::to_string(n) + " (mallory)";
        ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&target),
            sizeof target);
    };
    int replies = 0;
    const auto countReplies = [&] {
        char buffer[2100];
        sockaddr_in from {};
        socklen_t length = sizeof from;
        ssize_t got;
        while ((got = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length))
            >= 0) {
            replies += got >= 4 && buffer[0] == 1 && from.sin_addr.s_addr == target.sin_addr.s_addr;
            length = sizeof from;
        }
    };

    // In batches that the copy has answered, or has had time to refuse, before the next one.
    const int hellos = Full() ? 20000 : 12000;
    const int batch = 100;
    qint64 slowest = 0;
    QElapsedTimer clock;
    QElapsedTimer total;
    total.start();
    for (int first = 0; first < hellos; first += batch) {
        for (int n = first; n < first + batch; ++n) {
            send(0, n);
        }
        const int expected = std::min(first + batch, 9999);
        WaitFor(
            [&] {
                countReplies();
                return replies >= expected;
            },
            first + batch <= 9999 ? 5000 : 20);
        clock.start();
        victim.Windows();
        slowest = std::max(slowest, clock.elapsed());
    }
    Settle(500);
    countReplies();
    const QStringList listed = victim.ListEntries(Main(victim), "peerList");
    Report(QStringLiteral("hello flood: %1 distinct hellos in %2 s; %3 listed, %4 answered; slowest window "
                          "answer %5 ms")
               .arg(hellos)
               .arg(total.elapsed() / 1000.0, 0, 'f', 1)
               .arg(listed.size())
               .arg(replies)
               .arg(slowest));
    // The genuine peer and 9,999 of the flood; the rest neither listed nor answered.
    EXPECT_EQ(listed.size(), 10000);
    EXPECT_EQ(replies, 9999);
    EXPECT_EQ(victim.ErrorOutput().count("peer list is full"), 1);
    EXPECT_LT(slowest, 1000);

    // Leaves still remove, and the genuine peer is still served.
    send(3, 0);
    EXPECT_TRUE(WaitFor([&] { return victim.ListEntries(Main(victim), "peerList").size() == 9999; }));
    ::close(fd);
    SelectPeer(genuine, victim.Identity());
    genuine.Click(Main(genuine), "Message");
    const auto sendWindow = genuine.WaitForWindow("Send Message");
    ASSERT_TRUE(sendWindow);
    genuine.Set(*sendWindow, "messageEdit", "still there?");
    genuine.Click(*sendWindow, "Send");
    const auto received = victim.WaitForWindow("Receive Message");
    ASSERT_TRUE(received);
    EXPECT_EQ(victim.Text(*received, "headerLabel"), "Received Message From " + genuine.Identity());
    EXPECT_EQ(victim.Text(*received, "messageEdit"), "still there?");
}

} // namespace
