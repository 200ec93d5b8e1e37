#include "net/AsyncSocket.h"

#include "net/InterfaceWatch.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool IsWouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

// Readiness right now: a notifier may have been marked in the same round as another socket's
// notification that has since consumed what it saw. An error or hang-up counts as ready, except
// for urgent data, which only its own flag announces.
bool IsReady(int fd, short events)
{
    pollfd watched {fd, events, 0};
    const short accepted = events == POLLPRI ? short(POLLPRI) : short(events | POLLERR | POLLHUP);
    return ::poll(&watched, 1, 0) > 0 && (watched.revents & accepted) != 0;
}

// Dotted IPv4 text, or a host name whose first IPv4 address is taken.
bool ResolveHost(const char* host, in_addr& address)
{
    if (inet_pton(AF_INET, host, &address) == 1) {
        return true;
    }
    if (*host == '\0') {
        return false;
    }
    addrinfo hints {};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) {
        return false;
    }
    address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

sockaddr_in MakeAddress(in_addr host, unsigned port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr = host;
    return address;
}

CString DottedAddress(const sockaddr_in& address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

int FailWithErrno()
{
    WSASetLastError(WsaErrorFromErrno(errno));
    return SOCKET_ERROR;
}

} // namespace

// Turns the readiness of one socket into the owner's notifications. QSocketNotifier is
// level-triggered, so every watch is switched on only while its event can still be wanted:
// reads pause after each notification until the next Receive (or Accept), and writes are
// watched only while connecting or after a send that would block.
class CAsyncSocket::Watcher
{
public:
    enum class State { Idle, Listening, Connecting, Connected, Datagram, Finished };

    Watcher(CAsyncSocket& owner, long events, State state);
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    State GetState() const { return m_state; }
    // Expires with the watcher, that is on Close or destruction of the owner.
    std::weak_ptr<char> GetLiveness() const { return m_pAlive; }
    long GetEvents() const { return m_events; }
    void SetEvents(long events);
    void SetState(State state);
    void ResumeReads(bool outOfBand);
    // Reads stay off for a while, then resume by themselves.
    void PauseReads(int milliseconds);
    void WatchWrites(bool watch);
    // The error code of a finished connect, after which reads are watched (or nothing, on failure).
    int FinishConnect(bool notify);

private:
    enum Kind { ReadWatch, WriteWatch, OutOfBandWatch, WatchCount };

    void Update();
    void Enable(Kind kind, bool enabled);
    void OnActivated(Kind kind);
    void OnReadable();
    // Calls the owner; false when the owner closed or destroyed this socket meanwhile.
    bool Deliver(void (CAsyncSocket::*notification)(int), int errorCode);

    CAsyncSocket& m_owner;
    const int m_fd;
    long m_events;
    State m_state;
    bool m_bReadPaused = false;
    bool m_bOutOfBandPaused = false;
    bool m_bWriteWanted = false;
    int m_nDelivering = 0;
    // Expires with the watcher, that is on Close or destruction of the owner.
    std::shared_ptr<char> m_pAlive = std::make_shared<char>();
    QSocketNotifier* m_pNotifiers[WatchCount] = {};
};

CAsyncSocket::Watcher::Watcher(CAsyncSocket& owner, long events, State state)
    : m_owner(owner)
    , m_fd(owner.m_hSocket)
    , m_events(events)
    , m_state(state)
{
    Update();
}

CAsyncSocket::Watcher::~Watcher()
{
    for (QSocketNotifier* notifier : m_pNotifiers) {
        if (!notifier) {
            continue;
        }
        notifier->setEnabled(false);
        QObject::disconnect(notifier, nullptr, nullptr, nullptr);
        // A notifier whose activation is still on the stack must outlive it.
        if (m_nDelivering > 0) {
            notifier->deleteLater();
        } else {
            delete notifier;
        }
    }
}

void CAsyncSocket::Watcher::SetEvents(long events)
{
    // A new selection hears what is waiting already, also what an earlier one left unread.
    m_events = events;
    m_bReadPaused = false;
    m_bOutOfBandPaused = false;
    Update();
}

void CAsyncSocket::Watcher::SetState(State state)
{
    m_state = state;
    Update();
}

