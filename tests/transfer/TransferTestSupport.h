#pragma once

// Fakes for the file transfer tests: a remote copy played by a plain socket on host 2 of the
// virtual LAN, and recording windows that own the connections they serve.
#include "chat/DeclineWindow.h"
#include "tests/support/Lan.h"
#include "tests/support/Wait.h"
#include "transfer/FileListenSocket.h"
#include "transfer/FileSocket.h"
#include "transfer/FileWindows.h"

#include <QTemporaryDir>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

inline std::string Number(std::uint32_t value)
{
    return filewire::EncodeNumber(value);
}

// Bytes that differ from position to position, so a misplaced chunk shows.
inline std::string Pattern(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
    }
    return bytes;
}

inline void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::optional<std::string> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// A plain non-blocking stream socket on host 2; every wait keeps the event loop running.
class Peer
{
public:
    Peer() = default;
    explicit Peer(int fd)
        : m_fd(fd)
    {
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
        const int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    Peer(Peer&& other) noexcept
        : m_fd(std::exchange(other.m_fd, -1))
    {
    }
    ~Peer() { Close(); }

    // A listener on host 2's file port, as a receiving copy would have.
    static Peer Listen()
    {
        const int fd = lan::OpenSocketOn(2, SOCK_STREAM);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address = lan::SocketAddress("0.0.0.0", filewire::PORT);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd, 5);
        return Peer(fd);
    }
    // A connection from host 2 to host 1's file port, as a sending copy would open.
    static Peer Connect()
    {
        const int fd = lan::OpenSocketOn(2, SOCK_STREAM);
        sockaddr_in address = lan::SocketAddress(1, filewire::PORT);
        const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        Peer peer(fd);
        if (!connected) {
            peer.Close();
        }
        return peer;
    }

    bool IsOpen() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    Peer Accept(int timeoutMs = 5000)
    {
        int fd = -1;
        WaitFor([&] { return (fd = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; }, timeoutMs);
        return fd >= 0 ? Peer(fd) : Peer();
    }
    void Send(const std::string& bytes)
    {
        size_t done = 0;
        WaitFor([&] {
            const ssize_t sent = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            done += sent > 0 ? static_cast<size_t>(sent) : 0;
            return done == bytes.size() || (sent < 0 && errno != EAGAIN);
        });
    }
    // Exactly count bytes, or what came before the time ran out or the close.
    std::string Read(size_t count, int timeoutMs = 5000)
    {
        std::string bytes;
        WaitFor([&] { return Pull(bytes, count - bytes.size()) || bytes.size() == count; }, timeoutMs);
        return bytes;
    }
    // Whatever arrives within the time.
    std::string ReadAny(int timeoutMs)
    {
        std::string bytes;
        WaitFor([&] { return Pull(bytes, 65536) || !bytes.empty(); }, timeoutMs);
        return bytes;
    }
    // True once the other end has closed; data arriving meanwhile is dropped.
    bool WaitClosed(int timeoutMs = 5000) { return ReadUntilClosed(timeoutMs).has_value(); }
    // Everything that arrives until the close; std::nullopt if it does not close in time.
    std::optional<std::string> ReadUntilClosed(int timeoutMs = 5000)
    {
        std::string bytes;
        if (!WaitFor([&] { return Pull(bytes, 65536) && m_bClosed; }, timeoutMs)) {
            return std::nullopt;
        }
        return bytes;
    }
    void Close()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    // Appends what is waiting; true when the stream has ended.
    bool Pull(std::string& bytes, size_t most)
    {
        char buffer[65536];
        const ssize_t got = ::recv(m_fd, buffer, std::min(most, sizeof buffer), 0);
        if (got > 0) {
            bytes.append(buffer, static_cast<size_t>(got));
            return false;
        }
        m_bClosed = got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        return m_bClosed;
    }

    int m_fd = -1;
    bool m_bClosed = false;
};

// Stands in for the sending window and then the progress window: records every call, and
// destroys the sender wherever a real window would.
class SenderWindows : public ISendFileWindow, public IFileProgressWindow
{
public:
    std::unique_ptr<CFileSocket> socket = std::make_unique<CFileSocket>();
    std::vector<std::string> log;
    std::vector<std::string> progress;

    void OnTransferAccepted() override
    {
        log.push_back("accepted");
        socket->SetProgressWindow(this);
    }
    void OnDeclineReason(const CString& reason) override { End("reason " + reason); }
    void OnDeclinedWithoutReason() override { End("declined"); }
    void OnFileError(const CString& message) override { End("file error " + message); }
    void ShowFile(const CString& name, std::uint32_t size) override
    {
        log.push_back("file " + name + " " + std::to_string(size));
    }
    void SetBatchTotal(std::uint32_t total) override { log.push_back("total " + std::to_string(total)); }
    void ShowProgress(std::uint32_t file, std::uint32_t batch) override
    {
        progress.push_back(std::to_string(file) + "/" + std::to_string(batch));
    }
    void OnFinished() override { End("finished"); }
    void OnTerminated() override { End("terminated"); }
    void OnTransferFailed(const CString& message) override { End("failed " + message); }

    bool Ended() const { return !socket; }

private:
    void End(const std::string& event)
    {
        log.push_back(event);
        socket.reset();
    }
};

// One incoming request with the windows that would serve it, from the request window on.
class ReceiverWindows : public IFileRequestWindow, public IFileProgressWindow, public IDeclineWindow
{
public:
    explicit ReceiverWindows(std::unique_ptr<CFileListenSocket> connection)
        : socket(std::move(connection))
    {
        socket->SetRequestWindow(this);
    }
    std::unique_ptr<CFileListenSocket> socket;
    std::vector<std::string> log;
    std::vector<std::string> progress;

    void Accept(const std::string& directory)
    {
        socket->SetProgressWindow(this);
        socket->AcceptFiles(directory);
    }
    void Decline()
    {
        socket->DeclineFiles();
        socket->SetDeclineWindow(this);
    }

    void OnRequestCancelled() override { End("cancelled"); }
    void ShowFile(const CString& name, std::uint32_t size) override
    {
        log.push_back("file " + name + " " + std::to_string(size));
    }
    void SetBatchTotal(std::uint32_t total) override { log.push_back("total " + std::to_string(total)); }
    void ShowProgress(std::uint32_t file, std::uint32_t batch) override
    {
        progress.push_back(std::to_string(file) + "/" + std::to_string(batch));
    }
    void OnFinished() override { End("finished"); }
    void OnTerminated() override { End("terminated"); }
    void OnTransferFailed(const CString& message) override { End("failed " + message); }

    bool Ended() const { return !socket; }

private:
    void End(const std::string& event)
    {
        log.push_back(event);
        socket.reset();
    }
};

class FakeFileWindowFactory : public IFileWindowFactory
{
public:
    FakeFileWindowFactory() { SetFileWindowFactory(this); }
    ~FakeFileWindowFactory() override { SetFileWindowFactory(nullptr); }

    void OpenFileRequest(std::unique_ptr<CFileListenSocket> connection) override
    {
        requests.push_back(std::make_unique<ReceiverWindows>(std::move(connection)));
    }
    std::vector<std::unique_ptr<ReceiverWindows>> requests;
};
