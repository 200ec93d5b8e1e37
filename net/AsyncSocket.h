#pragma once

#include "framework/CString.h"
#include "net/SocketError.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

#include <sys/socket.h>

class CInterfaceWatch;
class QSocketNotifier;

// Where a datagram arrived: the interface index and the destination address of its header in
// host byte order; both 0 when the system did not say.
struct DatagramArrival
{
    int nInterfaceIndex = 0;
    std::uint32_t nDestination = 0;
};

// One IPv4 socket in non-blocking mode whose readiness arrives as calls of the On... operations,
// on the thread that created it (the user-interface thread). Notifications come one at a time;
// none arrives for a closed socket, and an object may be closed or destroyed inside its own
// notification: the layer touches it no more afterwards.
class CAsyncSocket
{
public:
    CAsyncSocket();
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Opens a socket of the type (SOCK_STREAM or SOCK_DGRAM), selects the events and binds it to
    // the port on the local address (every address when null). A failed bind closes it again.
    bool Create(unsigned port = 0, int type = SOCK_STREAM, long events = FD_ALL_EVENTS,
        const char* localAddress = nullptr);
    // Takes over a socket opened elsewhere (a listener, a connected stream or a datagram socket):
    // it becomes non-blocking, and this object watches, owns and closes it.
    bool Attach(int fd, long events = FD_ALL_EVENTS);
    // Changes which notifications arrive (owner's thread only); what is waiting already is
    // reported under the new selection. A socket whose reads another thread takes over drops
    // FD_READ and FD_CLOSE, so that the two never compete for the same bytes. FD_CLOSE is heard
    // only together with FD_READ: the close shows once the data before it has been read.
    bool AsyncSelect(long events);
    bool Listen(int backlog = 5);
    // Puts the next waiting connection into an object that holds no socket.
    virtual bool Accept(CAsyncSocket& connection);
    // Host is dotted IPv4 text or a host name. A started connection returns false with
    // WSAEWOULDBLOCK and ends in OnConnect; a host that does not resolve fails at once with
    // WSAEINVAL and nothing follows.
    bool Connect(const CString& host, unsigned port);
    virtual void Close();
    // Gives the socket up without closing it: nothing of it is watched or closed here any more,
    // and whoever takes the descriptor closes it. INVALID_SOCKET when there is none.
    int Detach();

    // Receive and Send are safe to call from another thread while notifications still arrive on
    // the owner's thread; only the owner's calls re-arm the watches.
    virtual int Receive(void* buffer, int length, int flags = 0);
    virtual int Send(const void* buffer, int length, int flags = 0);
    // A null host is the limited broadcast address 255.255.255.255. With an interface watch it
    // goes out once on every interface the watch chooses, whatever the routing table says; the
    // result is then that of the last send that worked, or -1 when none did.
    int SendTo(const void* buffer, int length, unsigned port, const char* host = nullptr, int flags = 0);
    // Sends to 255.255.255.255 out of that one interface.
    int SendToInterface(const void* buffer, int length, unsigned port, int interfaceIndex, int flags = 0);
    // Writes the sender's dotted address and port only on success. With an interface watch, a
    // broadcast that arrived where it does not count (IsBroadcastToDrop: a second card of its
    // subnet, a card without an address) is read and dropped: the result is then -1 with
    // WSAEWOULDBLOCK, as if nothing had come.
    int ReceiveFrom(void* buffer, int length, CString& senderAddress, unsigned& senderPort, int flags = 0);
    // Broadcasts by and hears through the interfaces the watch keeps (null: the routing table
    // alone). The watch must outlive the socket's sends and reads; the socket must be open.
    bool SetInterfaceWatch(const CInterfaceWatch* watch);

    bool SetSockOpt(int option, const void* value, socklen_t length, int level = SOL_SOCKET);
    bool GetPeerName(CString& address, unsigned& port) const;

    int m_hSocket = INVALID_SOCKET;

protected:
    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);
    virtual void OnOutOfBandData(int errorCode);
    virtual void OnAccept(int errorCode);
    virtual void OnConnect(int errorCode);
    virtual void OnClose(int errorCode);

    virtual bool ConnectHelper(const sockaddr* address, socklen_t length);
    // arrival, when not null, receives where the datagram came in (needs IP_PKTINFO on the socket).
    virtual int ReceiveFromHelper(
        void* buffer, int length, sockaddr* from, socklen_t* fromLength, int flags, DatagramArrival* arrival);
    // A non-zero interfaceIndex sends out of that interface (IP_PKTINFO).
    virtual int SendToHelper(const void* buffer, int length, const sockaddr* to, socklen_t toLength,
        int flags, int interfaceIndex);

    // True when the calling thread is the one that notifications are delivered on.
    bool IsOwnerThread() const;
    // At a close: hands every read still waiting (at most readSize bytes each) to handle, in
    // order, so that data sent before the close counts. False once handle has closed or
    // destroyed this object; then nothing of it may be touched any more.
    bool ReceiveRemaining(int readSize, const std::function<void(const char*, size_t)>& handle);

private:
    class Watcher;
    friend class Watcher;
    friend class CSocket;

    // A blocking wait consumes the connect and write events itself; these settle the watch
    // without a notification. TakeConnectOutcome returns the connect's error code (0 connected).
    int TakeConnectOutcome();
    void StopWatchingWrites();
    // Blocking waits in progress on this thread: every notification is held until they end.
    static thread_local int s_nBlockingWaits;

    std::unique_ptr<Watcher> m_pWatcher;
    std::thread::id m_ownerThread;
    const CInterfaceWatch* m_pInterfaceWatch = nullptr;
};
