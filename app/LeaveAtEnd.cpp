#include "app/LeaveAtEnd.h"

#include "net/PresenceSocket.h"

#include <QString>

#include <cstdlib>

namespace {
// The run's guard while it lives, for the exit handler.
std::atomic<CLeaveAtEnd*> g_pActive = nullptr;
// Set just after ours is installed, which another thread may already be calling.
std::atomic<QtMessageHandler> g_previousHandler = nullptr;
} // namespace

CLeaveAtEnd::CLeaveAtEnd(CPresenceSocket& socket)
    : m_socket(socket)
{
    // Once for the whole run, however many guards come and go.
    static const bool hooked = [] {
        g_previousHandler = qInstallMessageHandler(&CLeaveAtEnd::OnMessage);
        return std::atexit(&CLeaveAtEnd::OnExit) == 0;
    }();
    (void)hooked;
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

void CLeaveAtEnd::OnMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // Qt's last words before it ends the run for a lost display, printed on the user-interface
    // thread or on one of its Wayland threads. Under X the exit handler would send the leave as
    // well, but only after whatever exit() destroys first.
    if (type != QtDebugMsg && type != QtInfoMsg
        && (message.startsWith(QLatin1String("The Wayland connection"))
            || message.startsWith(QLatin1String("The X11 connection broke")))) {
        OnExit();
    }
    if (const QtMessageHandler previous = g_previousHandler.load()) {
        previous(type, context, message);
    }
}