void CAsyncSocket::Watcher::ResumeReads(bool outOfBand)
{
    m_bReadPaused = false;
    if (outOfBand) {
        m_bOutOfBandPaused = false;
    }
    Update();
}

void CAsyncSocket::Watcher::PauseReads(int milliseconds)
{
    m_bReadPaused = true;
    Update();
    QTimer::singleShot(milliseconds, [alive = GetLiveness(), this] {
        if (!alive.expired()) {
            ResumeReads(false);
        }
    });
}

void CAsyncSocket::Watcher::WatchWrites(bool watch)
{
    m_bWriteWanted = watch;
    Update();
}

int CAsyncSocket::Watcher::FinishConnect(bool notify)
{
    int osError = 0;
    socklen_t length = sizeof osError;
    if (getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &osError, &length) < 0) {
        osError = errno;
    } else if (osError == 0) {
        sockaddr_in peer {};
        socklen_t peerLength = sizeof peer;
        if (getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) < 0) {
            osError = errno;
        }
    }
    const int errorCode = WsaErrorFromErrno(osError);
    SetState(errorCode == 0 ? State::Connected : State::Finished);
    if (notify && (m_events & FD_CONNECT)) {
        Deliver(&CAsyncSocket::OnConnect, errorCode);
    }
    return errorCode;
}

void CAsyncSocket::Watcher::Update()
{
    const bool read = !m_bReadPaused
        && ((m_state == State::Listening && (m_events & FD_ACCEPT))
            || (m_state == State::Connected && (m_events & (FD_READ | FD_CLOSE)))
            || (m_state == State::Datagram && (m_events & FD_READ)));
    const bool write = m_state == State::Connecting
        || (m_bWriteWanted && (m_events & FD_WRITE)
            && (m_state == State::Connected || m_state == State::Datagram));
    const bool outOfBand = !m_bOutOfBandPaused && m_state == State::Connected && (m_events & FD_OOB);
    Enable(ReadWatch, read);
    Enable(WriteWatch, write);
    Enable(OutOfBandWatch, outOfBand);
}

void CAsyncSocket::Watcher::Enable(Kind kind, bool enabled)
{
    QSocketNotifier*& notifier = m_pNotifiers[kind];
    if (!notifier) {
        if (!enabled) {
            return;
        }
        static constexpr QSocketNotifier::Type Types[WatchCount] = {
            QSocketNotifier::Read,
            QSocketNotifier::Write,
            QSocketNotifier::Exception,
        };
        notifier = new QSocketNotifier(m_fd, Types[kind]);
        QObject::connect(
            notifier, &QSocketNotifier::activated, notifier, [this, kind] { OnActivated(kind); });
    }
    if (notifier->isEnabled() != enabled) {
        notifier->setEnabled(enabled);
    }
}

void CAsyncSocket::Watcher::OnActivated(Kind kind)
{
    // A blocking wait delivers nothing, even should a repaint inside it run a loop. The watches
    // are level-triggered, so an event ignored now comes again once the wait is over.
    if (s_nBlockingWaits > 0) {
        return;
    }
    switch (kind) {
    case ReadWatch:
        OnReadable();
        return;
    case WriteWatch:
        if (m_state == State::Connecting) {
            if (IsReady(m_fd, POLLOUT)) {
                FinishConnect(true);
            }
        } else if (m_bWriteWanted && IsReady(m_fd, POLLOUT)) {
            WatchWrites(false);
            Deliver(&CAsyncSocket::OnSend, 0);
        }
        return;
    case OutOfBandWatch:
        if (m_state == State::Connected && IsReady(m_fd, POLLPRI)) {
            m_bOutOfBandPaused = true;
            Update();
            Deliver(&CAsyncSocket::OnOutOfBandData, 0);
        }
        return;
    case WatchCount:
        return;
    }
}

