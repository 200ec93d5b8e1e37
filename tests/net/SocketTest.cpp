// CSocket's waits against real sockets on the virtual LAN; host 2 plays the peers from threads of
// its own, so that they act while the test thread is blocked.
#include "net/Socket.h"
#include "tests/support/Lan.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Events = std::vector<std::string>;

// A connected pair: this test's CSocket on host 1, a blocking peer socket on host 2.
int PeerListen(unsigned port)
{
    const int fd = lan::OpenSocketOn(2, SOCK_STREAM);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = lan::SocketAddress(2, port);
    EXPECT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << strerror(errno);
    EXPECT_EQ(listen(fd, 5), 0);
    return fd;
}

class CTestSocket : public CSocket
{
public:
    Events events;
    using CSocket::PumpMessages;
    void SetTimeOut(int ms) { m_nTimeOut = ms; }

protected:
    void OnReceive(int error) override { events.push_back("receive " + std::to_string(error)); }
    void OnSend(int error) override { events.push_back("send " + std::to_string(error)); }
    void OnConnect(int error) override { events.push_back("connect " + std::to_string(error)); }
    void OnClose(int error) override { events.push_back("close " + std::to_string(error)); }
};

class CCountingSocket : public CAsyncSocket
{
public:
    int nReceives = 0;

protected:
    void OnReceive(int) override { ++nReceives; }
};

// A shown window whose next repaint runs an action: a repaint already asked for is the one thing
// a wait starting now runs.
class CPaintProbe : public QWidget
{
public:
    CPaintProbe()
    {
        resize(40, 40);
        show();
        EXPECT_TRUE(WaitFor([this] { return m_bPainted; }));
    }
    void RunInRepaint(std::function<void()> action)
    {
        m_action = std::move(action);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        m_bPainted = true;
        if (auto action = std::exchange(m_action, {})) {
            action();
        }
    }

private:
    bool m_bPainted = false;
    std::function<void()> m_action;
};

double ThreadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// Connects socket to a fresh listener on host 2 and returns the peer's end.
int ConnectPair(CSocket& socket, unsigned port)
{
    const int server = PeerListen(port);
    EXPECT_TRUE(socket.Create());
    EXPECT_TRUE(socket.Connect(lan::Address(2), port)) << WSAGetLastError();
    const int peer = accept(server, nullptr, nullptr);
    close(server);
    return peer;
}

} // namespace

