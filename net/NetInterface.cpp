#include "net/NetInterface.h"

#include <algorithm>

#include <net/if.h>

namespace {
bool Contains(const NetInterface& entry, std::uint32_t address)
{
    return ((entry.nAddress ^ address) & SubnetMask(entry.nPrefix)) == 0;
}

bool IsBroadcastTo(const std::vector<NetInterface>& interfaces, std::uint32_t destination)
{
    if (destination == 0xFFFFFFFFu) {
        return true;
    }
    // Below /31 a subnet has a broadcast address of its own.
    return std::any_of(interfaces.begin(), interfaces.end(), [destination](const NetInterface& entry) {
        return entry.nPrefix <= 30 && destination == (entry.nAddress | ~SubnetMask(entry.nPrefix));
    });
}
} // namespace

std::uint32_t SubnetMask(int prefix)
{
    if (prefix <= 0) {
        return 0;
    }
    if (prefix >= 32) {
        return 0xFFFFFFFFu;
    }
    return ~((1u << (32 - prefix)) - 1);
}

bool IsSameSubnet(const NetInterface& a, const NetInterface& b)
{
    return a.nPrefix == b.nPrefix && ((a.nAddress ^ b.nAddress) & SubnetMask(a.nPrefix)) == 0;
}

bool CanBroadcast(const NetInterface& entry)
{
    const unsigned required = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
    return (entry.nFlags & required) == required && !(entry.nFlags & (IFF_LOOPBACK | IFF_POINTOPOINT));
}

std::vector<NetInterface> ChooseBroadcastInterfaces(const std::vector<NetInterface>& interfaces)
{
    std::vector<NetInterface> chosen;
    for (const NetInterface& entry : interfaces) {
        if (!CanBroadcast(entry)) {
            continue;
        }
        const auto served = std::find_if(chosen.begin(), chosen.end(),
            [&entry](const NetInterface& other) { return IsSameSubnet(entry, other); });
        if (served == chosen.end()) {
            chosen.push_back(entry);
        } else if (entry.nIndex < served->nIndex) {
            *served = entry;
        }
    }
    return chosen;
}

std::vector<int> BroadcastIndexes(const std::vector<NetInterface>& chosen)
{
    std::vector<int> indexes;
    for (const NetInterface& entry : chosen) {
        indexes.push_back(entry.nIndex);
    }
    std::sort(indexes.begin(), indexes.end());
    indexes.erase(std::unique(indexes.begin(), indexes.end()), indexes.end());
    return indexes;
}

bool IsBroadcastToDrop(const std::vector<NetInterface>& interfaces, int arrivalIndex, std::uint32_t source,
    std::uint32_t destination)
{
    if (arrivalIndex <= 0 || !IsBroadcastTo(interfaces, destination)) {
        return false;
    }
    const std::vector<NetInterface> chosen = ChooseBroadcastInterfaces(interfaces);
    bool arrivalServes = false;
    bool arrivalQualifies = false;
    bool arrivalHasAddress = false;
    for (const NetInterface& entry : interfaces) {
        if (entry.nIndex != arrivalIndex) {
            continue;
        }
        arrivalHasAddress = true;
        if (!CanBroadcast(entry)) {
            continue;
        }
        arrivalQualifies = true;
        const auto served = std::find_if(chosen.begin(), chosen.end(),
            [&entry](const NetInterface& other) { return IsSameSubnet(entry, other); });
        const bool servedHere = served != chosen.end() && served->nIndex == arrivalIndex;
        // The sender's subnet decides where the datagram counts.
        if (Contains(entry, source)) {
            return !servedHere;
        }
        arrivalServes = arrivalServes || servedHere;
    }
    // A sender outside every subnet of the card (a peer with a stray address): the card counts
    // only if it serves one of its subnets itself.
    return !arrivalHasAddress || (arrivalQualifies && !arrivalServes);
}
