#include "chat/ChatListenSocket.h"

bool CChatListenSocket::CreateListener(unsigned port)
{
    return Create(port, SOCK_STREAM, FD_ALL_EVENTS);
}

void CChatListenSocket::OnAccept(int)
{
    CAsyncSocket connection;
    Accept(connection);
}
