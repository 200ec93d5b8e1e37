#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

class QTimer;

// How long a listener holds a connection that has not yet shown a window, and how many it holds.
// A real peer introduces itself at once, so only a silent or stalled connection ever meets them.
struct IdleLimits
{
    std::chrono::milliseconds timeout {30000};
    std::chrono::milliseconds sweepInterval {5000};
    // Beyond this many, the oldest silent connection makes room for a newcomer.
    std::size_t maxWaiting = 64;
};

const IdleLimits& GetIdleLimits();
// Tests shorten the time-out and the sweep interval instead of waiting them out.
void SetIdleLimits(const IdleLimits& limits);

// One timer per listener, running only while something waits, that calls the sweep.
class CIdleSweep
{
public:
    explicit CIdleSweep(std::function<void()> sweep);
    ~CIdleSweep();
    CIdleSweep(const CIdleSweep&) = delete;
    CIdleSweep& operator=(const CIdleSweep&) = delete;

    void Update(bool anythingWaiting);

    // True when a connection accepted at that moment has waited past the time-out.
    static bool HasExpired(std::chrono::steady_clock::time_point acceptedAt);

private:
    std::unique_ptr<QTimer> m_pTimer;
};
