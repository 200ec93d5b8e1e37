#pragma once

#include "net/AsyncSocket.h"

constexpr unsigned FILE_PORT = 102;

// The listener on TCP port 102. Until file transfer is built, it accepts each connection and lets
// it go at once.
class CFileListenSocket : public CAsyncSocket
{
public:
    bool CreateListener(unsigned port = FILE_PORT);

protected:
    void OnAccept(int errorCode) override;
};
