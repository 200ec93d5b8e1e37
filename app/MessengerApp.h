#pragma once

#include "framework/WinApp.h"

// The application: checks the network, then runs the main window as the program's main loop.
class CMessengerApp : public CWinApp
{
public:
    bool InitInstance() override;

protected:
    // On Linux nothing needs starting; what can fail is creating an IPv4 datagram socket.
    virtual bool StartSocketLayer();
};
