#include "app/LeaveAtEnd.h"

#include "net/PresenceSocket.h"

#include <QString>

#include <atomic>
#include <cstdlib>
#include <mutex>

namespace {
// Held while the leave goes out and while the guard ends. A thread that comes second (Qt may say
// the display is gone on two threads) waits until the datagram is out before Qt's _exit(), and
// the guard, with the socket it sends on, outlives any send under way. Recursive, since the
// exit handler sends through Send().
std::recursive_mutex g_sendLock;
// The run's guard while it lives, for the exit handler.
CLeaveAtEnd* g_pActive = nullptr;
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
    const std::lock_guard lock(g_sendLock);
    g_pActive = this;
}

CLeaveAtEnd::~CLeaveAtEnd()
{
    const std::lock_guard lock(g_sendLock);
    if (g_pActive == this) {
        g_pActive = nullptr;
    }
}

void CLeaveAtEnd::Send()
{
    const std::lock_guard lock(g_sendLock);
    if (!m_bSent) {
        m_bSent = true;
        m_socket.SendLeave();
    }
}

void CLeaveAtEnd::OnExit()
{
    const std::lock_guard lock(g_sendLock);
    if (g_pActive) {
        g_pActive->Send();
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
