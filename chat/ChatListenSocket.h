#pragma once

#include "net/AsyncSocket.h"

constexpr unsigned CHAT_PORT = 101;

// The listener on TCP port 101. Until chats are built, it accepts each connection and lets it go
// at once, so a waiting connection cannot keep the listener busy.
class CChatListenSocket : public CAsyncSocket
{
public:
    bool CreateListener(unsigned port = CHAT_PORT);

protected:
    void OnAccept(int errorCode) override;
};
