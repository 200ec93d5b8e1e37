#pragma once

#include "framework/CString.h"
#include "transfer/FilePlacer.h"
#include "transfer/ReportQueue.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <sys/types.h>

// The data phase of one accepted batch, on a thread of its own: takes the connection's reads,
// answers each with "OK" before storing it, divides the reads at file boundaries and writes the
// files, gathering many reads into one write. Each file is written under a name that says it is
// incomplete and takes its own name only once it is whole and on the disk, so a file already there
// is kept until then; the batch's last read is answered only once every file is in place, so that
// the sender's "Finished" is true. What happens reaches the user-interface thread through a queue,
// in order, progress at most every interval. The thread and the connection share this object, so
// the window may close while a write is still under way: the stop never waits, and the thread lets
// go of the file and the socket once its current write, and the placing or flushing of a file,
// have returned.
class CFileReceiveWorker
{
public:
    struct Batch
    {
        // Ends in "/"; every name is one plain component, checked when it arrived.
        CString directory;
        std::vector<CString> names;
        std::vector<std::uint32_t> sizes;
        std::uint32_t total = 0;
    };
    // What the thread tells the user-interface thread, in the order it happened. Closed: the
    // sender left before the total.
    using Report = CReportQueue::Report;
    // Answered bytes are gathered up to this much before they go to the file in one write.
    static constexpr size_t STORE_BUFFER_SIZE = 256 * 1024;
    // Bytes gathered go to the file once the sender has been silent this long, so that answered
    // bytes do not wait in memory while nothing arrives.
    static constexpr std::chrono::milliseconds STORE_QUIET {100};
    // A file is flushed behind the reads each time this much more of it was written, so that
    // the flush before it takes its name (and, for the last file, the batch's last reply) waits
    // for little: a disk's cache may hold tens of milliseconds of writing at the end.
    static constexpr size_t FLUSH_BEHIND_SIZE = 8 * 1024 * 1024;
    // The disk is started on what was written each time this much more of the file was: every
    // start rings the disk's queue (on a virtual machine a trap to the hypervisor), which after
    // each 256 KiB write cost a sixth of storing.
    static constexpr size_t WRITE_START_SIZE = 1024 * 1024;

    // Stores bytes in a file; a ::write in all but tests, which play a slow disk with it.
    using FileWriter = std::function<ssize_t(int fd, const char* data, size_t length)>;
    // Flushes or closes a file: ::fsync (::fdatasync behind the reads) and ::close in all but
    // tests, which play a failing disk.
    using FileCall = CFilePlacer::FileCall;

    // Takes ownership of the connected socket and starts the thread; deliver runs on the calling
    // (user-interface) thread whenever reports are waiting, until Stop.
    static std::shared_ptr<CFileReceiveWorker> Start(int socket, Batch batch, std::function<void()> deliver);
    ~CFileReceiveWorker();
    CFileReceiveWorker(const CFileReceiveWorker&) = delete;
    CFileReceiveWorker& operator=(const CFileReceiveWorker&) = delete;

    // User-interface thread: the reports waiting, oldest first.
    std::vector<Report> TakeReports();
    // User-interface thread: ends the transfer without waiting. The peer sees the close at once;
    // the bytes already answered are still stored, nothing after them, and nothing more is
    // reported.
    void Stop();

    // Tests only: how every later transfer stores its bytes (an empty writer restores ::write),
    // and flushes and closes its files.
    static void SetFileWriter(FileWriter writer);
    static void SetFileFinish(FileCall sync, FileCall close);
    // Waits for the threads still running, whose windows may be gone: a process that ends lets
    // their last writes finish, so that no answered bytes are lost. False when time ran out.
    static bool WaitForAll(std::chrono::milliseconds limit);

private:
    enum class StoreResult { More, Finished, Ended };

    struct Storage
    {
        FileWriter write;
        FileCall sync;
        FileCall close;
    };

    CFileReceiveWorker(int socket, Batch batch, Storage storage, std::function<void()> deliver);
    void Run();
    // The next read, into the gathering buffer after the bytes gathered (data points to it); 0 at
    // the end of the stream, once stopped or failed. Held progress goes out meanwhile.
    ssize_t ReceiveData(const char*& data);
    void SetReceiveTimeout(bool timed);
    // Writes what is gathered to the current file; false (errno set) when the disk refused it.
    bool FlushGathered();
    // False when the reply could not go out whole (stopped, or the sender is gone).
    bool ReplyOk();
    StoreResult Store(const char* data, size_t length);
    bool OpenFromCurrent();
    bool OpenCurrentFile();
    // The current file is whole: flushed, closed and put in place under its name, behind the
    // next file's reads unless the batch is complete.
    bool PlaceCurrentFile();
    // Reports a placement that failed, naming its file.
    void FailPlacement();
    // Lets go of a file that is not whole; it stays under its name for incomplete files, unless
    // nothing of it arrived.
    void CloseFile();
    // Reports errnoValue for the current file, or a placement's earlier failure for its own.
    void Fail(int errnoValue);
    bool WriteAll(const char* data, size_t length);
    bool IsStopped() const { return m_bStop.load(); }

    void Post(Report report) { m_reports.Post(std::move(report)); }
    void End();

    const Batch m_batch;
    const Storage m_storage;
    size_t m_nIndex = 0;
    int m_hFile = -1;
    // Where the current file is written until it is whole.
    CString m_strIncompletePath;
    std::uint32_t m_nFileReceived = 0;
    std::uint32_t m_nBatchReceived = 0;
    // Reads time out (after an interval) only while progress or gathered bytes are held back.
    bool m_bTimedReceive = false;
    // A storage failure has been reported; nothing more is.
    bool m_bFailed = false;
    // Bytes of the current file answered but not yet written.
    std::unique_ptr<char[]> m_pGathered;
    size_t m_nGathered = 0;
    // Bytes of the current file written since it was last flushed behind.
    size_t m_nUnflushed = 0;
    // Bytes of the current file written since the disk was last started on them.
    size_t m_nUnstarted = 0;
    CFilePlacer m_placer;

    std::atomic<bool> m_bStop {false};
    // Guards the socket's descriptor against its close: the stop shuts it down meanwhile, and a
    // number closed could already belong to another connection.
    std::mutex m_lock;
    int m_hSocket;
    // Progress is passed on at most every interval; what is held back goes out before any other
    // report, or once the sender has been silent for an interval. Stop detaches it.
    CReportQueue m_reports;
};
