#include "net/NetInterface.h"

#include <gtest/gtest.h>

#include <net/if.h>

namespace {
constexpr unsigned Lan = IFF_UP | IFF_RUNNING | IFF_BROADCAST | IFF_MULTICAST;

std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return (a << 24) | (b << 16) | (c << 8) | d;
}

// A laptop: loopback, Ethernet and Wi-Fi on one office LAN, a docking-station card on a lab
// LAN, a VPN tunnel, and a card that is down.
const std::vector<NetInterface> Laptop = {
    {"lo", 1, IFF_UP | IFF_RUNNING | IFF_LOOPBACK, Ip(127, 0, 0, 1), 8},
    {"wlan0", 4, Lan, Ip(192, 168, 1, 30), 24},
    {"eth0", 2, Lan, Ip(192, 168, 1, 20), 24},
    {"eth1", 3, Lan, Ip(10, 77, 0, 5), 16},
    {"eth1", 3, Lan, Ip(10, 78, 0, 5), 24},
    {"tun0", 5, IFF_UP | IFF_RUNNING | IFF_POINTOPOINT | IFF_NOARP, Ip(10, 99, 0, 2), 32},
    {"eth2", 6, IFF_BROADCAST, Ip(172, 16, 0, 1), 24},
    {"eth3", 7, Lan, Ip(10, 77, 1, 5), 24},
};
} // namespace

TEST(NetInterfaceTest, OneInterfacePerSubnetTheLowestIndexSkippingLoopbackTunnelsAndDownCards)
{
    const std::vector<NetInterface> chosen = ChooseBroadcastInterfaces(Laptop);
    std::vector<std::pair<CString, std::uint32_t>> names;
    for (const NetInterface& entry : chosen) {
        names.emplace_back(entry.strName, entry.nAddress);
    }
    // 192.168.1.0/24 once, by eth0; eth1 twice (two subnets); 10.77.1.0/24 differs from 10.77.0.0/16 by
    // prefix.
    const std::vector<std::pair<CString, std::uint32_t>> expected = {{"eth0", Ip(192, 168, 1, 20)},
        {"eth1", Ip(10, 77, 0, 5)}, {"eth1", Ip(10, 78, 0, 5)}, {"eth3", Ip(10, 77, 1, 5)}};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(BroadcastIndexes(chosen), (std::vector<int> {2, 3, 7}));
    EXPECT_TRUE(ChooseBroadcastInterfaces({Laptop[0], Laptop[5], Laptop[6]}).empty());
}

TEST(NetInterfaceTest, BroadcastCountsOnlyOnTheCardChosenForItsSubnet)
{
    const std::uint32_t all = 0xFFFFFFFFu;
    const std::uint32_t office = Ip(192, 168, 1, 7);
    // Ethernet and Wi-Fi both hear the office's broadcasts; Wi-Fi's copy is the repeat.
    EXPECT_FALSE(IsBroadcastToDrop(Laptop, 2, office, all));
    EXPECT_TRUE(IsBroadcastToDrop(Laptop, 4, office, all));
    EXPECT_TRUE(IsBroadcastToDrop(Laptop, 4, office, Ip(192, 168, 1, 255)));
    // Unicast, and arrivals the system did not place, always count; a card without an address
    // cannot answer yet.
    EXPECT_FALSE(IsBroadcastToDrop(Laptop, 4, office, Ip(192, 168, 1, 30)));
    EXPECT_FALSE(IsBroadcastToDrop(Laptop, 0, office, all));
    EXPECT_TRUE(IsBroadcastToDrop(Laptop, 9, office, all));
    EXPECT_FALSE(IsBroadcastToDrop(Laptop, 9, office, Ip(192, 168, 1, 30)));
    // Each LAN of a card with two subnets counts; a stray sender counts on a serving card only.
    EXPECT_FALSE(IsBroadcastToDrop(Laptop, 3, Ip(10, 78, 0, 9), all));
    EXPECT_FALSE(IsBroadcastToDrop(Laptop, 3, Ip(8, 8, 8, 8), all));
    EXPECT_FALSE(IsBroadcastToDrop(Laptop, 2, Ip(8, 8, 8, 8), all));
    EXPECT_TRUE(IsBroadcastToDrop(Laptop, 4, Ip(8, 8, 8, 8), all));
}
