#include "framework/ManualResetEvent.h"

#include <chrono>

void CManualResetEvent::Set()
{
    {
        std::lock_guard lock(m_mutex);
        m_bSet = true;
    }
    m_changed.notify_all();
}

void CManualResetEvent::Reset()
{
    std::lock_guard lock(m_mutex);
    m_bSet = false;
}

bool CManualResetEvent::Wait(int timeoutMs)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_bSet; });
}
