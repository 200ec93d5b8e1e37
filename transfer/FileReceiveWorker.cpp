#include "transfer/FileReceiveWorker.h"

#include "transfer/FileProtocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {
// Set and read on the user-interface thread only: each transfer takes a copy when it starts.
CFileReceiveWorker::FileWriter g_writer;
CFileReceiveWorker::FileCall g_sync;
CFileReceiveWorker::FileCall g_close;
std::atomic<int> g_nRunning {0};
} // namespace

std::shared_ptr<CFileReceiveWorker> CFileReceiveWorker::Start(
    int socket, Batch batch, std::function<void()> deliver)
{
    std::shared_ptr<CFileReceiveWorker> worker(
        new CFileReceiveWorker(socket, std::move(batch), {g_writer, g_sync, g_close}, std::move(deliver)));
    ++g_nRunning;
    // The thread keeps its share until it has closed the file and the socket; nobody waits for it.
    std::thread([worker]() mutable {
        worker->Run();
        worker.reset();
        --g_nRunning;
    }).detach();
    return worker;
}

CFileReceiveWorker::CFileReceiveWorker(
    int socket, Batch batch, Storage storage, std::function<void()> deliver)
    : m_batch(std::move(batch))
    , m_storage(std::move(storage))
    , m_placer(m_storage.sync, m_storage.close)
    , m_hSocket(socket)
    , m_reports(std::move(deliver))
{
}

// Reached once both the thread and the connection have let go: the thread has closed the file and
// the socket and waited for the last placement (the placer's idle thread is joined here), and Stop
// has destroyed the mailbox.
CFileReceiveWorker::~CFileReceiveWorker() = default;

void CFileReceiveWorker::SetFileWriter(FileWriter writer)
{
    g_writer = std::move(writer);
}

void CFileReceiveWorker::SetFileFinish(FileCall sync, FileCall close)
{
    g_sync = std::move(sync);
    g_close = std::move(close);
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
    return m_reports.Take();
}

void CFileReceiveWorker::Stop()
{
    {
        std::lock_guard lock(m_lock);
        m_bStop = true;
        // Only the thread closes the descriptor; shutting it down here lets the peer see the end
        // at once and ends a wait of the thread on the socket, for reading or for writing.
        if (m_hSocket >= 0) {
            ::shutdown(m_hSocket, SHUT_RDWR);
        }
    }
    m_reports.Detach();
}

