#include "net/WindowQuota.h"

#include <utility>

CWindowQuota::CSlot::CSlot(CWindowQuota* quota, CString source)
    : m_pQuota(quota)
    , m_strSource(std::move(source))
{
}

CWindowQuota::CSlot::CSlot(CSlot&& other) noexcept
    : m_pQuota(std::exchange(other.m_pQuota, nullptr))
    , m_strSource(std::move(other.m_strSource))
{
}

CWindowQuota::CSlot& CWindowQuota::CSlot::operator=(CSlot&& other) noexcept
{
    if (this != &other) {
        Release();
        m_pQuota = std::exchange(other.m_pQuota, nullptr);
        m_strSource = std::move(other.m_strSource);
    }
    return *this;
}

CWindowQuota::CSlot::~CSlot()
{
    Release();
}

void CWindowQuota::CSlot::Release()
{
    if (CWindowQuota* quota = std::exchange(m_pQuota, nullptr)) {
        quota->Release(m_strSource);
    }
}

CWindowQuota::CWindowQuota(std::size_t perSource, std::size_t total)
    : m_nPerSource(perSource)
    , m_nMaxTotal(total)
{
}

CWindowQuota::CSlot CWindowQuota::TryAcquire(const CString& source)
{
    if (m_nTotal >= m_nMaxTotal) {
        return {};
    }
    std::size_t& count = m_counts[source];
    if (count >= m_nPerSource) {
        return {};
    }
    ++count;
    ++m_nTotal;
    return CSlot(this, source);
}

std::size_t CWindowQuota::GetCount(const CString& source) const
{
    const auto found = m_counts.find(source);
    return found == m_counts.end() ? 0 : found->second;
}

void CWindowQuota::Release(const CString& source)
{
    const auto found = m_counts.find(source);
    if (found == m_counts.end()) {
        return;
    }
    --m_nTotal;
    if (--found->second == 0) {
        m_counts.erase(found);
    }
}

CWindowQuota& NetworkWindows()
{
    // Never destroyed: slots held by other statics (the open notices) may go after it at exit.
    static auto* quota = new CWindowQuota;
    return *quota;
}
