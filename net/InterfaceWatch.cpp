#include "net/InterfaceWatch.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
// The kernel sends dumps in pieces of up to 32 KiB; one read never holds more.
constexpr std::size_t ReadSize = 64 * 1024;
// Reads per notification; whatever is left announces itself again.
constexpr int ReadsPerNotification = 64;
// A dump ends with NLMSG_DONE; these bound it should the kernel never say so.
constexpr int MaxDumpReads = 4096;
constexpr int DumpTimeoutSeconds = 2;

using Links = std::map<int, CInterfaceWatch::Link>;
using Addresses = std::vector<CInterfaceWatch::Address>;

void ApplyLink(const nlmsghdr* header, Links& links, Addresses& addresses)
{
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
        return;
    }
    const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(header));
    // Bridge-family messages speak of ports joining and leaving a bridge, not of devices.
    if (info->ifi_family != AF_UNSPEC || info->ifi_index <= 0) {
        return;
    }
    if (header->nlmsg_type == RTM_DELLINK) {
        links.erase(info->ifi_index);
        std::erase_if(addresses, [info](const auto& address) { return address.nIndex == info->ifi_index; });
        return;
    }
    CInterfaceWatch::Link& link = links[info->ifi_index];
    link.nFlags = info->ifi_flags;
    int length = static_cast<int>(IFLA_PAYLOAD(header));
    for (const rtattr* attribute = IFLA_RTA(info); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if (attribute->rta_type == IFLA_IFNAME) {
            const char* name = static_cast<const char*>(RTA_DATA(attribute));
            link.strName.assign(name, strnlen(name, RTA_PAYLOAD(attribute)));
        }
    }
}

void ApplyAddress(const nlmsghdr* header, Addresses& addresses)
{
    if (header->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg))) {
        return;
    }
    const auto* info = static_cast<const ifaddrmsg*>(NLMSG_DATA(header));
    if (info->ifa_family != AF_INET || info->ifa_prefixlen > 32) {
        return;
    }
    // IFA_LOCAL is this end's own address; IFA_ADDRESS is the far end on a point-to-point link.
    bool found = false;
    std::uint32_t local = 0;
    int length = static_cast<int>(IFA_PAYLOAD(header));
    for (const rtattr* attribute = IFA_RTA(info); RTA_OK(attribute, length);
         attribute = RTA_NEXT(attribute, length)) {
        if ((attribute->rta_type == IFA_LOCAL || (attribute->rta_type == IFA_ADDRESS && !found))
            && RTA_PAYLOAD(attribute) == sizeof local) {
            std::memcpy(&local, RTA_DATA(attribute), sizeof local);
            found = true;
        }
    }
    if (!found) {
        return;
    }
    const CInterfaceWatch::Address address {
        static_cast<int>(info->ifa_index), ntohl(local), info->ifa_prefixlen};
    const auto existing = std::find_if(addresses.begin(), addresses.end(), [&address](const auto& other) {
        return other.nIndex == address.nIndex && other.nAddress == address.nAddress;
    });
    if (header->nlmsg_type == RTM_DELADDR) {
        if (existing != addresses.end()) {
            addresses.erase(existing);
        }
    } else if (existing != addresses.end()) {
        existing->nPrefix = address.nPrefix;
    } else {
        addresses.push_back(address);
    }
}

enum class Batch { More, Done, Failed };

// Applies the messages of one read. A dump (sequence number other than 0) ends at NLMSG_DONE;
// messages of other sequences are left to the watch that sees them as changes.
Batch ApplyMessages(
    const char* data, std::size_t size, std::uint32_t sequence, Links& links, Addresses& addresses)
{
    auto remaining = static_cast<unsigned>(size);
    for (auto* header = reinterpret_cast<const nlmsghdr*>(data); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
        if (sequence != 0 && header->nlmsg_seq != sequence) {
            continue;
        }
        switch (header->nlmsg_type) {
        case NLMSG_DONE:
            if (sequence != 0) {
                return Batch::Done;
            }
            break;
        case NLMSG_ERROR:
            if (sequence != 0) {
                return Batch::Failed;
            }
            break;
        case RTM_NEWLINK:
        case RTM_DELLINK:
            ApplyLink(header, links, addresses);
            break;
        case RTM_NEWADDR:
        case RTM_DELADDR:
            ApplyAddress(header, addresses);
            break;
        default:
            break;
        }
    }
    return Batch::More;
}