void CAsyncSocket::Watcher::OnReadable()
{
    switch (m_state) {
    case State::Listening:
        if (IsReady(m_fd, POLLIN)) {
            m_bReadPaused = true;
            Update();
            Deliver(&CAsyncSocket::OnAccept, 0);
        }
        return;
    case State::Datagram: {
        // An empty datagram is still one waiting; only "nothing there" is dropped.
        char probe = 0;
        const ssize_t length
            = recvfrom(m_fd, &probe, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT, nullptr, nullptr);
        if (length < 0 && IsWouldBlock(errno)) {
            return;
        }
        const int errorCode = length < 0 ? WsaErrorFromErrno(errno) : 0;
        m_bReadPaused = true;
        Update();
        Deliver(&CAsyncSocket::OnReceive, errorCode);
        return;
    }
    case State::Connected: {
        // Waiting data goes first; the end of the stream shows only once nothing is left.
        int waiting = 0;
        bool hasData = ioctl(m_fd, FIONREAD, &waiting) == 0 && waiting > 0;
        int closeError = 0;
        if (!hasData) {
            char probe = 0;
            const ssize_t peeked = recv(m_fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            if (peeked < 0 && IsWouldBlock(errno)) {
                return;
            }
            hasData = peeked > 0;
            closeError = peeked < 0 ? WsaErrorFromErrno(errno) : 0;
        }
        if (hasData) {
            m_bReadPaused = true;
            Update();
            if (m_events & FD_READ) {
                Deliver(&CAsyncSocket::OnReceive, 0);
            }
            return;
        }
        SetState(State::Finished);
        if (m_events & FD_CLOSE) {
            Deliver(&CAsyncSocket::OnClose, closeError);
        }
        return;
    }
    case State::Idle:
    case State::Connecting:
    case State::Finished:
        return;
    }
}

bool CAsyncSocket::Watcher::Deliver(void (CAsyncSocket::*notification)(int), int errorCode)
{
    const std::weak_ptr<char> alive = m_pAlive;
    ++m_nDelivering;
    (m_owner.*notification)(errorCode);
    if (alive.expired()) {
        return false;
    }
    --m_nDelivering;
    return true;
}

thread_local int CAsyncSocket::s_nBlockingWaits = 0;

CAsyncSocket::CAsyncSocket()
    : m_ownerThread(std::this_thread::get_id())
{
}

CAsyncSocket::~CAsyncSocket()
{
    Close();
}

bool CAsyncSocket::Create(unsigned port, int type, long events, const char* localAddress)
{
    if (m_hSocket != INVALID_SOCKET || (type != SOCK_STREAM && type != SOCK_DGRAM)) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    in_addr local {htonl(INADDR_ANY)};
    if (localAddress && inet_pton(AF_INET, localAddress, &local) != 1) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        FailWithErrno();
        return false;
    }
    // Lets a listener come back at once after a restart; Linux still refuses a second listener.
    // Datagram sockets keep the default so that a second copy cannot share the port.
    if (type == SOCK_STREAM) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in address = MakeAddress(local, port);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        const int error = errno;
        ::close(fd);
        WSASetLastError(WsaErrorFromErrno(error));
        return false;
    }
    m_hSocket = fd;
    m_ownerThread = std::this_thread::get_id();
    m_pWatcher = std::make_unique<Watcher>(
        *this, events, type == SOCK_STREAM ? Watcher::State::Idle : Watcher::State::Datagram);
    return true;
}

bool CAsyncSocket::Attach(int fd, long events)
{
    int type = 0;
    int listening = 0;
    socklen_t length = sizeof type;
    if (m_hSocket != INVALID_SOCKET || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) < 0
        || (type != SOCK_STREAM && type != SOCK_DGRAM)) {
        WSASetLastError(WSAENOTSOCK);
        return false;
    }
    length = sizeof listening;
    getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Watcher::State state = Watcher::State::Datagram;
    if (type == SOCK_STREAM) {
        sockaddr_storage peer {};
        socklen_t peerLength = sizeof peer;
        const bool connected = getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
        state = listening ? Watcher::State::Listening
            : connected   ? Watcher::State::Connected
                          : Watcher::State::Idle;
    }
    m_hSocket = fd;
    m_ownerThread = std::this_thread::get_id();
    m_pWatcher = std::make_unique<Watcher>(*this, events, state);
    return true;
}

bool CAsyncSocket::AsyncSelect(long events)
{
    if (!m_pWatcher) {
        WSASetLastError(WSAENOTSOCK);
        return false;
    }
    if (!IsOwnerThread()) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    m_pWatcher->SetEvents(events);
    return true;
}

