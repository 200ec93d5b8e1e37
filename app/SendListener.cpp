#include "app/SendListener.h"

#include <QFile>
#include <QLocalSocket>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
void Warn(const CString& path, const char* reason)
{
    std::fprintf(stderr, "quorvane: %s: %s; files given to quorvane --send will not reach this copy\n",
        path.c_str(), reason);
}

enum class Occupant {
    None,
    // A copy answers: it keeps the socket.
    Copy,
    // A socket nobody listens on any more.
    Stale,
    // Something that is not ours to remove.
    Other,
};

Occupant ProbeSocketPath(const CString& path, const char** reason)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *reason = "path too long for a local socket";
        return Occupant::Other;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return Occupant::Other;
    }
    // Non-blocking, so that a copy too busy to accept cannot hold this one's start: a full
    // backlog still means somebody listens. The other copy sees a connection that sends nothing.
    const int connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int connectError = errno;
    close(fd);
    if (connected == 0 || connectError == EAGAIN || connectError == EINPROGRESS) {
        return Occupant::Copy;
    }
    struct stat status
    {
    };
    if (lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return Occupant::None;
        }
        *reason = std::strerror(errno);
        return Occupant::Other;
    }
    if (!S_ISSOCK(status.st_mode)) {
        *reason = "exists and is not a socket";
        return Occupant::Other;
    }
    if (connectError != ECONNREFUSED) {
        *reason = std::strerror(connectError);
        return Occupant::Other;
    }
    return Occupant::Stale;
}

// Copies starting together would otherwise both find a stale socket, and the later one would
// remove the earlier one's fresh socket. The lock is the directory's, held for milliseconds;
// should something else hold it for long, the start goes on without.
class DirectoryLock
{
public:
    explicit DirectoryLock(const CString& path)
    {
        const CString directory = path.substr(0, path.rfind('/') + 1);
        m_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        for (int attempt = 0; m_fd >= 0 && attempt < 100; ++attempt) {
            if (flock(m_fd, LOCK_EX | LOCK_NB) == 0) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~DirectoryLock()
    {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

private:
    int m_fd = -1;
};
} // namespace

CSendListener::CSendListener(FilesHandler onFiles, ShowHandler onShow, QObject* parent)
    : QObject(parent)
    , m_onFiles(std::move(onFiles))
    , m_onShow(std::move(onShow))
{
    connect(&m_server, &QLocalServer::newConnection, this, &CSendListener::OnNewConnection);
}

CSendListener::~CSendListener()
{
    Close();
}

CString CSendListener::DefaultSocketPath(CString* problem)
{
    const CString directory = qgetenv("XDG_RUNTIME_DIR").toStdString();
    CString found;
    struct stat status
    {
    };
    if (directory.empty()) {
        found = "XDG_RUNTIME_DIR is not set";
    } else if (directory.front() != '/') {
        found = "XDG_RUNTIME_DIR (" + directory + ") is not an absolute path";
    } else if (stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != geteuid()
        || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        found = "XDG_RUNTIME_DIR (" + directory + ") is not a directory of this user's alone";
    }
    if (!found.empty()) {
        if (problem) {
            *problem = found;
        }
        return {};
    }
    return directory + (directory.back() == '/' ? "" : "/") + "quorvane.sock";
}

bool CSendListener::IsCopyListening(const CString& path)
{
    const char* reason = "";
    return !path.empty() && ProbeSocketPath(path, &reason) == Occupant::Copy;
}

bool CSendListener::StartForThisUser()
{
    CString problem;
    const CString path = DefaultSocketPath(&problem);
    if (path.empty()) {
        std::fprintf(stderr, "quorvane: %s; files given to quorvane --send will not reach this copy\n",
            problem.c_str());
        return false;
    }
    return Start(path);
}

bool CSendListener::Start(const CString& path)
{
    if (path.empty() || IsListening()) {
        return false;
    }
    // QLocalServer takes names as text; a path that does not survive the round trip would be
    // listened at and removed under another name.
    const QString name = QFile::decodeName(QByteArray::fromStdString(path));
    if (QFile::encodeName(name).toStdString() != path) {
        Warn(path, "the name is not valid in the locale's encoding");
        return false;
    }
    DirectoryLock lock(path);
    const char* reason = "";
    m_bFoundRunningCopy = false;
    switch (ProbeSocketPath(path, &reason)) {
    case Occupant::Copy:
        m_strPath = path;
        m_bFoundRunningCopy = true;
        return false;
    case Occupant::Other:
        Warn(path, reason);
        return false;
    case Occupant::Stale:
        unlink(path.c_str());
        break;
    case Occupant::None:
        break;
    }
    // Not UserAccessOption: Qt gives the socket 0700 with it, by way of a temporary directory.
    m_server.setSocketOptions(QLocalServer::NoOptions);
    if (!m_server.listen(name)) {
        Warn(path, m_server.errorString().toUtf8().constData());
        return false;
    }
    // Only this user may hand files over, whatever the umask and the directory allow.
    if (chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0) {
        Warn(path, std::strerror(errno));
        m_server.close();
        return false;
    }
    m_strPath = path;
    return true;
}

void CSendListener::Close()
{
    if (m_server.isListening()) {
        // QLocalServer closes the socket, then removes its file: a copy starting in between would
        // take the socket for stale and listen anew, and lose its file to this removal.
        DirectoryLock lock(m_strPath);
        m_server.close();
    }
    // Never called from inside one of the sockets' signals: the files handler only opens a window.
    for (const auto& [socket, parser] : m_connections) {
        socket->disconnect(this);
        delete socket;
    }
    m_connections.clear();
}

void CSendListener::OnNewConnection()
{
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        // We take ownership of the socket.
        socket->setParent(nullptr);
        if (m_connections.size() >= MAX_CONNECTIONS) {
            delete socket;
            continue;
        }
        m_connections.emplace(socket, CSendRequestParser {});
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { Drop(socket); });
        // Ends with the socket; it also ends a connection that was answered but never closed.
        QTimer::singleShot(REQUEST_TIME_LIMIT_MS, socket, [this, socket] { Drop(socket); });
    }
}

void CSendListener::OnReadyRead(QLocalSocket* socket)
{
    const auto found = m_connections.find(socket);
    // Answered once; what follows the request is not read.
    if (found == m_connections.end() || found->second.GetState() != CSendRequestParser::State::Incomplete) {
        return;
    }
    CSendRequestParser& parser = found->second;
    char buffer[64 * 1024];
    while (parser.GetState() == CSendRequestParser::State::Incomplete) {
        const qint64 length = socket->read(buffer, sizeof buffer);
        if (length <= 0) {
            return;
        }
        parser.Feed(buffer, static_cast<std::size_t>(length));
    }
    if (parser.GetState() == CSendRequestParser::State::Refused) {
        Drop(socket);
        return;
    }
    const bool show = parser.IsShowRequest();
    const CString startupId = parser.GetStartupId();
    std::vector<CString> paths = parser.TakePaths();
    socket->write(sendwire::ANSWER, sizeof sendwire::ANSWER - 1);
    // Closes once the answer is written, and the socket is dropped then. Nothing of the
    // connection is touched after this: the window may run an event loop of its own.
    socket->disconnectFromServer();
    if (show) {
        if (m_onShow) {
            m_onShow(startupId);
        }
    } else if (!paths.empty()) {
        m_onFiles(std::move(paths));
    }
}

void CSendListener::Drop(QLocalSocket* socket)
{
    if (m_connections.erase(socket) == 0) {
        return;
    }
    socket->disconnect(this);
    socket->abort();
    // Possibly inside one of its own signals.
    socket->deleteLater();
}
