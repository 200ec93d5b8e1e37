#pragma once

#include <QtGlobal>

class CPresenceSocket;

// The goodbye at the end of the run, sent exactly once however the run ends: the main window's
// destruction, a termination signal, Qt's aboutToQuit, or a lost display at log-off. For that
// Qt calls exit() under X, which unwinds no stack (so an exit handler sends it), and _exit()
// under Wayland, which runs no exit handler either; the warning Qt prints just before is the
// last the program hears, so that sends it in both cases (unless the logging rules turn Qt's
// warnings off, which silences them before any handler).
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
    bool m_bSent = false;
};
