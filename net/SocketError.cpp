#include "net/SocketError.h"

#include <cerrno>

namespace {
thread_local int t_nLastError = 0;
// Codes for errno values without a counterpart stay clear of the range the layer's own codes use.
constexpr int UnmappedBase = 20000;
} // namespace

int WSAGetLastError()
{
    return t_nLastError;
}

void WSASetLastError(int error)
{
    t_nLastError = error;
}

int WsaErrorFromErrno(int errnoValue)
{
    switch (errnoValue) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN:
    // A non-blocking connect that has started is reported as would-block.
    case EINPROGRESS:
        return WSAEWOULDBLOCK;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
    case EBADF:
        return WSAENOTSOCK;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ECONNABORTED:
        return WSAECONNABORTED;
    // Sending on a stream the peer has torn down fails with EPIPE here, with a reset there.
    case EPIPE:
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return WSAEHOSTUNREACH;
    default:
        return UnmappedBase + errnoValue;
    }
}