TEST(SocketTest, AWaitSleepsAndRunsOnlyRepaintsAndSecondCallsFail)
{
    REQUIRE_LAN(2);
    CTestSocket socket;
    const int peer = ConnectPair(socket, 40040);
    CPaintProbe probe;
    CCountingSocket other;
    ASSERT_TRUE(other.Create(40041, SOCK_DGRAM));
    const int datagram = lan::OpenSocketOn(2, SOCK_DGRAM);
    const sockaddr_in to = lan::SocketAddress(1, 40041);
    sendto(datagram, "d", 1, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    close(datagram);
    pollfd otherReady {other.m_hSocket, POLLIN, 0};
    ASSERT_EQ(poll(&otherReady, 1, 2000), 1);

    // Everything here is due before the wait starts; only the repaint may run inside it.
    bool queuedRan = false;
    bool timerRan = false;
    QMetaObject::invokeMethod(
        qApp, [&] { queuedRan = true; }, Qt::QueuedConnection);
    QTimer::singleShot(1, [&] { timerRan = true; });
    bool blockingSeen = false;
    int secondResult = 0;
    int secondError = 0;
    probe.RunInRepaint([&] {
        blockingSeen = socket.IsBlocking();
        char spare[8];
        secondResult = socket.Receive(spare, sizeof spare);
        secondError = WSAGetLastError();
    });
    std::thread remote([&] {
        usleep(1000000);
        send(peer, "late", 4, MSG_NOSIGNAL);
    });

    const double cpuBefore = ThreadCpuMs();
    char buffer[16] = {};
    EXPECT_EQ(socket.Receive(buffer, sizeof buffer), 4);
    const double cpuSpent = ThreadCpuMs() - cpuBefore;
    remote.join();
    EXPECT_STREQ(buffer, "late");
    EXPECT_FALSE(socket.IsBlocking());
    EXPECT_TRUE(blockingSeen);
    EXPECT_EQ(secondResult, SOCKET_ERROR);
    EXPECT_EQ(secondError, WSAEINPROGRESS);
    EXPECT_FALSE(queuedRan);
    EXPECT_FALSE(timerRan);
    EXPECT_EQ(other.nReceives, 0);
    // A second of waiting in poll costs next to nothing; a spinning wait costs the second.
    EXPECT_LT(cpuSpent, 250.0);
    EXPECT_TRUE(WaitFor([&] { return queuedRan && timerRan && other.nReceives == 1; }));
    // The connect and the data were taken by the waits themselves.
    EXPECT_TRUE(socket.events.empty());
    close(peer);
}

TEST(SocketTest, CloseOrDestructionDuringAWaitCancelsIt)
{
    REQUIRE_LAN(2);
    CTestSocket closed;
    const int closedPeer = ConnectPair(closed, 40042);
    CPaintProbe probe;
    probe.RunInRepaint([&] { closed.Close(); });
    char buffer[8];
    EXPECT_EQ(closed.Receive(buffer, sizeof buffer), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINTR);
    EXPECT_EQ(closed.m_hSocket, INVALID_SOCKET);
    EXPECT_FALSE(closed.IsBlocking());

    auto* destroyed = new CTestSocket;
    const int destroyedPeer = ConnectPair(*destroyed, 40043);
    probe.RunInRepaint([&] { delete destroyed; });
    EXPECT_EQ(destroyed->Receive(buffer, sizeof buffer), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINTR);
    close(closedPeer);
    close(destroyedPeer);
}

TEST(SocketTest, ConnectAcceptAndSendWaitForTheirEvents)
{
    REQUIRE_LAN(2);
    CTestSocket refused;
    ASSERT_TRUE(refused.Create());
    EXPECT_FALSE(refused.Connect(lan::Address(2), 40044));
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);

    CTestSocket listener;
    ASSERT_TRUE(listener.Create(40045));
    ASSERT_TRUE(listener.Listen());
    std::thread comer([] {
        usleep(200000);
        const int fd = lan::OpenSocketOn(2, SOCK_STREAM);
        const sockaddr_in to = lan::SocketAddress(1, 40045);
        connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        close(fd);
    });
    CAsyncSocket connection;
    EXPECT_TRUE(listener.Accept(connection));
    EXPECT_NE(connection.m_hSocket, INVALID_SOCKET);
    comer.join();

    // Far more than the buffers hold: the send waits while the peer reads slowly.
    CTestSocket sender;
    const int peer = ConnectPair(sender, 40046);
    const std::string bytes(8 << 20, 'q');
    size_t received = 0;
    std::thread reader([&] {
        char chunk[65536];
        ssize_t got = 0;
        while (received < bytes.size() && (got = recv(peer, chunk, sizeof chunk, 0)) > 0) {
            received += static_cast<size_t>(got);
            usleep(received < bytes.size() / 2 ? 2000 : 0);
        }
    });
    EXPECT_EQ(sender.Send(bytes.data(), static_cast<int>(bytes.size())), static_cast<int>(bytes.size()));
    reader.join();
    EXPECT_EQ(received, bytes.size());

    // After a connect the blocking socket hears its reads, but no OnSend for the waits.
    send(peer, "x", 1, MSG_NOSIGNAL);
    EXPECT_TRUE(WaitFor([&] { return !sender.events.empty(); }));
    Settle(250);
    EXPECT_EQ(sender.events, Events {"receive 0"});
    close(peer);
}

TEST(SocketTest, DatagramsWaitAndEveryWaitEndsWithinTheRetryInterval)
{
    REQUIRE_LAN(2);
    CTestSocket socket;
    ASSERT_TRUE(socket.Create(40047, SOCK_DGRAM));
    std::thread remote([] {
        usleep(200000);
        const int fd = lan::OpenSocketOn(2, SOCK_DGRAM);
        const sockaddr_in to = lan::SocketAddress(1, 40047);
        sendto(fd, "hello", 5, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        close(fd);
    });
    char buffer[16] = {};
    CString sender;
    unsigned port = 0;
    EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, sender, port), 5);
    remote.join();
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(sender, lan::Address(2));

    const int listener = lan::OpenSocketOn(2, SOCK_DGRAM);
    const sockaddr_in any {AF_INET, htons(40048), {htonl(INADDR_ANY)}, {}};
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    const int on = 1;
    ASSERT_TRUE(socket.SetSockOpt(SO_BROADCAST, &on, sizeof on));
    EXPECT_EQ(socket.SendTo("all", 3, 40048), 3);
    const timeval patience {2, 0};
    setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    char heard[8] = {};
    EXPECT_EQ(recv(listener, heard, sizeof heard, 0), 3);
    EXPECT_STREQ(heard, "all");
    close(listener);

    // Nothing arrives: the wait still returns so that the operation is retried.
    socket.SetTimeOut(150);
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(socket.PumpMessages(FD_READ));
    EXPECT_GE(clock.elapsed(), 140);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_FALSE(socket.IsBlocking());
}
