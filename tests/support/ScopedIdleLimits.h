#pragma once

#include "net/IdleSweep.h"

// Shortens the listeners' idle limits for one test and puts the old ones back afterwards.
class ScopedIdleLimits
{
public:
    explicit ScopedIdleLimits(const IdleLimits& limits)
        : m_saved(GetIdleLimits())
    {
        SetIdleLimits(limits);
    }
    ~ScopedIdleLimits() { SetIdleLimits(m_saved); }
    ScopedIdleLimits(const ScopedIdleLimits&) = delete;
    ScopedIdleLimits& operator=(const ScopedIdleLimits&) = delete;

private:
    IdleLimits m_saved;
};
