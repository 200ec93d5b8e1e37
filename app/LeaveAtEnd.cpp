#include "app/LeaveAtEnd.h"

#include "net/PresenceSocket.h"

#include <cstdlib>

namespace {
// The run's guard while it lives, for the exit handler.
std::atomic<CLeaveAtEnd*> g_pActive = nullptr;
} // namespace

CLeaveAtEnd::CLeaveAtEnd(CPresenceSocket& socket)
    : m_socket(socket)
{
    static const bool registered = std::atexit(&CLeaveAtEnd::OnExit) == 0;
    (void)registered;
    g_pActive = this;
}

CLeaveAtEnd::~CLeaveAtEnd()
{
    CLeaveAtEnd* self = this;
    g_pActive.compare_exchange_strong(self, nullptr);
}

void CLeaveAtEnd::Send()
{
    if (!m_bSent.exchange(true)) {
        m_socket.SendLeave();
    }
}

void CLeaveAtEnd::OnExit()
{
    if (CLeaveAtEnd* active = g_pActive.load()) {
        active->Send();
    }
}
