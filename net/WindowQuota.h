#pragma once

#include "framework/CString.h"

#include <cstddef>
#include <map>

// How many windows hosts on the network keep open at once: Receive Message, Received Chat Request
// and File Request windows and the ownerless "Request Cancelled By" notices, each from when it is
// shown until it closes or hands its connection on. A host, whose source address costs nothing to
// forge, cannot bury the user in windows, and every other host still gets its own.
class CWindowQuota
{
public:
    static constexpr std::size_t MAX_PER_SOURCE = 10;
    static constexpr std::size_t MAX_TOTAL = 200;

    // One window's place, given back when the slot is released or destroyed. An empty slot holds
    // nothing.
    class CSlot
    {
    public:
        CSlot() = default;
        CSlot(CSlot&& other) noexcept;
        CSlot& operator=(CSlot&& other) noexcept;
        ~CSlot();

        void Release();
        explicit operator bool() const { return m_pQuota != nullptr; }

    private:
        friend class CWindowQuota;
        CSlot(CWindowQuota* quota, CString source);

        CWindowQuota* m_pQuota = nullptr;
        CString m_strSource;
    };

    explicit CWindowQuota(std::size_t perSource = MAX_PER_SOURCE, std::size_t total = MAX_TOTAL);
    // Slots must not outlive their quota.
    ~CWindowQuota() = default;
    CWindowQuota(const CWindowQuota&) = delete;
    CWindowQuota& operator=(const CWindowQuota&) = delete;

    // An empty slot when the source, or all sources together, have their fill of windows.
    CSlot TryAcquire(const CString& source);

    std::size_t GetCount() const { return m_nTotal; }
    std::size_t GetCount(const CString& source) const;

private:
    void Release(const CString& source);

    std::size_t m_nPerSource;
    std::size_t m_nMaxTotal;
    std::size_t m_nTotal = 0;
    std::map<CString, std::size_t> m_counts;
};

// The program's one quota; the user-interface thread uses it.
CWindowQuota& NetworkWindows();
