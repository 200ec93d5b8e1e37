#pragma once

#include "framework/CString.h"
#include "framework/WinApp.h"

// The application: checks the network, then runs the main window as the program's main loop.
class CMessengerApp : public CWinApp
{
public:
    bool InitInstance() override;

    // Started by the session (at login, or restoring it): a copy already running is left alone.
    bool m_bQuietStart = false;
    // The launcher's startup id, passed on to a copy already running so that it may take focus.
    CString m_strStartupId;
    // The process's exit status once InitInstance has returned.
    int m_nExitCode = 0;

protected:
    // On Linux nothing needs starting; what can fail is creating an IPv4 datagram socket.
    virtual bool StartSocketLayer();
};
