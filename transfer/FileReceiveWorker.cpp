#include "transfer/FileReceiveWorker.h"

#include "transfer/FileProtocol.h"

#include <QObject>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// How long a wait without a stop event lasts before the stop request is looked at again.
constexpr int STOP_POLL_MS = 100;
// Progress reaches the window at most this often; each report wakes the user-interface thread,
// which would otherwise cost a wake-up per read.
constexpr std::chrono::milliseconds PROGRESS_INTERVAL {20};

// Set and read on the user-interface thread only: each transfer takes a copy when it starts.
CFileReceiveWorker::FileWriter g_writer;
std::atomic<int> g_nRunning {0};

int MillisecondsUntil(std::chrono::steady_clock::time_point moment)
{
    using namespace std::chrono;
    return static_cast<int>(
        std::max<std::int64_t>(0, ceil<milliseconds>(moment - steady_clock::now()).count()));
}
} // namespace

std::shared_ptr<CFileReceiveWorker> CFileReceiveWorker::Start(
    int socket, Batch batch, std::function<void()> deliver)
{
    std::shared_ptr<CFileReceiveWorker> worker(new CFileReceiveWorker(socket, std::move(batch), g_writer));
    worker->m_deliver = std::move(deliver);
    worker->m_pMailbox = new QObject;
    ++g_nRunning;
    // The thread keeps its share until it has closed the file and the socket; nobody waits for it.
    std::thread([worker]() mutable {
        worker->Run();
        worker.reset();
        --g_nRunning;
    }).detach();
    return worker;
}

CFileReceiveWorker::CFileReceiveWorker(int socket, Batch batch, FileWriter writer)
    : m_batch(std::move(batch))
    , m_writer(std::move(writer))
    , m_hStopEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_hSocket(socket)
{
}

CFileReceiveWorker::~CFileReceiveWorker()
{
    // Reached once both the thread and the connection have let go: the thread has closed the
    // file and the socket, and Stop has destroyed the mailbox.
    if (m_hStopEvent >= 0) {
        ::close(m_hStopEvent);
    }
}

void CFileReceiveWorker::SetFileWriter(FileWriter writer)
{
    g_writer = std::move(writer);
}

int CFileReceiveWorker::GetRunningCount()
{
    return g_nRunning.load();
}

bool CFileReceiveWorker::WaitForAll(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (g_nRunning.load() > 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<CFileReceiveWorker::Report> CFileReceiveWorker::TakeReports()
{
    std::vector<Report> reports;
    std::lock_guard lock(m_lock);
    reports.swap(m_reports);
    return reports;
}

void CFileReceiveWorker::Stop()
{
    QObject* mailbox = nullptr;
    {
        std::lock_guard lock(m_lock);
        m_bStop = true;
        // Only the thread closes the descriptor; shutting it down here lets the peer see the end
        // at once and wakes a thread that waits on the socket.
        if (m_hSocket >= 0) {
            ::shutdown(m_hSocket, SHUT_RDWR);
        }
        m_reports.clear();
        mailbox = std::exchange(m_pMailbox, nullptr);
    }
    if (m_hStopEvent >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_hStopEvent, &one, sizeof one);
    }
    delete mailbox;
}

void CFileReceiveWorker::Run()
{
    if (OpenFromCurrent()) {
        Post({Report::Total, 0, m_batch.total, {}});
        if (m_batch.total == 0) {
            Post({Report::Finished, 0, 0, {}});
        } else {
            char buffer[filewire::READ_SIZE];
            while (AwaitData()) {
                const ssize_t got = ::recv(m_hSocket, buffer, sizeof buffer, MSG_DONTWAIT);
                if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                    continue;
                }
                if (got <= 0) {
                    // Everything the sender sent before its close has been stored by now.
                    if (!IsStopped()) {
                        Post({Report::Closed, 0, 0, {}});
                    }
                    break;
                }
                // A read the stop kept from being answered is not stored. One that found the
                // sender gone was still sent before its close and belongs to the batch.
                if (!ReplyOk() && IsStopped()) {
                    break;
                }
                if (Store(buffer, static_cast<size_t>(got)) != StoreResult::More || IsStopped()) {
                    break;
                }
            }
        }
    }
    End();
}

bool CFileReceiveWorker::AwaitData()
{
    for (;;) {
        if (IsStopped()) {
            return false;
        }
        int wait = m_heldProgress ? MillisecondsUntil(m_nextProgress) : -1;
        if (m_hStopEvent < 0 && (wait < 0 || wait > STOP_POLL_MS)) {
            wait = STOP_POLL_MS;
        }
        pollfd watched[2] = {{m_hSocket, POLLIN, 0}, {m_hStopEvent, POLLIN, 0}};
        const int ready = ::poll(watched, m_hStopEvent >= 0 ? 2 : 1, wait);
        if (IsStopped()) {
            return false;
        }
        if (ready < 0 && errno != EINTR) {
            // Not expected for a valid descriptor; the read that follows tells what is wrong.
            return true;
        }
        if (ready > 0 && watched[0].revents != 0) {
            return true;
        }
        if (m_heldProgress && std::chrono::steady_clock::now() >= m_nextProgress) {
            FlushHeldProgress();
        }
    }
}

