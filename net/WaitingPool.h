#pragma once

#include "net/IdleSweep.h"
#include "net/WindowQuota.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

// What a listener holds until a request shows its window: an accepted connection, or a hidden
// window that already owns one. At most IdleLimits::maxWaiting are held; a newcomer is never
// turned away but makes room by closing the oldest entry that has said nothing (or the oldest
// one); an entry quiet for the idle time-out is closed by a sweep that runs only while something
// waits. A complete request leaves the pool with a window slot for its source address, or is
// closed when that address, or the whole program, has its fill of windows (CWindowQuota).
//
// The pool owns what it holds: destroying an entry closes its connection.
class CWaitingPool
{
public:
    using Clock = std::chrono::steady_clock;

    CWaitingPool();
    ~CWaitingPool();
    CWaitingPool(const CWaitingPool&) = delete;
    CWaitingPool& operator=(const CWaitingPool&) = delete;

    // Takes ownership. A silent entry has not yet said anything; since is when it was last heard.
    template<class T>
    void Add(std::unique_ptr<T> entry, bool silent = true, Clock::time_point since = Clock::now())
    {
        T* object = entry.release();
        Insert({object, Owned(object, [](void* owned) { delete static_cast<T*>(owned); }), since, silent});
    }

    // Hands an entry back to the caller, or null when the pool does not hold it.
    template<class T> std::unique_ptr<T> Take(T* object)
    {
        return std::unique_ptr<T>(static_cast<T*>(TakeOwned(object)));
    }

    template<class T> struct Claimed
    {
        std::unique_ptr<T> entry;
        CWindowQuota::CSlot slot;
    };
    // The request of this entry is complete: takes it out with a window slot for source, or
    // destroys it (nothing more is sent, the connection just closes) and returns nothing when
    // no window may open for source now, or the pool does not hold it.
    template<class T> Claimed<T> Claim(T* object, const CString& source)
    {
        std::unique_ptr<T> entry = Take(object);
        if (!entry) {
            return {};
        }
        CWindowQuota::CSlot slot = NetworkWindows().TryAcquire(source);
        if (!slot) {
            entry.reset();
            return {};
        }
        return {std::move(entry), std::move(slot)};
    }

    // Destroys an entry; false when the pool does not hold it.
    bool Remove(const void* object);
    // The entry was heard from: no longer silent, and its quiet time starts again.
    void Touch(const void* object);

    std::size_t GetCount() const { return m_entries.size(); }
    std::size_t GetSilentCount() const;

private:
    using Owned = std::unique_ptr<void, void (*)(void*)>;
    struct Entry
    {
        const void* key;
        Owned owned;
        Clock::time_point heardAt;
        bool silent;
    };

    void Insert(Entry entry);
    void* TakeOwned(const void* object);
    void SweepIdle();
    void UpdateSweep();

    // Oldest first.
    std::vector<Entry> m_entries;
    // Made with the first entry: most instances of a listener class are connections.
    std::unique_ptr<CIdleSweep> m_pSweep;
};
