#pragma once

#include <QtGlobal>

#include <atomic>

class CPresenceSocket;

// The goodbye at the end of the run, sent exactly once however the run ends: the main window's
// destruction, a termination signal, Qt's aboutToQuit, or exit(), which Qt calls when the X
// display connection breaks at log-off and which unwinds no stack (so an exit handler sends it).
// When the Wayland compositor goes away Qt ends the run with _exit(), which runs no exit handler;
// the warning it prints just before is the last the program hears, so that sends it.
// Qt's commit-data request is no end: it comes at save points and at cancellable log-offs.
class CLeaveAtEnd
{
public:
    explicit CLeaveAtEnd(CPresenceSocket& socket);
    ~CLeaveAtEnd();
    CLeaveAtEnd(const CLeaveAtEnd&) = delete;
    CLeaveAtEnd& operator=(const CLeaveAtEnd&) = delete;

    // Sends the leave datagram unless it has gone out already.
    void Send();

private:
    static void OnExit();
    static void OnMessage(QtMsgType type, const QMessageLogContext& context, const QString& message);

    CPresenceSocket& m_socket;
    std::atomic<bool> m_bSent = false;
};
