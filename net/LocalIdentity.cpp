#include "net/LocalIdentity.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace {
// Names were fetched into 100-byte buffers: at most 99 bytes, never empty.
CString Bounded(CString name)
{
    constexpr std::size_t kMaxName = 99;
    if (name.size() > kMaxName) {
        name.resize(kMaxName);
    }
    return name.empty() ? CString("unknown") : name;
}
} // namespace

CString LocalUserName()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry {};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name) {
        return Bounded(found->pw_name);
    }
    return Bounded({});
}

CString LocalHostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return Bounded({});
    }
    return Bounded(name);
}

CString BuildIdentity(const CString& userName, const CString& hostName)
{
    return userName + " (" + hostName + ")";
}

CString ResolveHostAddress(const CString& hostName)
{
    addrinfo hints {};
    hints.ai_family = AF_INET;
    addrinfo* results = nullptr;
    if (getaddrinfo(hostName.c_str(), nullptr, &hints, &results) != 0 || !results) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* address = reinterpret_cast<const sockaddr_in*>(results->ai_addr);
    inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
    freeaddrinfo(results);
    return text;
}

bool IsLocalInterfaceAddress(const CString& address)
{
    in_addr wanted {};
    if (inet_pton(AF_INET, address.c_str(), &wanted) != 1) {
        return false;
    }
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return false;
    }
    bool found = false;
    for (const ifaddrs* entry = interfaces; entry && !found; entry = entry->ifa_next) {
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            const auto* own = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
            found = own->sin_addr.s_addr == wanted.s_addr;
        }
    }
    freeifaddrs(interfaces);
    return found;
}
