#include "net/WaitingPool.h"

#include <algorithm>

CWaitingPool::CWaitingPool() = default;

CWaitingPool::~CWaitingPool()
{
    m_pSweep.reset();
    // Moved out first: nothing an entry does while it goes may find the pool half cleared.
    auto entries = std::move(m_entries);
    m_entries.clear();
    entries.clear();
}

void CWaitingPool::Insert(Entry entry)
{
    const std::size_t limit = std::max<std::size_t>(GetIdleLimits().maxWaiting, 1);
    while (m_entries.size() >= limit) {
        const auto silent = std::find_if(
            m_entries.begin(), m_entries.end(), [](const Entry& waiting) { return waiting.silent; });
        Entry oldest = std::move(*(silent != m_entries.end() ? silent : m_entries.begin()));
        m_entries.erase(silent != m_entries.end() ? silent : m_entries.begin());
    }
    m_entries.push_back(std::move(entry));
    UpdateSweep();
}

void* CWaitingPool::TakeOwned(const void* object)
{
    const auto found = std::find_if(
        m_entries.begin(), m_entries.end(), [object](const Entry& entry) { return entry.key == object; });
    if (found == m_entries.end()) {
        return nullptr;
    }
    void* owned = found->owned.release();
    m_entries.erase(found);
    UpdateSweep();
    return owned;
}

bool CWaitingPool::Remove(const void* object)
{
    const auto found = std::find_if(
        m_entries.begin(), m_entries.end(), [object](const Entry& entry) { return entry.key == object; });
    if (found == m_entries.end()) {
        return false;
    }
    Entry removed = std::move(*found);
    m_entries.erase(found);
    UpdateSweep();
    return true;
}

void CWaitingPool::Touch(const void* object)
{
    for (Entry& entry : m_entries) {
        if (entry.key == object) {
            entry.heardAt = Clock::now();
            entry.silent = false;
            return;
        }
    }
}

std::size_t CWaitingPool::GetSilentCount() const
{
    return static_cast<std::size_t>(
        std::count_if(m_entries.begin(), m_entries.end(), [](const Entry& entry) { return entry.silent; }));
}

void CWaitingPool::SweepIdle()
{
    std::vector<Entry> expired;
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (CIdleSweep::HasExpired(it->heardAt)) {
            expired.push_back(std::move(*it));
            it = m_entries.erase(it);
        } else {
            ++it;
        }
    }
    UpdateSweep();
    expired.clear();
}

void CWaitingPool::UpdateSweep()
{
    if (!m_pSweep) {
        if (m_entries.empty()) {
            return;
        }
        m_pSweep = std::make_unique<CIdleSweep>([this] { SweepIdle(); });
    }
    m_pSweep->Update(!m_entries.empty());
}
