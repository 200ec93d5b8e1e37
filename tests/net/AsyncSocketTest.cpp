// CAsyncSocket against real sockets: the test runs on host 1 of a virtual LAN, and plain
// blocking sockets on host 2 play the peers.
#include "net/AsyncSocket.h"
#include "tests/support/Lan.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace {

using Events = std::vector<std::string>;

// What a socket was told; it outlives the socket, so that a socket destroyed inside a
// notification can still be checked for calls it should never have had.
struct Log
{
    Events events;
    std::string data;
    bool bWrongThread = false;

    int Count(const std::string& event) const
    {
        return static_cast<int>(std::count(events.begin(), events.end(), event));
    }
};

class CRecordingSocket : public CAsyncSocket
{
public:
    std::shared_ptr<Log> log = std::make_shared<Log>();
    // Replaces the default reaction (read up to 2000 bytes on OnReceive, nothing otherwise).
    std::function<void(CRecordingSocket&, const std::string&)> react;

protected:
    void OnReceive(int error) override { Notify("receive", error); }
    void OnSend(int error) override { Notify("send", error); }
    void OnOutOfBandData(int error) override { Notify("oob", error); }
    void OnAccept(int error) override { Notify("accept", error); }
    void OnConnect(int error) override { Notify("connect", error); }
    void OnClose(int error) override { Notify("close", error); }

private:
    void Notify(const std::string& name, int error)
    {
        log->events.push_back(name + " " + std::to_string(error));
        log->bWrongThread |= std::this_thread::get_id() != mainThread;
        if (react) {
            react(*this, name);
        } else if (name == "receive") {
            char buffer[2000];
            const int received = Receive(buffer, sizeof buffer);
            if (received > 0) {
                log->data.append(buffer, static_cast<size_t>(received));
            }
        }
    }

public:
    static inline std::thread::id mainThread = std::this_thread::get_id();
};

// A plain file descriptor that closes itself.
struct Fd
{
    int fd = -1;
    explicit Fd(int value)
        : fd(value)
    {
    }
    ~Fd()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    operator int() const { return fd; }
};

// A blocking stream socket on host 2 connected to host 1's port.
int PeerConnect(unsigned port)
{
    const int fd = lan::OpenSocketOn(2, SOCK_STREAM);
    const sockaddr_in address = lan::SocketAddress(1, port);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << strerror(errno);
    return fd;
}

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

void SendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(sent, 0) << strerror(errno);
        done += static_cast<size_t>(sent);
    }
}

std::string ReadAll(int fd, size_t wanted)
{
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < wanted) {
        const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
        if (received <= 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(received));
    }
    return bytes;
}

std::string Pattern(size_t length)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>('a' + i % 23);
    }
    return bytes;
}

// A listener on host 1 that accepts every connection into a new recording socket.
class CListener : public CRecordingSocket
{
public:
    std::vector<std::unique_ptr<CRecordingSocket>> accepted;

    explicit CListener(unsigned port)
    {
        EXPECT_TRUE(Create(port));
        EXPECT_TRUE(Listen());
        react = [this](CRecordingSocket&, const std::string& name) {
            if (name == "accept") {
                auto connection = std::make_unique<CRecordingSocket>();
                EXPECT_TRUE(Accept(*connection));
                accepted.push_back(std::move(connection));
            }
        };
    }

    CRecordingSocket& WaitForConnection(size_t count = 1)
    {
        EXPECT_TRUE(WaitFor([&] { return accepted.size() >= count; }));
        return *accepted.at(count - 1);
    }
};

double ProcessorSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