bool CFileReceiveWorker::ReplyOk()
{
    const char* reply = filewire::REPLY_OK;
    size_t left = std::char_traits<char>::length(reply);
    while (left > 0) {
        if (IsStopped()) {
            return false;
        }
        const ssize_t sent = ::send(m_hSocket, reply, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            reply += sent;
            left -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A sender that does not read its replies is held back, rather than answered less.
            pollfd watched[2] = {{m_hSocket, POLLOUT, 0}, {m_hStopEvent, POLLIN, 0}};
            ::poll(watched, m_hStopEvent >= 0 ? 2 : 1, STOP_POLL_MS);
            continue;
        }
        return false;
    }
    return true;
}

CFileReceiveWorker::StoreResult CFileReceiveWorker::Store(const char* data, size_t length)
{
    while (length > 0 && m_nIndex < m_batch.names.size()) {
        const size_t piece = std::min<size_t>(length, m_batch.sizes[m_nIndex] - m_nFileReceived);
        if (!WriteAll(data, piece)) {
            Fail(errno);
            return StoreResult::Ended;
        }
        data += piece;
        length -= piece;
        m_nFileReceived += static_cast<std::uint32_t>(piece);
        m_nBatchReceived += static_cast<std::uint32_t>(piece);
        Post({Report::Progress, m_nFileReceived, m_nBatchReceived, {}});
        if (m_nFileReceived == m_batch.sizes[m_nIndex]) {
            CloseFile();
            ++m_nIndex;
            // Empty files that follow are created here, also after the last bytes of the batch.
            if (!OpenFromCurrent()) {
                return StoreResult::Ended;
            }
        }
        if (m_nBatchReceived == m_batch.total) {
            CloseFile();
            Post({Report::Finished, m_nFileReceived, m_nBatchReceived, {}});
            return StoreResult::Finished;
        }
    }
    // Bytes beyond the batch have no file to go to.
    return StoreResult::More;
}

bool CFileReceiveWorker::OpenFromCurrent()
{
    while (m_nIndex < m_batch.names.size()) {
        if (!OpenCurrentFile()) {
            return false;
        }
        if (m_batch.sizes[m_nIndex] > 0) {
            return true;
        }
        CloseFile();
        ++m_nIndex;
    }
    return true;
}

bool CFileReceiveWorker::OpenCurrentFile()
{
    CloseFile();
    const CString path = m_batch.directory + m_batch.names[m_nIndex];
    // A symbolic link standing at the name is not followed, and a pipe or device is refused.
    const int fd
        = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        Fail(errno);
        return false;
    }
    struct stat status
    {
    };
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        Fail(EINVAL);
        return false;
    }
    m_hFile = fd;
    m_nFileReceived = 0;
    Post({Report::File, m_batch.sizes[m_nIndex], 0, m_batch.names[m_nIndex]});
    return true;
}

void CFileReceiveWorker::CloseFile()
{
    if (m_hFile >= 0) {
        ::close(m_hFile);
        m_hFile = -1;
    }
}

void CFileReceiveWorker::Fail(int errnoValue)
{
    // Nothing more is written and no reply goes out: the socket closes as the thread ends.
    CloseFile();
    Post({Report::Failed, 0, 0, DescribeFileError(m_batch.directory + m_batch.names[m_nIndex], errnoValue)});
}

bool CFileReceiveWorker::WriteAll(const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = m_writer ? m_writer(m_hFile, data, length) : ::write(m_hFile, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

void CFileReceiveWorker::Post(Report report)
{
    const auto now = std::chrono::steady_clock::now();
    if (report.kind == Report::Progress && now < m_nextProgress) {
        m_heldProgress = std::move(report);
        return;
    }
    if (m_heldProgress && report.kind != Report::Progress) {
        Enqueue(*m_heldProgress);
    }
    m_heldProgress.reset();
    if (report.kind == Report::Progress) {
        m_nextProgress = now + PROGRESS_INTERVAL;
    }
    Enqueue(std::move(report));
}

void CFileReceiveWorker::FlushHeldProgress()
{
    if (m_heldProgress) {
        m_nextProgress = std::chrono::steady_clock::now() + PROGRESS_INTERVAL;
        Enqueue(*std::exchange(m_heldProgress, std::nullopt));
    }
}

void CFileReceiveWorker::Enqueue(Report report)
{
    std::lock_guard lock(m_lock);
    if (!m_pMailbox) {
        return; // stopped: nobody listens any more
    }
    const bool wake = m_reports.empty();
    if (report.kind == Report::Progress && !wake && m_reports.back().kind == Report::Progress) {
        m_reports.back() = std::move(report);
        return;
    }
    m_reports.push_back(std::move(report));
    if (wake) {
        // The mailbox stays while the lock is held: Stop takes it under the same lock.
        QMetaObject::invokeMethod(
            m_pMailbox, [this] { m_deliver(); }, Qt::QueuedConnection);
    }
}

void CFileReceiveWorker::End()
{
    CloseFile();
    std::lock_guard lock(m_lock);
    ::close(m_hSocket);
    m_hSocket = -1;
}
