#include "transfer/FilePlacer.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CFilePlacer::CFilePlacer(FileCall sync, FileCall close)
    : m_sync(std::move(sync))
    , m_close(std::move(close))
{
}

CFilePlacer::~CFilePlacer()
{
    if (m_thread.joinable()) {
        {
            std::unique_lock lock(m_lock);
            m_changed.wait(lock, [this] { return !m_pending; });
            m_bQuit = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
}

bool CFilePlacer::PlaceBehind(Job job)
{
    {
        std::unique_lock lock(m_lock);
        if (!WaitLocked(lock)) {
            Drop(job);
            return false;
        }
        if (!StartThread()) {
            // No thread to be had: the file is placed here and now instead.
            lock.unlock();
            return Place(std::move(job));
        }
        m_pending = std::move(job);
        m_bBusy = true;
    }
    m_changed.notify_all();
    return true;
}

bool CFilePlacer::FlushBehind(int file, size_t index)
{
    {
        std::unique_lock lock(m_lock);
        if (m_pending || m_bFailed || !StartThread()) {
            return false;
        }
        // A duplicate of its own, so that the writer may close the file meanwhile.
        const int duplicate = ::fcntl(file, F_DUPFD_CLOEXEC, 0);
        if (duplicate < 0) {
            return false;
        }
        m_pending = Job {duplicate, {}, {}, index, true};
        m_bBusy = true;
    }
    m_changed.notify_all();
    return true;
}

bool CFilePlacer::StartThread()
{
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this] { Loop(); });
        } catch (const std::system_error&) {
            return false;
        }
    }
    return true;
}

bool CFilePlacer::Place(Job job)
{
    if (!Wait()) {
        Drop(job);
        return false;
    }
    if (const int error = Run(job); error != 0) {
        RecordFailure(error, job.index);
        return false;
    }
    return true;
}

void CFilePlacer::RecordFailure(int error, size_t index)
{
    m_nError = error;
    m_nFailedIndex = index;
    m_bFailed = true;
}

bool CFilePlacer::Wait()
{
    std::unique_lock lock(m_lock);
    return WaitLocked(lock);
}

bool CFilePlacer::WaitLocked(std::unique_lock<std::mutex>& lock)
{
    m_changed.wait(lock, [this] { return !m_pending; });
    return !m_bFailed;
}

void CFilePlacer::Drop(Job& job)
{
    ::close(std::exchange(job.file, -1));
}

int CFilePlacer::Run(const Job& job) const
{
    // A full disk or a quota may show only when the data is flushed, or at the close.
    if ((m_sync ? m_sync(job.file) : job.flushOnly ? ::fdatasync(job.file) : ::fsync(job.file)) != 0) {
        const int error = errno;
        ::close(job.file);
        return error;
    }
    if (job.flushOnly) {
        ::close(job.file);
        return 0;
    }
    if ((m_close ? m_close(job.file) : ::close(job.file)) != 0) {
        return errno;
    }
    // A symbolic link standing at the name is not followed, and a pipe, device or directory is
    // not replaced.
    struct stat status
    {
    };
    if (::lstat(job.path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        return S_ISLNK(status.st_mode) ? ELOOP : S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    }
    if (::rename(job.incompletePath.c_str(), job.path.c_str()) != 0) {
        return errno;
    }
    return 0;
}

void CFilePlacer::Loop()
{
    std::unique_lock lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_pending || m_bQuit; });
        if (!m_pending) {
            return;
        }
        // Only this thread clears the job, so it stays put while the lock is let go.
        lock.unlock();
        const int error = Run(*m_pending);
        lock.lock();
        if (error != 0) {
            RecordFailure(error, m_pending->index);
        }
        m_pending.reset();
        m_bBusy = false;
        m_changed.notify_all();
    }
}
