#pragma once

#include "framework/CString.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

// Puts a received file in place: flushed to the disk, closed, and moved from its incomplete name
// to its own. The flush can take tens of milliseconds for a large file, so a file that is not the
// batch's last is placed on a thread of its own while the next one's reads are answered, and a
// large file is flushed there now and then while it is written. One job is under way at a time,
// in the order they were asked for.
class CFilePlacer
{
public:
    // ::fsync (::fdatasync for a flush behind) and ::close unless given (tests play a failing
    // disk with them; the sync given also stands in for flushes behind).
    using FileCall = std::function<int(int fd)>;
    struct Job
    {
        int file = -1;
        CString incompletePath;
        CString path;
        // Which file of the batch, for the report of a failure.
        size_t index = 0;
        // Only flushed: the writer keeps its descriptor, and file is a duplicate the job closes.
        bool flushOnly = false;
    };

    CFilePlacer(FileCall sync, FileCall close);
    // Lets the placement under way finish.
    ~CFilePlacer();
    CFilePlacer(const CFilePlacer&) = delete;
    CFilePlacer& operator=(const CFilePlacer&) = delete;

    // Waits for the placement under way, then starts this one and returns. False when the one
    // under way failed; the job is then dropped, its file closed and left under its incomplete
    // name.
    bool PlaceBehind(Job job);
    // Places the file now, after the one under way; false when either failed.
    bool Place(Job job);
    // Starts flushing what was written to a file that is still being written, so that its
    // placement's own flush is left with less to do. False, and nothing started, while a job is
    // under way, after a failure, or without a thread. A failure of the flush counts as that
    // file's placement failing, since a later flush may not see it again.
    bool FlushBehind(int file, size_t index);
    // Waits until no job is under way; false when one failed.
    bool Wait();
    // Cheap enough to ask between two reads.
    bool HasFailed() const { return m_bFailed.load(); }
    bool IsBusy() const { return m_bBusy.load(); }
    // The errno value and the file's index of the failure, once Wait or a Place call said false
    // (or HasFailed said true and Wait has returned).
    int FailureError() const { return m_nError; }
    size_t FailureIndex() const { return m_nFailedIndex; }

private:
    // The errno value of the step that failed, or 0.
    int Run(const Job& job) const;
    void Loop();
    bool WaitLocked(std::unique_lock<std::mutex>& lock);
    // With the lock held and nothing pending; false when no thread can be had.
    bool StartThread();
    void Drop(Job& job);
    // With the lock held, or by the worker while no job is under way.
    void RecordFailure(int error, size_t index);

    const FileCall m_sync;
    const FileCall m_close;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::optional<Job> m_pending;
    bool m_bQuit = false;
    std::atomic<bool> m_bFailed {false};
    std::atomic<bool> m_bBusy {false};
    int m_nError = 0;
    size_t m_nFailedIndex = 0;
    // Started with the first job behind.
    std::thread m_thread;
};
