#include "transfer/FileListenSocket.h"

bool CFileListenSocket::CreateListener(unsigned port)
{
    return Create(port, SOCK_STREAM, FD_ALL_EVENTS);
}

void CFileListenSocket::OnAccept(int)
{
    CAsyncSocket connection;
    Accept(connection);
}
