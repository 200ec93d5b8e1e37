#include "tests/support/Lan.h"

#include <cstdlib>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lan {
namespace {
std::string Env(const std::string& name)
{
    const char* value = std::getenv(name.c_str());
    return value ? value : "";
}
} // namespace

int HostCount()
{
    return std::atoi(Env("QLAN_HOSTS").c_str());
}

std::string Address(int host)
{
    return Env("QLAN_ADDR_" + std::to_string(host));
}

std::string HostName(int host)
{
    return Env("QLAN_NAME_" + std::to_string(host));
}

std::string Topology()
{
    const std::string topology = Env("QLAN_TOPOLOGY");
    return topology.empty() ? "plain" : topology;
}

int OddHost()
{
    return std::atoi(Env("QLAN_ODD_HOST").c_str());
}

std::string Namespace(int host)
{
    return Env("QLAN_NS_" + std::to_string(host));
}

std::string BridgeNamespace()
{
    // Hosts are PREFIX-h<i>, the bridges PREFIX-br.
    const std::string host = Namespace(1);
    return host.substr(0, host.rfind("-h")) + "-br";
}

std::string BridgePort(int host)
{
    return std::string("p").append(std::to_string(host));
}

sockaddr_in SocketAddress(const std::string& dotted, unsigned port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, dotted.c_str(), &address.sin_addr);
    return address;
}

sockaddr_in SocketAddress(int host, unsigned port)
{
    return SocketAddress(Address(host), port);
}

int OpenSocketOn(int host, int type)
{
    const std::string path = "/run/netns/" + Namespace(host);
    int result = -1;
    // setns changes only the calling thread, so a short-lived thread enters the namespace.
    std::thread opener([&] {
        const int ns = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0) {
            return;
        }
        if (setns(ns, CLONE_NEWNET) == 0) {
            result = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        }
        close(ns);
    });
    opener.join();
    return result;
}

} // namespace lan
