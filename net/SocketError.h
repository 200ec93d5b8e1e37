#pragma once

// The socket layer's own error codes. They keep the numbers of the original socket interface so
// that every layer above speaks of the same failures; errno values are mapped onto them.
enum SocketError : int {
    WSAEINTR = 10004,
    WSAEACCES = 10013,
    WSAEFAULT = 10014,
    WSAEINVAL = 10022,
    WSAEMFILE = 10024,
    WSAEWOULDBLOCK = 10035,
    WSAEINPROGRESS = 10036,
    WSAEALREADY = 10037,
    WSAENOTSOCK = 10038,
    WSAEMSGSIZE = 10040,
    WSAEADDRINUSE = 10048,
    WSAEADDRNOTAVAIL = 10049,
    WSAENETDOWN = 10050,
    WSAENETUNREACH = 10051,
    WSAECONNABORTED = 10053,
    WSAECONNRESET = 10054,
    WSAENOBUFS = 10055,
    WSAEISCONN = 10056,
    WSAENOTCONN = 10057,
    WSAESHUTDOWN = 10058,
    WSAETIMEDOUT = 10060,
    WSAECONNREFUSED = 10061,
    WSAEHOSTUNREACH = 10065,
};

// Notification events; a socket selects any combination of them.
enum SocketEvent : long {
    FD_READ = 1,
    FD_WRITE = 2,
    FD_OOB = 4,
    FD_ACCEPT = 8,
    FD_CONNECT = 16,
    FD_CLOSE = 32,
    FD_ALL_EVENTS = 63,
};

constexpr int INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// The calling thread's last socket error.
int WSAGetLastError();
void WSASetLastError(int error);

// Maps an errno value onto the layer's codes (unknown values keep a distinct code of their own).
int WsaErrorFromErrno(int errnoValue);
