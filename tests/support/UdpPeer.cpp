#include "tests/support/UdpPeer.h"

#include "tests/support/Lan.h"
#include "tests/support/Wait.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

UdpPeer::UdpPeer(int host, unsigned port)
    : m_fd(lan::OpenSocketOn(host, SOCK_DGRAM))
{
    if (m_fd < 0) {
        return;
    }
    const int enable = 1;
    setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable);
    fcntl(m_fd, F_SETFL, O_NONBLOCK);
    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(m_fd);
        m_fd = -1;
    }
}

UdpPeer::~UdpPeer()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

bool UdpPeer::SendTo(const std::string& bytes, const std::string& address, unsigned port)
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    return sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to)
        == static_cast<ssize_t>(bytes.size());
}

std::optional<UdpPeer::Received> UdpPeer::Receive(int timeoutMs)
{
    std::optional<Received> received;
    WaitFor(
        [&] {
            char buffer[70000];
            sockaddr_in from {};
            socklen_t fromLength = sizeof from;
            const ssize_t length
                = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (length < 0) {
                return false;
            }
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
            received = Received {std::string(buffer, static_cast<size_t>(length)), text};
            return true;
        },
        timeoutMs);
    return received;
}