namespace {

// One descriptor held back for the moment the process runs out of them. A connection that waits
// keeps its listener readable, so an accept that fails for want of a descriptor would come round
// again at once; closing the spare makes room to take that connection and close it.
class SpareDescriptor
{
public:
    ~SpareDescriptor()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    void Reserve()
    {
        if (m_fd < 0) {
            m_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
    }
    // False when there was no spare or the connection could not be taken even so.
    bool DropWaitingConnection(int listener)
    {
        if (m_fd < 0) {
            return false;
        }
        ::close(m_fd);
        m_fd = -1;
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        const bool dropped = fd >= 0 || IsWouldBlock(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        Reserve();
        return dropped;
    }

private:
    int m_fd = -1;
};

thread_local SpareDescriptor t_spareDescriptor;

// Without a spare, the listener rests this long before it tries again.
constexpr int ACCEPT_RETRY_MS = 100;

} // namespace

bool CAsyncSocket::Listen(int backlog)
{
    t_spareDescriptor.Reserve();
    if (::listen(m_hSocket, backlog) < 0) {
        FailWithErrno();
        return false;
    }
    if (m_pWatcher) {
        m_pWatcher->SetState(Watcher::State::Listening);
    }
    return true;
}

bool CAsyncSocket::Accept(CAsyncSocket& connection)
{
    if (connection.m_hSocket != INVALID_SOCKET) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    const int fd = accept4(m_hSocket, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    const int error = errno;
    if (m_pWatcher && IsOwnerThread()) {
        if (fd < 0 && (error == EMFILE || error == ENFILE)
            && !t_spareDescriptor.DropWaitingConnection(m_hSocket)) {
            m_pWatcher->PauseReads(ACCEPT_RETRY_MS);
        } else {
            m_pWatcher->ResumeReads(false);
        }
    }
    if (fd < 0) {
        WSASetLastError(WsaErrorFromErrno(error));
        return false;
    }
    connection.m_hSocket = fd;
    connection.m_ownerThread = std::this_thread::get_id();
    const long events = m_pWatcher ? m_pWatcher->GetEvents() : FD_ALL_EVENTS;
    connection.m_pWatcher = std::make_unique<Watcher>(connection, events, Watcher::State::Connected);
    return true;
}

bool CAsyncSocket::Connect(const CString& host, unsigned port)
{
    in_addr resolved {};
    if (!ResolveHost(host.c_str(), resolved)) {
        WSASetLastError(WSAEINVAL);
        return false;
    }
    const sockaddr_in address = MakeAddress(resolved, port);
    return ConnectHelper(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

void CAsyncSocket::Close()
{
    if (m_hSocket == INVALID_SOCKET) {
        return;
    }
    // The watch goes first, so that nothing already marked ready reaches this object.
    m_pWatcher.reset();
    ::close(m_hSocket);
    m_hSocket = INVALID_SOCKET;
}

int CAsyncSocket::Detach()
{
    // The watch goes first, so that nothing already marked ready reaches this object.
    m_pWatcher.reset();
    return std::exchange(m_hSocket, INVALID_SOCKET);
}

int CAsyncSocket::Receive(void* buffer, int length, int flags)
{
    if (length < 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    const ssize_t received = recv(m_hSocket, buffer, static_cast<size_t>(length), flags);
    const int error = errno;
    if (IsOwnerThread() && m_pWatcher) {
        m_pWatcher->ResumeReads(flags & MSG_OOB);
    }
    if (received < 0) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    return static_cast<int>(received);
}

int CAsyncSocket::Send(const void* buffer, int length, int flags)
{
    if (length < 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    const ssize_t sent = send(m_hSocket, buffer, static_cast<size_t>(length), flags | MSG_NOSIGNAL);
    if (sent >= 0) {
        return static_cast<int>(sent);
    }
    const int error = errno;
    // Another thread may send too, but only the owner's thread may touch the watch.
    if (IsWouldBlock(error) && IsOwnerThread() && m_pWatcher) {
        m_pWatcher->WatchWrites(true);
    }
    WSASetLastError(WsaErrorFromErrno(error));
    return SOCKET_ERROR;
}

int CAsyncSocket::SendTo(const void* buffer, int length, unsigned port, const char* host, int flags)
{
    in_addr resolved {htonl(INADDR_BROADCAST)};
    if (host && !ResolveHost(host, resolved)) {
        WSASetLastError(WSAEINVAL);
        return 0;
    }
    const sockaddr_in address = MakeAddress(resolved, port);
    const auto* to = reinterpret_cast<const sockaddr*>(&address);
    const std::vector<int> interfaces
        = host || !m_pInterfaceWatch ? std::vector<int> {} : m_pInterfaceWatch->GetBroadcastIndexes();
    // The routing table sends a limited broadcast to one interface at most, and to none without
    // a default route; the interface index in IP_PKTINFO sends it straight out of each LAN.
    if (interfaces.empty()) {
        return SendToHelper(buffer, length, to, sizeof address, flags, 0);
    }
    int result = SOCKET_ERROR;
    int error = 0;
    for (const int index : interfaces) {
        const int sent = SendToHelper(buffer, length, to, sizeof address, flags, index);
        if (sent >= 0) {
            result = sent;
        } else {
            error = WSAGetLastError();
        }
    }
    if (result == SOCKET_ERROR) {
        WSASetLastError(error);
    }
    return result;
}

int CAsyncSocket::SendToInterface(
    const void* buffer, int length, unsigned port, int interfaceIndex, int flags)
{
    const sockaddr_in address = MakeAddress(in_addr {htonl(INADDR_BROADCAST)}, port);
    return SendToHelper(
        buffer, length, reinterpret_cast<const sockaddr*>(&address), sizeof address, flags, interfaceIndex);
}

int CAsyncSocket::ReceiveFrom(
    void* buffer, int length, CString& senderAddress, unsigned& senderPort, int flags)
{
    sockaddr_in from {};
    socklen_t fromLength = sizeof from;
    DatagramArrival arrival;
    const int received
        = ReceiveFromHelper(buffer, length, reinterpret_cast<sockaddr*>(&from), &fromLength, flags, &arrival);
    // Two cards on one LAN both hear each broadcast: only the card chosen for the subnet counts.
    if (received >= 0 && m_pInterfaceWatch
        && IsBroadcastToDrop(m_pInterfaceWatch->GetInterfaces(), arrival.nInterfaceIndex,
            ntohl(from.sin_addr.s_addr), arrival.nDestination)) {
        WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    if (received >= 0) {
        senderAddress = DottedAddress(from);
        senderPort = ntohs(from.sin_port);
    }
    return received;
}

bool CAsyncSocket::SetInterfaceWatch(const CInterfaceWatch* watch)
{
    const int on = watch ? 1 : 0;
    if (setsockopt(m_hSocket, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) < 0) {
        FailWithErrno();
        return false;
    }
    m_pInterfaceWatch = watch;
    return true;
}

bool CAsyncSocket::SetSockOpt(int option, const void* value, socklen_t length, int level)
{
    if (setsockopt(m_hSocket, level, option, value, length) < 0) {
        FailWithErrno();
        return false;
    }
    return true;
}

bool CAsyncSocket::GetPeerName(CString& address, unsigned& port) const
{
    sockaddr_in peer {};
    socklen_t length = sizeof peer;
    if (getpeername(m_hSocket, reinterpret_cast<sockaddr*>(&peer), &length) < 0) {
        FailWithErrno();
        return false;
    }
    address = DottedAddress(peer);
    port = ntohs(peer.sin_port);
    return true;
}

bool CAsyncSocket::ReceiveRemaining(int readSize, const std::function<void(const char*, size_t)>& handle)
{
    if (!m_pWatcher) {
        return false;
    }
    const std::weak_ptr<char> alive = m_pWatcher->GetLiveness();
    std::vector<char> buffer(static_cast<size_t>(readSize));
    for (;;) {
        const int received = Receive(buffer.data(), readSize);
        if (received <= 0) {
            return true;
        }
        handle(buffer.data(), static_cast<size_t>(received));
        if (alive.expired()) {
            return false;
        }
    }
}

void CAsyncSocket::OnReceive(int) { }
void CAsyncSocket::OnSend(int) { }
void CAsyncSocket::OnOutOfBandData(int) { }
void CAsyncSocket::OnAccept(int) { }
void CAsyncSocket::OnConnect(int) { }
void CAsyncSocket::OnClose(int) { }

bool CAsyncSocket::ConnectHelper(const sockaddr* address, socklen_t length)
{
    const bool connected = ::connect(m_hSocket, address, length) == 0;
    const int error = connected ? 0 : errno;
    if (!connected && error != EINPROGRESS) {
        WSASetLastError(WsaErrorFromErrno(error));
        return false;
    }
    // Even a connection made at once reports through OnConnect, as a started one does.
    if (m_pWatcher && m_pWatcher->GetState() == Watcher::State::Idle) {
        m_pWatcher->SetState(Watcher::State::Connecting);
    }
    if (connected) {
        return true;
    }
    WSASetLastError(WSAEWOULDBLOCK);
    return false;
}

int CAsyncSocket::ReceiveFromHelper(
    void* buffer, int length, sockaddr* from, socklen_t* fromLength, int flags, DatagramArrival* arrival)
{
    if (length < 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    iovec data {buffer, static_cast<size_t>(length)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message {};
    message.msg_name = from;
    message.msg_namelen = fromLength ? *fromLength : 0;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = arrival ? control : nullptr;
    message.msg_controllen = arrival ? sizeof control : 0;
    const ssize_t received = recvmsg(m_hSocket, &message, flags);
    const int error = errno;
    if (IsOwnerThread() && m_pWatcher) {
        m_pWatcher->ResumeReads(flags & MSG_OOB);
    }
    if (received < 0) {
        WSASetLastError(WsaErrorFromErrno(error));
        return SOCKET_ERROR;
    }
    if (fromLength) {
        *fromLength = message.msg_namelen;
    }
    if (arrival) {
        *arrival = {};
        for (cmsghdr* item = CMSG_FIRSTHDR(&message); item; item = CMSG_NXTHDR(&message, item)) {
            if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO
                && item->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
                in_pktinfo info {};
                std::memcpy(&info, CMSG_DATA(item), sizeof info);
                arrival->nInterfaceIndex = info.ipi_ifindex;
                arrival->nDestination = ntohl(info.ipi_addr.s_addr);
            }
        }
    }
    return static_cast<int>(received);
}

int CAsyncSocket::SendToHelper(
    const void* buffer, int length, const sockaddr* to, socklen_t toLength, int flags, int interfaceIndex)
{
    if (length < 0) {
        WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    iovec data {const_cast<void*>(buffer), static_cast<size_t>(length)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message {};
    message.msg_name = const_cast<sockaddr*>(to);
    message.msg_namelen = toLength;
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    if (interfaceIndex > 0) {
        // The kernel then sends a limited broadcast straight out of that device, from its
        // primary address.
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* item = CMSG_FIRSTHDR(&message);
        item->cmsg_level = IPPROTO_IP;
        item->cmsg_type = IP_PKTINFO;
        item->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info {};
        info.ipi_ifindex = interfaceIndex;
        std::memcpy(CMSG_DATA(item), &info, sizeof info);
    }
    const ssize_t sent = sendmsg(m_hSocket, &message, flags | MSG_NOSIGNAL);
    if (sent >= 0) {
        return static_cast<int>(sent);
    }
    const int error = errno;
    if (IsWouldBlock(error) && IsOwnerThread() && m_pWatcher) {
        m_pWatcher->WatchWrites(true);
    }
    WSASetLastError(WsaErrorFromErrno(error));
    return SOCKET_ERROR;
}

bool CAsyncSocket::IsOwnerThread() const
{
    return std::this_thread::get_id() == m_ownerThread;
}

int CAsyncSocket::TakeConnectOutcome()
{
    if (!m_pWatcher) {
        return WSAENOTSOCK;
    }
    return m_pWatcher->FinishConnect(false);
}

void CAsyncSocket::StopWatchingWrites()
{
    if (m_pWatcher && IsOwnerThread()) {
        m_pWatcher->WatchWrites(false);
    }
}
