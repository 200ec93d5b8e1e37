#include "net/Socket.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cerrno>

#include <poll.h>

namespace {
bool FailInProgress()
{
    WSASetLastError(WSAEINPROGRESS);
    return false;
}
} // namespace

CSocket::~CSocket()
{
    Close();
}

void CSocket::Close()
{
    if (m_pbBlocking) {
        *m_pbBlocking = false;
        m_pbBlocking = nullptr;
    }
    CAsyncSocket::Close();
}

bool CSocket::Accept(CAsyncSocket& connection)
{
    if (m_pbBlocking) {
        return FailInProgress();
    }
    while (!CAsyncSocket::Accept(connection)) {
        if (WSAGetLastError() != WSAEWOULDBLOCK || !PumpMessages(FD_ACCEPT)) {
            return false;
        }
    }
    return true;
}

int CSocket::Receive(void* buffer, int length, int flags)
{
    if (m_pbBlocking) {
        FailInProgress();
        return SOCKET_ERROR;
    }
    int received;
    while ((received = CAsyncSocket::Receive(buffer, length, flags)) == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK || !PumpMessages(FD_READ)) {
            return SOCKET_ERROR;
        }
    }
    return received;
}

int CSocket::Send(const void* buffer, int length, int flags)
{
    if (m_pbBlocking) {
        FailInProgress();
        return SOCKET_ERROR;
    }
    const char* next = static_cast<const char*>(buffer);
    int left = length;
    bool waited = false;
    while (left > 0) {
        const int sent = CAsyncSocket::Send(next, left, flags);
        if (sent == SOCKET_ERROR) {
            if (WSAGetLastError() != WSAEWOULDBLOCK || !PumpMessages(FD_WRITE)) {
                return SOCKET_ERROR;
            }
            waited = true;
            continue;
        }
        next += sent;
        left -= sent;
    }
    // The wait has taken the place of OnSend.
    if (waited) {
        StopWatchingWrites();
    }
    return length;
}

bool CSocket::ConnectHelper(const sockaddr* address, socklen_t length)
{
    if (m_pbBlocking) {
        return FailInProgress();
    }
    m_nConnectError = -1;
    if (CAsyncSocket::ConnectHelper(address, length)) {
        m_nConnectError = TakeConnectOutcome();
        return m_nConnectError == 0;
    }
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
        return false;
    }
    while (PumpMessages(FD_CONNECT)) {
        if (m_nConnectError != -1) {
            WSASetLastError(m_nConnectError);
            return m_nConnectError == 0;
        }
    }
    return false;
}

int CSocket::ReceiveFromHelper(
    void* buffer, int length, sockaddr* from, socklen_t* fromLength, int flags, DatagramArrival* arrival)
{
    if (m_pbBlocking) {
        FailInProgress();
        return SOCKET_ERROR;
    }
    int received;
    while ((received = CAsyncSocket::ReceiveFromHelper(buffer, length, from, fromLength, flags, arrival))
        == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK || !PumpMessages(FD_READ)) {
            return SOCKET_ERROR;
        }
    }
    return received;
}

int CSocket::SendToHelper(
    const void* buffer, int length, const sockaddr* to, socklen_t toLength, int flags, int interfaceIndex)
{
    if (m_pbBlocking) {
        FailInProgress();
        return SOCKET_ERROR;
    }
    int sent;
    bool waited = false;
    while ((sent = CAsyncSocket::SendToHelper(buffer, length, to, toLength, flags, interfaceIndex))
        == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK || !PumpMessages(FD_WRITE)) {
            return SOCKET_ERROR;
        }
        waited = true;
    }
    if (waited) {
        StopWatchingWrites();
    }
    return sent;
}

bool CSocket::OnMessagePending()
{
    // Repaints only: user input, timers, queued calls and every other socket's notifications wait
    // until the blocking call returns, so nothing can open a window or a nested loop inside it.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
    return false;
}

bool CSocket::PumpMessages(long awaitedEvent)
{
    // The flag lives on this stack frame: Close, even from the destructor, clears it, and after
    // that the wait must not touch the object again.
    bool waiting = true;
    m_pbBlocking = &waiting;
    const int fd = m_hSocket;
    const short awaited = (awaitedEvent == FD_WRITE || awaitedEvent == FD_CONNECT) ? POLLOUT : POLLIN;
    const QDeadlineTimer retry(m_nTimeOut);
    bool ready = false;
    ++s_nBlockingWaits;
    // Between checks the thread sleeps on this socket alone until it is ready or the retry
    // interval is over; a signal only brings the next check forward.
    while (!OnMessagePending() && waiting) {
        pollfd watched {fd, awaited, 0};
        const int result = ::poll(&watched, 1, static_cast<int>(retry.remainingTime()));
        if (result > 0) {
            ready = true;
            break;
        }
        if (result == 0 || retry.hasExpired() || errno != EINTR) {
            break;
        }
    }
    --s_nBlockingWaits;
    if (!waiting) {
        WSASetLastError(WSAEINTR);
        return false;
    }
    m_pbBlocking = nullptr;
    if (ready && awaitedEvent == FD_CONNECT) {
        m_nConnectError = TakeConnectOutcome();
    }
    return true;
}
