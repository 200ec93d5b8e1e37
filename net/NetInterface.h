#pragma once

#include "framework/CString.h"

#include <cstdint>
#include <vector>

// One IPv4 address of one network interface, as the kernel lists it. Addresses are in host byte
// order; flags are the interface's IFF_ flags.
struct NetInterface
{
    CString strName;
    int nIndex = 0;
    unsigned nFlags = 0;
    std::uint32_t nAddress = 0;
    int nPrefix = 0;
};

std::uint32_t SubnetMask(int prefix);
// Same network address and prefix length.
bool IsSameSubnet(const NetInterface& a, const NetInterface& b);
// Up, running, not loopback, able to broadcast: a LAN that a limited broadcast can go out on.
// Point-to-point links (tun, wg, ppp) do not qualify.
bool CanBroadcast(const NetInterface& entry);
// The addresses a broadcast goes out of: one per IPv4 subnet (network and prefix length), that
// of the interface with the lowest index, so that a LAN reached by two cards hears us once.
std::vector<NetInterface> ChooseBroadcastInterfaces(const std::vector<NetInterface>& interfaces);
// The interface indexes of the chosen addresses, each once, lowest first.
std::vector<int> BroadcastIndexes(const std::vector<NetInterface>& chosen);
// True for a broadcast (to 255.255.255.255 or to a subnet's broadcast address) that arrived on
// an interface other than the one chosen for its subnet, since the same datagram also arrives on
// the chosen one, or on an interface without an IPv4 address, where nobody can be answered (the
// hello that follows its address brings the replies). Anything else the list cannot place is kept.
bool IsBroadcastToDrop(const std::vector<NetInterface>& interfaces, int arrivalIndex, std::uint32_t source,
    std::uint32_t destination);
