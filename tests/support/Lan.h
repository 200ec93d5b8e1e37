#pragma once

// Access to the virtual LAN that tests/lan-run builds around a test: the test runs on host 1,
// and plain sockets opened on other hosts play the remote peers.
#include <string>

#include <netinet/in.h>

namespace lan {

// Number of hosts, 0 when the test does not run on a virtual LAN.
int HostCount();
std::string Address(int host);
std::string HostName(int host);
// The topology of tools/lan.sh that the LAN was built with ("plain" unless lan-run was told),
// and the host whose network is the unusual one.
std::string Topology();
int OddHost();
// Host's network namespace, the one holding the bridges, and the bridge port that host's eth0 is
// cabled to (named as tools/lan.sh names them).
std::string Namespace(int host);
std::string BridgeNamespace();
std::string BridgePort(int host);

// A socket opened inside host's network namespace; it keeps belonging to that host whichever
// thread uses it. Returns -1 on failure.
int OpenSocketOn(int host, int type);

// The socket address of a dotted IPv4 address, or of a host of the LAN, and a port.
sockaddr_in SocketAddress(const std::string& dotted, unsigned port);
sockaddr_in SocketAddress(int host, unsigned port);

} // namespace lan

// Skips a test that needs the virtual LAN when it is started without it.
#define REQUIRE_LAN(hosts)                                                                                   \
    if (lan::HostCount() < (hosts))                                                                          \
    GTEST_SKIP() << "needs a virtual LAN of " << (hosts) << " hosts (run through tests/lan-run)"

// Skips a test written for another topology of the virtual LAN.
#define REQUIRE_TOPOLOGY(name)                                                                               \
    if (lan::Topology() != (name))                                                                           \
    GTEST_SKIP() << "runs on the " << (name) << " topology (tests/lan-run --topology)"
