#include "fuzz/FuzzSupport.h"

#include "net/WireText.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fuzz {

bool IsReadText(const CString& text, std::size_t readBytes)
{
    return text.size() <= 3 * readBytes && IsValidUtf8(text);
}

void StartApplication()
{
    static int argc = 1;
    static char name[] = "quorvane-fuzz";
    static char* argv[] = {name, nullptr};
    // The program's own event dispatcher.
    setenv("QT_NO_GLIB", "1", 1);
    static QCoreApplication application(argc, argv);
}

void Pump(const std::function<bool()>& done, int rounds)
{
    for (int i = 0; i < rounds && !done(); ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

Peer::Peer(int fd)
    : m_fd(fd)
{
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

Peer::~Peer()
{
    Close();
}

void Peer::Send(const char* data, std::size_t length)
{
    if (m_fd < 0) {
        return;
    }
    while (length > 0) {
        const ssize_t sent = ::send(m_fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0) {
            // Full: let the other end read some.
            if (sent < 0 && errno == EAGAIN) {
                Pump([] { return false; }, 4);
                Drain();
                if (HasHungUp()) {
                    return;
                }
                continue;
            }
            return;
        }
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    Pump([this] {
        Drain();
        return IsConsumed() || HasHungUp();
    });
}

void Peer::Drain()
{
    char buffer[65536];
    while (m_fd >= 0 && ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) { }
}

void Peer::Close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

bool Peer::HasHungUp() const
{
    if (m_fd < 0) {
        return true;
    }
    pollfd watched {m_fd, POLLIN, 0};
    return ::poll(&watched, 1, 0) > 0 && (watched.revents & (POLLHUP | POLLERR));
}

bool Peer::IsConsumed() const
{
    // What the other end has not read yet is still charged to this end.
    int unread = 0;
    return ioctl(m_fd, SIOCOUTQ, &unread) == 0 && unread == 0;
}

std::pair<int, int> StreamPair()
{
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        std::abort();
    }
    return {pair[0], pair[1]};
}

LocalListener MakeLocalListener()
{
    static std::atomic<int> counter {0};
    // An abstract name: nothing on disk, gone with the socket.
    const std::string name = "quorvane-fuzz-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::copy(name.begin(), name.end(), address.sun_path + 1);
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());

    LocalListener listener;
    listener.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener.fd < 0 || bind(listener.fd, reinterpret_cast<sockaddr*>(&address), length) != 0
        || listen(listener.fd, 5) != 0) {
        std::abort();
    }
    listener.connect = [address, length] {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
            std::abort();
        }
        return fd;
    };
    return listener;
}

Script::Script(const std::uint8_t* data, std::size_t size)
    : m_data(data)
    , m_size(size)
{
}

std::optional<Script::Step> Script::Next()
{
    if (m_at >= m_size) {
        return std::nullopt;
    }
    const auto action = static_cast<Action>(m_data[m_at++] % ActionCount);
    if (action != Send) {
        return Step {action, nullptr, 0};
    }
    std::size_t length = 0;
    if (m_at + 2 <= m_size) {
        length = m_data[m_at] | (std::size_t(m_data[m_at + 1]) << 8);
        m_at += 2;
    }
    length = std::min(length, m_size - m_at);
    const Step step {Send, reinterpret_cast<const char*>(m_data + m_at), length};
    m_at += length;
    return step;
}

void Play(const std::uint8_t* data, std::size_t size, Peer& peer, const Player& player)
{
    Script script(data, size);
    while (!player.running || player.running()) {
        const auto step = script.Next();
        if (!step) {
            return;
        }
        switch (step->action) {
        case Script::Send:
            peer.Send(step->data, step->length);
            break;
        case Script::Close:
            peer.Close();
            Pump(player.settled);
            break;
        default:
            player.user(step->action);
            break;
        }
        peer.Drain();
        if (player.check) {
            player.check();
        }
    }
}

ScratchDirectory::ScratchDirectory()
{
    char pattern[] = "/tmp/quorvane-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) {
        std::abort();
    }
    m_path = pattern;
}

ScratchDirectory::~ScratchDirectory()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

} // namespace fuzz
