#pragma once

#include "framework/CString.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

class QObject;

// Carries what a transfer's worker thread tells the user-interface thread, in the order it
// happened. Progress is passed on at most every interval, and progress that follows progress
// replaces it, so a slow user-interface thread gets the latest figures rather than a backlog; a
// queue that becomes non-empty wakes the user-interface thread once.
class CReportQueue
{
public:
    // Progress reaches the window at most this often; each report wakes the user-interface
    // thread, which would otherwise cost a wake-up per chunk or read. The windows redraw at most
    // every 200 ms with the latest figures they have, which this keeps at most 100 ms old; more
    // frequent reports would wake the thread for nothing, and with several transfers at once
    // those wake-ups also move the workers away from their peers' processors. The interval also
    // paces the receiver's look at a quiet sender.
    static constexpr std::chrono::milliseconds PROGRESS_INTERVAL {100};

    struct Report
    {
        enum Kind { File, Total, Progress, Finished, Closed, Failed };
        Kind kind;
        // File: its size and its name in text. Total: the batch total in batch. Progress and
        // Finished: bytes of the file and of the batch so far. Failed: the message in text.
        // Closed: the peer left.
        std::uint32_t file = 0;
        std::uint32_t batch = 0;
        CString text;
    };

    // deliver runs on the calling (user-interface) thread whenever reports are waiting, until
    // Detach.
    explicit CReportQueue(std::function<void()> deliver);
    // A delivery still queued dies with the mailbox.
    ~CReportQueue();
    CReportQueue(const CReportQueue&) = delete;
    CReportQueue& operator=(const CReportQueue&) = delete;

    // Worker thread, or the user-interface thread before the worker starts. What is held back
    // goes out before any other report, or with FlushHeldProgress.
    void Post(Report report);
    void FlushHeldProgress();
    bool HasHeldProgress() const { return m_heldProgress.has_value(); }
    // When held progress is due.
    std::chrono::steady_clock::time_point NextProgress() const { return m_nextProgress; }

    // User-interface thread: the reports waiting, oldest first.
    std::vector<Report> Take();
    // User-interface thread: drops what is waiting; nothing more is queued or delivered.
    void Detach();

private:
    void Enqueue(Report report);

    // Owned by the worker side.
    std::optional<Report> m_heldProgress;
    std::chrono::steady_clock::time_point m_nextProgress;

    // Guards the reports and the mailbox.
    std::mutex m_lock;
    std::vector<Report> m_reports;
    // Carries the delivery to the user-interface thread; Detach destroys it.
    QObject* m_pMailbox = nullptr;
    const std::function<void()> m_deliver;
};
