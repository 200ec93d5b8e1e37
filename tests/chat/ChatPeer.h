#pragma once

// A remote copy played by a plain TCP socket on host 2 of the virtual LAN. It speaks raw bytes,
// so the chat's wire format is checked independently of our own code.
#include "tests/support/Lan.h"
#include "tests/support/Wait.h"

#include <string>
#include <utility>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace chattest {

inline void MakeNonBlocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

class RawPeer
{
public:
    explicit RawPeer(int fd = -1)
        : m_fd(fd)
    {
        if (m_fd >= 0) {
            MakeNonBlocking(m_fd);
        }
    }
    ~RawPeer() { Close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;
    RawPeer(RawPeer&& other) noexcept
        : m_fd(other.m_fd)
        , m_buffer(std::move(other.m_buffer))
        , m_bEnded(other.m_bEnded)
    {
        other.m_fd = -1;
    }
    RawPeer& operator=(RawPeer&& other) noexcept
    {
        if (this != &other) {
            Close();
            m_fd = std::exchange(other.m_fd, -1);
            m_buffer = std::move(other.m_buffer);
            m_bEnded = other.m_bEnded;
        }
        return *this;
    }

    // Connects from host 2 to the chat port of the host under test.
    static RawPeer ConnectFromHost2(unsigned port = 101)
    {
        const int fd = lan::OpenSocketOn(2, SOCK_STREAM);
        const sockaddr_in address = lan::SocketAddress(1, port);
        if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            if (fd >= 0) {
                close(fd);
            }
            return RawPeer();
        }
        return RawPeer(fd);
    }

    bool IsOpen() const { return m_fd >= 0; }

    void Send(const std::string& bytes) { ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

    // Waits until at least count bytes came (or the time is up) and takes them.
    std::string Take(size_t count, int timeoutMs = 3000)
    {
        WaitFor(
            [&] {
                Pump();
                return m_buffer.size() >= count || m_bEnded;
            },
            timeoutMs);
        const std::string taken = m_buffer.substr(0, count);
        m_buffer.erase(0, taken.size());
        return taken;
    }

    // Everything that arrives within a while.
    std::string TakeAll(int ms = 200)
    {
        WaitFor(
            [&] {
                Pump();
                return false;
            },
            ms);
        return std::exchange(m_buffer, {});
    }

    // Waits for the other side to close; bytes that came first stay readable with TakeAll.
    bool WaitForClose(int timeoutMs = 3000)
    {
        return WaitFor(
            [&] {
                Pump();
                return m_bEnded;
            },
            timeoutMs);
    }

    void Close()
    {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

private:
    void Pump()
    {
        char chunk[4096];
        for (;;) {
            const ssize_t received = recv(m_fd, chunk, sizeof chunk, 0);
            if (received > 0) {
                m_buffer.append(chunk, static_cast<size_t>(received));
                continue;
            }
            if (received == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                m_bEnded = true;
            }
            return;
        }
    }

    int m_fd = -1;
    std::string m_buffer;
    bool m_bEnded = false;
};

// A plain listening socket on host 2's chat port, for the requester's side.
class RawListener
{
public:
    explicit RawListener(unsigned port = 101)
        : m_fd(lan::OpenSocketOn(2, SOCK_STREAM))
    {
        const int yes = 1;
        setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        const sockaddr_in address = lan::SocketAddress("0.0.0.0", port);
        if (bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
            || listen(m_fd, 5) != 0) {
            close(m_fd);
            m_fd = -1;
            return;
        }
        MakeNonBlocking(m_fd);
    }
    ~RawListener()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    bool IsOpen() const { return m_fd >= 0; }

    RawPeer Accept(int timeoutMs = 3000)
    {
        int fd = -1;
        WaitFor(
            [&] {
                fd = accept(m_fd, nullptr, nullptr);
                return fd >= 0;
            },
            timeoutMs);
        return RawPeer(fd);
    }

private:
    int m_fd = -1;
};

} // namespace chattest
