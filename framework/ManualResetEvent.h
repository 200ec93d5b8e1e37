#pragma once

#include <condition_variable>
#include <mutex>

// An event that stays set until it is reset, shared between two threads.
class CManualResetEvent
{
public:
    void Set();
    void Reset();
    // Waits until the event is set or the time runs out; true when it is set.
    bool Wait(int timeoutMs);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bSet = false;
};