void CFileReceiveWorker::Run()
{
    if (OpenFromCurrent()) {
        Post({Report::Total, 0, m_batch.total, {}});
        if (m_batch.total == 0) {
            Post({Report::Finished, 0, 0, {}});
        } else {
            // Blocking calls, one read and one reply per exchange as in the lock-step bound; the
            // stop's shutdown ends any wait.
            fcntl(m_hSocket, F_SETFL, fcntl(m_hSocket, F_GETFL) & ~O_NONBLOCK);
            m_pGathered.reset(new char[STORE_BUFFER_SIZE]);
            while (!IsStopped()) {
                const char* buffer = nullptr;
                const ssize_t got = ReceiveData(buffer);
                if (got <= 0) {
                    // Everything the sender sent before its close is on the disk before the
                    // window hears of the close.
                    if (!IsStopped() && !m_bFailed) {
                        if (!FlushGathered()) {
                            Fail(errno);
                        } else if (!m_placer.Wait()) {
                            FailPlacement();
                        } else {
                            Post({Report::Closed, 0, 0, {}});
                        }
                    }
                    break;
                }
                // The batch's last read is answered once every file is in place; a failure
                // leaves it unanswered, and the sender sees the close instead.
                if (static_cast<std::uint64_t>(m_nBatchReceived) + static_cast<std::uint64_t>(got)
                    >= m_batch.total) {
                    // Nothing more is stored once an earlier file could not be put in place.
                    if (!m_placer.Wait()) {
                        FailPlacement();
                    } else if (Store(buffer, static_cast<size_t>(got)) == StoreResult::Finished) {
                        ReplyOk();
                        Post({Report::Finished, m_nFileReceived, m_nBatchReceived, {}});
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

ssize_t CFileReceiveWorker::ReceiveData(const char*& data)
{
    // Room for a whole read is made while the sender's next chunk is on its way.
    if (STORE_BUFFER_SIZE - m_nGathered < filewire::READ_SIZE && !FlushGathered()) {
        Fail(errno);
        return 0;
    }
    // Intervals waited in vain since this call began.
    int silent = 0;
    for (;;) {
        // An earlier file could not be put in place: nothing more is answered.
        if (m_placer.HasFailed()) {
            FailPlacement();
            return 0;
        }
        // Progress held back goes out once the sender has been silent for its interval, the
        // gathered bytes once it has been silent for longer, a placement's failure at once.
        SetReceiveTimeout(m_reports.HasHeldProgress() || m_nGathered > 0 || m_placer.IsBusy());
        // The read lands right after the bytes gathered, so that storing it copies nothing.
        char* const buffer = m_pGathered.get() + m_nGathered;
        data = buffer;
        const ssize_t got = ::recv(m_hSocket, buffer, filewire::READ_SIZE, 0);
        // A read that came with a placement's failure is not answered; the loop's start says why.
        if (got > 0 && m_placer.HasFailed()) {
            continue;
        }
        if (got >= 0) {
            return got;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            m_reports.FlushHeldProgress();
            if (++silent * CReportQueue::PROGRESS_INTERVAL >= STORE_QUIET && !FlushGathered()) {
                Fail(errno);
                return 0;
            }
        } else if (error != EINTR) {
            return got;
        }
        if (IsStopped()) {
            return 0;
        }
    }
}

void CFileReceiveWorker::SetReceiveTimeout(bool timed)
{
    if (timed == m_bTimedReceive) {
        return;
    }
    timeval timeout {};
    timeout.tv_usec = timed ? std::chrono::microseconds(CReportQueue::PROGRESS_INTERVAL).count() : 0;
    setsockopt(m_hSocket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    m_bTimedReceive = timed;
}

bool CFileReceiveWorker::ReplyOk()
{
    const char* reply = filewire::REPLY_OK;
    size_t left = std::char_traits<char>::length(reply);
    while (left > 0) {
        if (IsStopped()) {
            return false;
        }
        // A sender that does not read its replies is held back here, rather than answered less.
        const ssize_t sent = ::send(m_hSocket, reply, left, MSG_NOSIGNAL);
        if (sent > 0) {
            reply += sent;
            left -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) {
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
        if (m_nGathered + piece > STORE_BUFFER_SIZE && !FlushGathered()) {
            Fail(errno);
            return StoreResult::Ended;
        }
        // In place unless a file's end came before it; then it moves to the emptied buffer's start.
        if (data != m_pGathered.get() + m_nGathered) {
            std::memmove(m_pGathered.get() + m_nGathered, data, piece);
        }
        m_nGathered += piece;
        data += piece;
        length -= piece;
        m_nFileReceived += static_cast<std::uint32_t>(piece);
        m_nBatchReceived += static_cast<std::uint32_t>(piece);
        Post({Report::Progress, m_nFileReceived, m_nBatchReceived, {}});
        if (m_nFileReceived == m_batch.sizes[m_nIndex]) {
            if (!PlaceCurrentFile()) {
                return StoreResult::Ended;
            }
            ++m_nIndex;
            // Empty files that follow are created here, also after the last bytes of the batch.
            if (!OpenFromCurrent()) {
                return StoreResult::Ended;
            }
        }
        if (m_nBatchReceived == m_batch.total) {
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
        if (!PlaceCurrentFile()) {
            return false;
        }
        ++m_nIndex;
    }
    return true;
}

bool CFileReceiveWorker::OpenCurrentFile()
{
    CloseFile();
    // A name of our own beside the file's: whatever stands at the file's name stays untouched
    // until this one is whole. One left by an earlier transfer is never written over, nor the
    // name the file before this one may still be on its way to.
    const CString previous = m_nIndex > 0 ? m_batch.directory + m_batch.names[m_nIndex - 1] : CString();
    int fd = -1;
    int error = EEXIST;
    for (int attempt = 0; fd < 0 && error == EEXIST && attempt < MAX_INCOMPLETE_ATTEMPTS; ++attempt) {
        m_strIncompletePath = m_batch.directory + IncompleteFileName(m_batch.names[m_nIndex], attempt);
        if (m_strIncompletePath == previous) {
            continue;
        }
        fd = ::open(m_strIncompletePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        error = errno;
    }
    if (fd < 0) {
        m_strIncompletePath.clear();
        Fail(error);
        return false;
    }
    m_hFile = fd;
    m_nFileReceived = 0;
    m_nUnflushed = 0;
    m_nUnstarted = 0;
    Post({Report::File, m_batch.sizes[m_nIndex], 0, m_batch.names[m_nIndex]});
    return true;
}

bool CFileReceiveWorker::PlaceCurrentFile()
{
    // One placement at a time: the one before is over before this file's bytes go out, so that
    // after its failure nothing more is written.
    if (!m_placer.Wait()) {
        FailPlacement();
        return false;
    }
    if (!FlushGathered()) {
        Fail(errno);
        return false;
    }
    CFilePlacer::Job job {std::exchange(m_hFile, -1), std::exchange(m_strIncompletePath, {}),
        m_batch.directory + m_batch.names[m_nIndex], m_nIndex};
    // Once the batch is complete, its last reply waits for every file to be in place.
    const bool placed = m_nBatchReceived < m_batch.total ? m_placer.PlaceBehind(std::move(job))
                                                         : m_placer.Place(std::move(job));
    if (!placed) {
        FailPlacement();
    }
    return placed;
}

void CFileReceiveWorker::FailPlacement()
{
    // Fail waits for the placer and reports its failure before anything of ours.
    Fail(0);
}

void CFileReceiveWorker::CloseFile()
{
    // Bytes the disk refused, or those of a file given up, are not kept for another.
    m_nGathered = 0;
    if (m_hFile >= 0) {
        ::close(m_hFile);
        m_hFile = -1;
        // Nothing of it arrived: there is nothing to keep.
        if (m_nFileReceived == 0 && !m_strIncompletePath.empty()) {
            ::unlink(m_strIncompletePath.c_str());
        }
        m_strIncompletePath.clear();
    }
}

void CFileReceiveWorker::Fail(int errnoValue)
{
    size_t index = m_nIndex;
    // Nothing more is written and no reply goes out: the socket closes as the thread ends. Only a
    // whole file already on its way to its name may still take it.
    m_bFailed = true;
    CloseFile();
    // A file still on its way to its name comes first: its failure is the earlier one, and if it
    // succeeds it is in place before the window hears of this one.
    if (!m_placer.Wait()) {
        errnoValue = m_placer.FailureError();
        index = m_placer.FailureIndex();
    }
    Post({Report::Failed, 0, 0, DescribeFileError(m_batch.directory + m_batch.names[index], errnoValue)});
}

bool CFileReceiveWorker::FlushGathered()
{
    if (m_nGathered == 0 || m_hFile < 0) {
        return true;
    }
    if (!WriteAll(m_pGathered.get(), m_nGathered)) {
        return false;
    }
    // The disk starts on the bytes written as they come rather than at the file's end, where its
    // fsync would wait for the whole file (and the batch's last reply for the last file's). Only
    // a hint; fsync reports.
    m_nUnstarted += m_nGathered;
    if (m_nUnstarted >= WRITE_START_SIZE) {
        ::sync_file_range(m_hFile, static_cast<off_t>(m_nFileReceived - m_nUnstarted),
            static_cast<off_t>(m_nUnstarted), SYNC_FILE_RANGE_WRITE);
        m_nUnstarted = 0;
    }
    m_nUnflushed += m_nGathered;
    m_nGathered = 0;
    // Tried again at the next write while a placement is under way; a whole file is flushed as
    // it is placed, and after a stop nobody waits for the result.
    if (m_nUnflushed >= FLUSH_BEHIND_SIZE && m_nFileReceived < m_batch.sizes[m_nIndex] && !IsStopped()
        && m_placer.FlushBehind(m_hFile, m_nIndex)) {
        m_nUnflushed = 0;
    }
    return true;
}

bool CFileReceiveWorker::WriteAll(const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written
            = m_storage.write ? m_storage.write(m_hFile, data, length) : ::write(m_hFile, data, length);
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

void CFileReceiveWorker::End()
{
    // A stop or a close keeps every byte that was answered; nothing is left to report a
    // failure to.
    FlushGathered();
    CloseFile();
    // A whole file is put in place even after a stop: every byte of it was answered.
    m_placer.Wait();
    std::lock_guard lock(m_lock);
    ::close(m_hSocket);
    m_hSocket = -1;
}