TEST(SocketErrorTest, MapsErrnoAndKeepsTheLastErrorPerThread)
{
    EXPECT_EQ(WsaErrorFromErrno(EAGAIN), WSAEWOULDBLOCK);
    EXPECT_EQ(WsaErrorFromErrno(EINPROGRESS), WSAEWOULDBLOCK);
    EXPECT_EQ(WsaErrorFromErrno(ECONNREFUSED), WSAECONNREFUSED);
    EXPECT_EQ(WsaErrorFromErrno(ECONNRESET), WSAECONNRESET);
    EXPECT_EQ(WsaErrorFromErrno(EINTR), WSAEINTR);
    // Linux numbers its errors differently; an unknown one must not pass for a known code.
    EXPECT_NE(WsaErrorFromErrno(EDEADLK), WSAEWOULDBLOCK);
    EXPECT_NE(WsaErrorFromErrno(ENAMETOOLONG), WSAEINPROGRESS);
    EXPECT_NE(WsaErrorFromErrno(EDEADLK), WsaErrorFromErrno(ENAMETOOLONG));

    WSASetLastError(WSAEINVAL);
    std::thread([] { WSASetLastError(WSAEINTR); }).join();
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(AsyncSocketCreateTest, FailuresLeaveNoSocketAndObjectsStayReusable)
{
    REQUIRE_LAN(2);
    CAsyncSocket first;
    first.Close();
    EXPECT_FALSE(first.Create(40010, SOCK_DGRAM, FD_ALL_EVENTS, "host-1"));
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(first.m_hSocket, INVALID_SOCKET);
    ASSERT_TRUE(first.Create(40010, SOCK_DGRAM));

    // A second copy of a datagram port is refused, and the failed object holds nothing.
    CAsyncSocket second;
    EXPECT_FALSE(second.Create(40010, SOCK_DGRAM));
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    EXPECT_EQ(second.m_hSocket, INVALID_SOCKET);
    first.Close();
    EXPECT_EQ(first.m_hSocket, INVALID_SOCKET);
    EXPECT_TRUE(second.Create(40010, SOCK_DGRAM));
    second.Close();
    EXPECT_TRUE(second.Create(0, SOCK_STREAM, FD_ALL_EVENTS, lan::Address(1).c_str()));

    CAsyncSocket listener;
    ASSERT_TRUE(listener.Create(40011));
    ASSERT_TRUE(listener.Listen());
    CAsyncSocket rival;
    EXPECT_FALSE(rival.Create(40011) && rival.Listen());

    CAsyncSocket connection;
    EXPECT_FALSE(listener.Accept(connection));
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(connection.m_hSocket, INVALID_SOCKET);
    EXPECT_FALSE(listener.Accept(second));
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(AsyncSocketStreamTest, AcceptedConnectionReceivesEverythingBeforeOneOrderlyClose)
{
    REQUIRE_LAN(2);
    CListener listener(40012);
    const std::string sent = Pattern(300000);
    {
        Fd peer(PeerConnect(40012));
        CRecordingSocket& connection = listener.WaitForConnection();
        CString address;
        unsigned port = 0;
        EXPECT_TRUE(connection.GetPeerName(address, port));
        EXPECT_EQ(address, lan::Address(2));
        SendAll(peer, sent);
    }
    CRecordingSocket& connection = *listener.accepted.at(0);
    ASSERT_TRUE(WaitFor([&] { return connection.log->Count("close 0") > 0; }, 10000));
    Settle(250);

    const Events& events = connection.log->events;
    EXPECT_EQ(connection.log->data.size(), sent.size());
    EXPECT_TRUE(connection.log->data == sent);
    EXPECT_EQ(events.back(), "close 0");
    EXPECT_EQ(connection.log->Count("close 0"), 1);
    EXPECT_EQ(connection.log->Count("receive 0"), static_cast<int>(events.size()) - 1);
    EXPECT_FALSE(connection.log->bWrongThread);
    EXPECT_FALSE(listener.log->bWrongThread);
}

TEST(AsyncSocketStreamTest, ResetAndOutOfBandDataReachTheirNotifications)
{
    REQUIRE_LAN(2);
    CListener listener(40013);
    Fd peer(PeerConnect(40013));
    CRecordingSocket& connection = listener.WaitForConnection();

    ASSERT_EQ(send(peer, "!", 1, MSG_OOB), 1);
    EXPECT_TRUE(WaitFor([&] { return connection.log->Count("oob 0") == 1; }));
    char urgent = 0;
    EXPECT_EQ(connection.Receive(&urgent, 1, MSG_OOB), 1);
    EXPECT_EQ(urgent, '!');

    const linger abort {1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(peer.fd);
    peer.fd = -1;
    EXPECT_TRUE(
        WaitFor([&] { return !connection.log->events.empty() && connection.log->events.back() != "oob 0"; }));
    Settle(250);
    EXPECT_EQ(connection.log->events, (Events {"oob 0", "close " + std::to_string(WSAECONNRESET)}));
}

TEST(AsyncSocketStreamTest, ConnectReportsItsOutcomeOnce)
{
    REQUIRE_LAN(2);
    Fd server(PeerListen(40014));
    CRecordingSocket client;
    ASSERT_TRUE(client.Create());
    EXPECT_FALSE(client.Connect(lan::Address(2), 40014));
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(WaitFor([&] { return !client.log->events.empty(); }));
    EXPECT_EQ(client.log->events, Events {"connect 0"});
    Fd accepted(accept(server, nullptr, nullptr));
    SendAll(accepted, "hi");
    EXPECT_TRUE(WaitFor([&] { return client.log->data == "hi"; }));

    // Nothing listens on 40015: the refusal is the last word on that socket.
    CRecordingSocket refused;
    ASSERT_TRUE(refused.Create());
    EXPECT_FALSE(refused.Connect(lan::Address(2), 40015));
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_TRUE(WaitFor([&] { return !refused.log->events.empty(); }));
    Settle(250);
    EXPECT_EQ(refused.log->events, Events {"connect " + std::to_string(WSAECONNREFUSED)});

    CRecordingSocket unresolved;
    ASSERT_TRUE(unresolved.Create());
    EXPECT_FALSE(unresolved.Connect("", 40014));
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_FALSE(unresolved.Connect("no-such-host.invalid", 40014));
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    Settle(250);
    EXPECT_TRUE(unresolved.log->events.empty());

    CListener local(40016);
    CRecordingSocket byName;
    ASSERT_TRUE(byName.Create());
    byName.Connect("localhost", 40016);
    EXPECT_TRUE(WaitFor([&] { return byName.log->events == Events {"connect 0"}; }));
    local.WaitForConnection();
}

TEST(AsyncSocketStreamTest, ReadsPauseUntilTheNextReceive)
{
    REQUIRE_LAN(2);
    CListener listener(40017);
    Fd peer(PeerConnect(40017));
    CRecordingSocket& connection = listener.WaitForConnection();
    connection.react = [](CRecordingSocket&, const std::string&) {};

    SendAll(peer, "abc");
    ASSERT_TRUE(WaitFor([&] { return connection.log->Count("receive 0") == 1; }));
    close(peer.fd);
    peer.fd = -1;
    Settle(250);
    EXPECT_EQ(connection.log->events, Events {"receive 0"});

    // A Receive outside any notification re-arms reads; the close still waits behind the data.
    char byte = 0;
    EXPECT_EQ(connection.Receive(&byte, 1), 1);
    EXPECT_TRUE(WaitFor([&] { return connection.log->Count("receive 0") == 2; }));
    Settle(250);
    EXPECT_EQ(connection.log->events.size(), 2u);

    char rest[8] = {};
    EXPECT_EQ(connection.Receive(rest, sizeof rest), 2);
    EXPECT_TRUE(WaitFor([&] { return connection.log->Count("close 0") == 1; }));
    EXPECT_EQ(connection.log->events, (Events {"receive 0", "receive 0", "close 0"}));
}

TEST(AsyncSocketStreamTest, ReadEventForDataAlreadyTakenIsDropped)
{
    REQUIRE_LAN(2);
    CListener listener(40018);
    Fd firstPeer(PeerConnect(40018));
    Fd secondPeer(PeerConnect(40018));
    listener.WaitForConnection(2);
    CRecordingSocket& first = *listener.accepted[0];
    CRecordingSocket& second = *listener.accepted[1];
    // Whichever hears first drains both.
    const auto drainBoth = [&](CRecordingSocket&, const std::string&) {
        char buffer[64];
        while (first.Receive(buffer, sizeof buffer) > 0) { }
        while (second.Receive(buffer, sizeof buffer) > 0) { }
    };
    first.react = drainBoth;
    second.react = drainBoth;

    SendAll(firstPeer, "one");
    SendAll(secondPeer, "two");
    usleep(100000);
    ASSERT_TRUE(WaitFor([&] { return first.log->events.size() + second.log->events.size() > 0; }));
    Settle(250);
    EXPECT_EQ(first.log->events.size() + second.log->events.size(), 1u);
}

// A connection whose reads another thread takes over hears neither data nor the close, until
// it selects them again; data left unread when its selection changed is reported then too.
TEST(AsyncSocketStreamTest, AsyncSelectWithdrawsAndRestoresReadsAndClose)
{
    REQUIRE_LAN(2);
    CListener listener(40028);
    Fd peer(PeerConnect(40028));
    CRecordingSocket& connection = listener.WaitForConnection();
    // The first notification withdraws reads before anything is read.
    connection.react = [](CRecordingSocket& self, const std::string&) { self.AsyncSelect(FD_WRITE); };
    SendAll(peer, "abc");
    ASSERT_TRUE(WaitFor([&] { return connection.log->Count("receive 0") == 1; }));
    SendAll(peer, "def");
    close(peer.fd);
    peer.fd = -1;
    Settle(250);
    EXPECT_EQ(connection.log->events, Events {"receive 0"});

    connection.react = nullptr;
    ASSERT_TRUE(connection.AsyncSelect(FD_ALL_EVENTS));
    EXPECT_TRUE(WaitFor([&] { return connection.log->Count("close 0") == 1; }));
    EXPECT_EQ(connection.log->events, (Events {"receive 0", "receive 0", "close 0"}));
    EXPECT_EQ(connection.log->data, "abcdef");

    CAsyncSocket unopened;
    EXPECT_FALSE(unopened.AsyncSelect(FD_READ));
}

TEST(AsyncSocketLifetimeTest, ClosedOrDestroyedSocketsHearNothingMore)
{
    REQUIRE_LAN(2);
    CListener listener(40019);

    // Data and the peer's close wait together; the socket dies in its first OnReceive.
    Fd deletedPeer(PeerConnect(40019));
    listener.WaitForConnection(1);
    CRecordingSocket* doomed = listener.accepted[0].release();
    const std::shared_ptr<Log> doomedLog = doomed->log;
    doomed->react = [](CRecordingSocket& self, const std::string&) { delete &self; };

    Fd closedPeer(PeerConnect(40019));
    CRecordingSocket& closing = listener.WaitForConnection(2);
    closing.react = [](CRecordingSocket& self, const std::string&) {
        self.Close();
        EXPECT_TRUE(self.Create(0, SOCK_DGRAM));
    };

    Fd quietPeer(PeerConnect(40019));
    CRecordingSocket& closedOutside = listener.WaitForConnection(3);

    SendAll(deletedPeer, "x");
    SendAll(closedPeer, "y");
    SendAll(quietPeer, "z");
    close(deletedPeer.fd);
    close(closedPeer.fd);
    deletedPeer.fd = closedPeer.fd = -1;
    usleep(100000);
    // Already readable, but closed before the event loop saw it.
    closedOutside.Close();
    ASSERT_TRUE(WaitFor([&] { return !doomedLog->events.empty() && !closing.log->events.empty(); }));
    Settle(250);
    EXPECT_EQ(doomedLog->events, Events {"receive 0"});
    EXPECT_EQ(closing.log->events, Events {"receive 0"});
    EXPECT_TRUE(closedOutside.log->events.empty());

    // Destroyed inside OnClose, OnConnect and OnAccept.
    auto* closeVictim = new CRecordingSocket;
    ASSERT_TRUE(closeVictim->Create());
    Fd server(PeerListen(40020));
    closeVictim->Connect(lan::Address(2), 40020);
    const std::shared_ptr<Log> closeLog = closeVictim->log;
    closeVictim->react = [](CRecordingSocket& self, const std::string& name) {
        if (name == "close") {
            delete &self;
        }
    };
    close(accept(server, nullptr, nullptr));

    auto* connectVictim = new CRecordingSocket;
    ASSERT_TRUE(connectVictim->Create());
    connectVictim->Connect(lan::Address(2), 40021);
    const std::shared_ptr<Log> connectLog = connectVictim->log;
    connectVictim->react = [](CRecordingSocket& self, const std::string&) { delete &self; };

    auto* acceptVictim = new CRecordingSocket;
    ASSERT_TRUE(acceptVictim->Create(40022));
    ASSERT_TRUE(acceptVictim->Listen());
    const std::shared_ptr<Log> acceptLog = acceptVictim->log;
    acceptVictim->react = [](CRecordingSocket& self, const std::string&) { delete &self; };
    Fd lateComer(PeerConnect(40022));
    Fd secondComer(PeerConnect(40022));

    EXPECT_TRUE(WaitFor([&] {
        return closeLog->Count("close 0") == 1 && !connectLog->events.empty() && !acceptLog->events.empty();
    }));
    Settle(250);
    EXPECT_EQ(closeLog->events, (Events {"connect 0", "close 0"}));
    EXPECT_EQ(connectLog->events, Events {"connect " + std::to_string(WSAECONNREFUSED)});
    EXPECT_EQ(acceptLog->events, Events {"accept 0"});
}

TEST(AsyncSocketStreamTest, WritesAreWatchedOnlyAfterASendThatWouldBlock)
{
    REQUIRE_LAN(2);
    Fd server(PeerListen(40023));
    CRecordingSocket client;
    ASSERT_TRUE(client.Create());
    client.Connect(lan::Address(2), 40023);
    ASSERT_TRUE(WaitFor([&] { return client.log->Count("connect 0") == 1; }));
    Fd peer(accept(server, nullptr, nullptr));
    Settle(100);
    EXPECT_EQ(client.log->Count("send 0"), 0);

    const std::string chunk = Pattern(65536);
    size_t total = 0;
    while (true) {
        const int sent = client.Send(chunk.data(), static_cast<int>(chunk.size()));
        if (sent < 0) {
            EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
            break;
        }
        total += static_cast<size_t>(sent);
    }
    std::string received;
    std::thread reader([&] { received = ReadAll(peer, total); });
    EXPECT_TRUE(WaitFor([&] { return client.log->Count("send 0") == 1; }));
    reader.join();
    Settle(250);
    EXPECT_EQ(received.size(), total);
    EXPECT_EQ(client.log->events, (Events {"connect 0", "send 0"}));
}

TEST(AsyncSocketIdleTest, IdleSocketsCostNoProcessorTime)
{
    REQUIRE_LAN(2);
    CListener listener(40024);
    Fd firstPeer(PeerConnect(40024));
    Fd silentPeer(PeerConnect(40024));
    listener.WaitForConnection(2);
    // One connection has unread data and a handler that does not read it.
    listener.accepted[1]->react = [](CRecordingSocket&, const std::string&) {};
    SendAll(silentPeer, "unread");
    CRecordingSocket datagram;
    ASSERT_TRUE(datagram.Create(40025, SOCK_DGRAM));
    Fd server(PeerListen(40026));
    CRecordingSocket client;
    ASSERT_TRUE(client.Create());
    client.Connect(lan::Address(2), 40026);
    ASSERT_TRUE(WaitFor([&] { return client.log->Count("connect 0") == 1; }));
    ASSERT_TRUE(WaitFor([&] { return listener.accepted[1]->log->Count("receive 0") == 1; }));

    const double before = ProcessorSeconds();
    Settle(600);
    EXPECT_LT(ProcessorSeconds() - before, 0.15);
}

TEST(AsyncSocketIdleTest, AcceptWithoutDescriptorsNeitherSpinsNorLosesTheListener)
{
    REQUIRE_LAN(2);
    CRecordingSocket listener;
    ASSERT_TRUE(listener.Create(40032));
    ASSERT_TRUE(listener.Listen());
    std::vector<std::unique_ptr<CRecordingSocket>> accepted;
    int failures = 0;
    listener.react = [&](CRecordingSocket&, const std::string& name) {
        auto connection = std::make_unique<CRecordingSocket>();
        if (name != "accept") {
            return;
        }
        if (listener.Accept(*connection)) {
            accepted.push_back(std::move(connection));
        } else {
            EXPECT_EQ(WSAGetLastError(), WSAEMFILE);
            ++failures;
        }
    };
    Fd waiting(lan::OpenSocketOn(2, SOCK_STREAM));
    Fd later(lan::OpenSocketOn(2, SOCK_STREAM));
    const sockaddr_in address = lan::SocketAddress(1, 40032);

    // Every descriptor taken, under a limit just above those in use.
    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    Fd probe(dup(0));
    rlimit lowered = saved;
    lowered.rlim_cur = static_cast<rlim_t>(probe.fd) + 16;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<std::unique_ptr<Fd>> filler;
    for (int fd; (fd = dup(0)) >= 0;) {
        filler.push_back(std::make_unique<Fd>(fd));
    }
    ASSERT_EQ(errno, EMFILE);
    ASSERT_EQ(connect(waiting, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const double before = ProcessorSeconds();
    Settle(1000);
    EXPECT_LT(ProcessorSeconds() - before, 0.2);
    EXPECT_GE(failures, 1);
    char byte = 0;
    EXPECT_EQ(recv(waiting, &byte, 1, MSG_DONTWAIT), 0) << "the waiting connection is closed";

    filler.clear();
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_EQ(connect(later, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    EXPECT_TRUE(WaitFor([&] { return accepted.size() == 1; }));
}

TEST(AsyncSocketThreadTest, SendWorksFromAnotherThreadWhileNotificationsStayHome)
{
    REQUIRE_LAN(2);
    Fd server(PeerListen(40027));
    CRecordingSocket client;
    ASSERT_TRUE(client.Create());
    client.Connect(lan::Address(2), 40027);
    ASSERT_TRUE(WaitFor([&] { return client.log->Count("connect 0") == 1; }));
    Fd peer(accept(server, nullptr, nullptr));

    const std::string bytes = Pattern(4 << 20);
    std::string received;
    std::thread reader([&] {
        received = ReadAll(peer, bytes.size());
        SendAll(peer, "done");
    });
    std::thread worker([&] {
        size_t done = 0;
        while (done < bytes.size()) {
            const int sent = client.Send(
                bytes.data() + done, static_cast<int>(std::min<size_t>(2000, bytes.size() - done)));
            if (sent > 0) {
                done += static_cast<size_t>(sent);
            } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
                usleep(1000);
            } else {
                ADD_FAILURE() << "send failed with " << WSAGetLastError();
                return;
            }
        }
    });
    EXPECT_TRUE(WaitFor([&] { return client.log->data == "done"; }, 20000));
    worker.join();
    reader.join();
    EXPECT_TRUE(received == bytes);
    EXPECT_FALSE(client.log->bWrongThread);
    EXPECT_EQ(client.log->Count("send 0"), 0);
}

TEST(AsyncSocketDatagramTest, EmptyDatagramsBroadcastAndSenderAddresses)
{
    REQUIRE_LAN(2);
    CRecordingSocket socket;
    ASSERT_TRUE(socket.Create(40030, SOCK_DGRAM));
    CString sender = "unchanged";
    unsigned senderPort = 7;
    char buffer[64];
    EXPECT_EQ(socket.ReceiveFrom(buffer, sizeof buffer, sender, senderPort), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(sender, "unchanged");
    EXPECT_EQ(senderPort, 7u);

    int received = -2;
    socket.react = [&](CRecordingSocket& self, const std::string&) {
        received = self.ReceiveFrom(buffer, sizeof buffer, sender, senderPort);
    };
    Fd peer(lan::OpenSocketOn(2, SOCK_DGRAM));
    const sockaddr_in to = lan::SocketAddress(1, 40030);
    ASSERT_EQ(sendto(peer, "", 0, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(WaitFor([&] { return received != -2; }));
    EXPECT_EQ(received, 0);
    EXPECT_EQ(sender, lan::Address(2));
    sockaddr_in peerAddress {};
    socklen_t length = sizeof peerAddress;
    getsockname(peer, reinterpret_cast<sockaddr*>(&peerAddress), &length);
    EXPECT_EQ(senderPort, ntohs(peerAddress.sin_port));

    // No host means 255.255.255.255; host 2 listens on the port.
    Fd listener(lan::OpenSocketOn(2, SOCK_DGRAM));
    const sockaddr_in any {AF_INET, htons(40031), {htonl(INADDR_ANY)}, {}};
    ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&any), sizeof any), 0);
    const int on = 1;
    ASSERT_TRUE(socket.SetSockOpt(SO_BROADCAST, &on, sizeof on));
    EXPECT_EQ(socket.SendTo("ping", 4, 40031), 4);
    const timeval patience {2, 0};
    setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    char heard[8] = {};
    EXPECT_EQ(recv(listener, heard, sizeof heard, 0), 4);
    EXPECT_STREQ(heard, "ping");

    EXPECT_EQ(socket.SendTo("ping", 4, 40031, "no-such-host.invalid"), 0);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(AsyncSocketAttachTest, AttachedSocketsAreWatchedByWhatTheyAre)
{
    // Local sockets: no LAN needed.
    int pair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    Fd peer(pair[1]);
    CRecordingSocket connection;
    ASSERT_TRUE(connection.Attach(pair[0]));
    EXPECT_FALSE(connection.Attach(pair[1])) << "already holds a socket";
    ASSERT_EQ(send(peer.fd, "hello", 5, 0), 5);
    ASSERT_TRUE(WaitFor([&] { return connection.log->data == "hello"; }));
    close(std::exchange(peer.fd, -1));
    ASSERT_TRUE(WaitFor([&] { return connection.log->Count("close 0") == 1; }));

    const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string name = "quorvane-attach-" + std::to_string(getpid());
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(listen(listening, 5), 0);
    CRecordingSocket listener;
    ASSERT_TRUE(listener.Attach(listening));
    Fd client(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(connect(client.fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_TRUE(WaitFor([&] { return listener.log->Count("accept 0") == 1; }));
}