// One dump of the kind (RTM_GETLINK or RTM_GETADDR) over a socket of its own, waited for.
bool Dump(std::uint16_t type, std::uint32_t sequence, Links& links, Addresses& addresses)
{
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return false;
    }
    const timeval patience {DumpTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    struct
    {
        nlmsghdr header;
        union {
            ifinfomsg link;
            ifaddrmsg address;
        } body;
    } request {};
    const bool linkDump = type == RTM_GETLINK;
    request.header.nlmsg_len = linkDump ? NLMSG_LENGTH(sizeof(ifinfomsg)) : NLMSG_LENGTH(sizeof(ifaddrmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = sequence;
    if (linkDump) {
        request.body.link.ifi_family = AF_UNSPEC;
    } else {
        request.body.address.ifa_family = AF_INET;
    }
    sockaddr_nl kernel {};
    kernel.nl_family = AF_NETLINK;
    bool done = sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel)
        == static_cast<ssize_t>(request.header.nlmsg_len);
    std::vector<char> buffer(ReadSize);
    Batch batch = Batch::More;
    for (int reads = 0; done && batch == Batch::More && reads < MaxDumpReads; ++reads) {
        const ssize_t length = recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
        if (length < 0 && errno == EINTR) {
            continue;
        }
        if (length < 0 || static_cast<std::size_t>(length) > buffer.size()) {
            break;
        }
        batch = ApplyMessages(buffer.data(), static_cast<std::size_t>(length), sequence, links, addresses);
    }
    ::close(fd);
    return batch == Batch::Done;
}

bool ReadFullList(Links& links, Addresses& addresses)
{
    Links freshLinks;
    Addresses freshAddresses;
    if (!Dump(RTM_GETLINK, 1, freshLinks, freshAddresses)
        || !Dump(RTM_GETADDR, 2, freshLinks, freshAddresses)) {
        return false;
    }
    links = std::move(freshLinks);
    addresses = std::move(freshAddresses);
    return true;
}
} // namespace

bool CInterfaceWatch::Start(NewInterfaceHandler onNewInterface)
{
    if (IsRunning()) {
        return true;
    }
    // Listening starts before the dump, so that no change falls between the two.
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        return false;
    }
    sockaddr_nl groups {};
    groups.nl_family = AF_NETLINK;
    groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
    if (bind(fd, reinterpret_cast<sockaddr*>(&groups), sizeof groups) < 0
        || !ReadFullList(m_links, m_addresses)) {
        ::close(fd);
        return false;
    }
    // The watch owns the descriptor from here on.
    if (!Attach(fd, FD_READ)) {
        ::close(fd);
        return false;
    }
    m_onNewInterface = std::move(onNewInterface);
    Update(false);
    return true;
}

std::vector<int> CInterfaceWatch::GetBroadcastIndexes() const
{
    const std::lock_guard lock(m_broadcastIndexesLock);
    return m_broadcastIndexes;
}

bool CInterfaceWatch::IsOwnAddress(std::uint32_t address) const
{
    return std::any_of(m_addresses.begin(), m_addresses.end(),
        [address](const Address& own) { return own.nAddress == address; });
}

void CInterfaceWatch::OnReceive(int errorCode)
{
    // Only the kernel and processes with CAP_NET_ADMIN can write to this socket; what it says
    // is bounds-checked all the same.
    bool overrun = errorCode == WSAENOBUFS;
    std::vector<char> buffer(ReadSize);
    for (int reads = 0; reads < ReadsPerNotification; ++reads) {
        const int length = Receive(buffer.data(), static_cast<int>(buffer.size()), MSG_DONTWAIT | MSG_TRUNC);
        if (length < 0) {
            overrun = overrun || WSAGetLastError() == WSAENOBUFS;
            break;
        }
        if (static_cast<std::size_t>(length) > buffer.size()) {
            overrun = true;
            continue;
        }
        ApplyMessages(buffer.data(), static_cast<std::size_t>(length), 0, m_links, m_addresses);
    }
    // Messages were lost: what they said is in the full list.
    if (overrun) {
        Reload();
    }
    Update(true);
}

bool CInterfaceWatch::Reload()
{
    return ReadFullList(m_links, m_addresses);
}

void CInterfaceWatch::Update(bool announce)
{
    const std::vector<NetInterface> before = std::move(m_chosen);
    m_interfaces.clear();
    for (const Address& address : m_addresses) {
        const auto link = m_links.find(address.nIndex);
        NetInterface entry;
        entry.nIndex = address.nIndex;
        entry.nAddress = address.nAddress;
        entry.nPrefix = address.nPrefix;
        if (link != m_links.end()) {
            entry.strName = link->second.strName;
            entry.nFlags = link->second.nFlags;
        }
        m_interfaces.push_back(entry);
    }
    m_chosen = ChooseBroadcastInterfaces(m_interfaces);
    {
        const std::lock_guard lock(m_broadcastIndexesLock);
        m_broadcastIndexes = BroadcastIndexes(m_chosen);
    }

    // A hello goes out on an interface that serves a subnet nobody served before, unless it
    // already sent for a subnet it keeps: everybody on its link has heard us then.
    std::vector<std::pair<int, bool>> fresh;
    for (const int index : m_broadcastIndexes) {
        bool serves = false;
        bool continues = false;
        bool returned = false;
        for (const NetInterface& entry : m_chosen) {
            if (entry.nIndex != index) {
                continue;
            }
            const auto earlier = std::find_if(before.begin(), before.end(),
                [&entry](const NetInterface& other) { return IsSameSubnet(entry, other); });
            if (earlier == before.end()) {
                serves = true;
                returned = returned || m_served.count({index, entry.nAddress}) > 0;
            } else if (earlier->nIndex == index) {
                continues = true;
            }
        }
        if (serves && !continues) {
            fresh.emplace_back(index, returned);
        }
    }
    for (const NetInterface& entry : m_chosen) {
        m_served.insert({entry.nIndex, entry.nAddress});
    }
    if (!announce || !m_onNewInterface) {
        return;
    }
    for (const auto& [index, returned] : fresh) {
        m_onNewInterface(index, returned);
    }
}
