#pragma once

#include <atomic>

class CPresenceSocket;

// The goodbye at the end of the run, sent exactly once however the run ends: the main window's
// destruction, a termination signal, Qt's aboutToQuit, or exit(), which Qt calls when the
// display connection breaks at log-off and which unwinds no stack (so an exit handler sends it).
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

    CPresenceSocket& m_socket;
    std::atomic<bool> m_bSent = false;
};
