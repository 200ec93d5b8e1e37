#pragma once

#include <optional>
#include <string>

// A remote copy played by a plain UDP socket on another host of the virtual LAN.
class UdpPeer
{
public:
    UdpPeer(int host, unsigned port);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool IsOpen() const { return m_fd >= 0; }
    bool SendTo(const std::string& bytes, const std::string& address, unsigned port);

    struct Received
    {
        std::string bytes;
        std::string source;
    };
    // Waits for the next datagram while the event loop runs.
    std::optional<Received> Receive(int timeoutMs = 3000);

private:
    int m_fd = -1;
};
