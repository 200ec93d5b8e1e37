#include "net/IdleSweep.h"

#include <QTimer>

namespace {
IdleLimits g_limits;
}

const IdleLimits& GetIdleLimits()
{
    return g_limits;
}

void SetIdleLimits(const IdleLimits& limits)
{
    g_limits = limits;
}

CIdleSweep::CIdleSweep(std::function<void()> sweep)
    : m_pTimer(std::make_unique<QTimer>())
{
    QObject::connect(m_pTimer.get(), &QTimer::timeout, m_pTimer.get(), std::move(sweep));
}

CIdleSweep::~CIdleSweep() = default;

void CIdleSweep::Update(bool anythingWaiting)
{
    if (!anythingWaiting) {
        m_pTimer->stop();
        return;
    }
    const int interval = static_cast<int>(g_limits.sweepInterval.count());
    if (!m_pTimer->isActive() || m_pTimer->interval() != interval) {
        m_pTimer->start(interval);
    }
}

bool CIdleSweep::HasExpired(std::chrono::steady_clock::time_point acceptedAt)
{
    return std::chrono::steady_clock::now() - acceptedAt >= g_limits.timeout;
}
