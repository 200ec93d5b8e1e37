#include "net/Keepalive.h"

#include "net/AsyncSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

bool WatchForVanishedPeer(CAsyncSocket& socket)
{
    const int on = 1;
    const int idle = KEEPALIVE_IDLE_S;
    const int interval = KEEPALIVE_INTERVAL_S;
    const int probes = KEEPALIVE_PROBES;
    // With a user timeout the kernel ignores the probe count; it is set for kernels without one.
    const unsigned timeout = PEER_TIMEOUT_MS;
    bool set = socket.SetSockOpt(SO_KEEPALIVE, &on, sizeof on);
    set = socket.SetSockOpt(TCP_KEEPIDLE, &idle, sizeof idle, IPPROTO_TCP) && set;
    set = socket.SetSockOpt(TCP_KEEPINTVL, &interval, sizeof interval, IPPROTO_TCP) && set;
    set = socket.SetSockOpt(TCP_KEEPCNT, &probes, sizeof probes, IPPROTO_TCP) && set;
    return socket.SetSockOpt(TCP_USER_TIMEOUT, &timeout, sizeof timeout, IPPROTO_TCP) && set;
}
