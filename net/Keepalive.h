#pragma once

class CAsyncSocket;

// A peer that vanishes without a close (a cable pulled, a lid shut) is found out within a minute:
// an idle connection is probed after 20 s, then every 5 s, and a connection whose data or probes
// go unanswered for 40 s is cut, which the connection reports as a close. The same limit caps a
// connect to a host that is gone. A healthy peer's kernel answers the probes, however long its
// user waits.
constexpr int KEEPALIVE_IDLE_S = 20;
constexpr int KEEPALIVE_INTERVAL_S = 5;
constexpr int KEEPALIVE_PROBES = 4;
constexpr int PEER_TIMEOUT_MS = (KEEPALIVE_IDLE_S + KEEPALIVE_PROBES * KEEPALIVE_INTERVAL_S) * 1000;

// On a created stream socket, before it connects, or on an accepted one.
bool WatchForVanishedPeer(CAsyncSocket& socket);
