#include "chat/ChatProtocol.h"

#include "framework/MainWindowLink.h"
#include "net/AsyncSocket.h"

#include <array>
#include <cstring>

#include <linux/sockios.h>
#include <sys/ioctl.h>

CString ReceiveChatMessage(CAsyncSocket& socket)
{
    std::array<char, CHAT_READ_SIZE> buffer {};
    const int received = socket.Receive(buffer.data(), CHAT_READ_SIZE);
    if (received <= 0) {
        return {};
    }
    const size_t length = strnlen(buffer.data(), static_cast<size_t>(received));
    return CString(buffer.data(), length);
}

void SendChatMessage(CAsyncSocket& socket, const CString& text)
{
    if (!text.empty()) {
        socket.Send(text.data(), static_cast<int>(text.size()));
    }
}

CString PeerAddressOf(CAsyncSocket& socket)
{
    CString address;
    unsigned port = 0;
    socket.GetPeerName(address, port);
    return address;
}

CString ReadChatText(CAsyncSocket& socket, const CString& bytes)
{
    return bytes.empty() ? bytes : ReadFromPeer(PeerAddressOf(socket), bytes);
}

ChatSendResult SendChatText(CAsyncSocket& socket, const CString& text, std::size_t maxBytes)
{
    const CString bytes = WriteForPeer(PeerAddressOf(socket), text, maxBytes);
    ChatSendResult result;
    result.bytes = bytes.size();
    if (bytes.empty()) {
        result.whole = true;
        return result;
    }
    const int sent = socket.Send(bytes.data(), static_cast<int>(bytes.size()));
    result.whole = sent == static_cast<int>(bytes.size());
    result.broken = sent == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK;
    return result;
}

std::size_t UnacknowledgedBytes(const CAsyncSocket& socket)
{
    int waiting = 0;
    if (socket.m_hSocket == INVALID_SOCKET || ioctl(socket.m_hSocket, SIOCOUTQ, &waiting) != 0
        || waiting < 0) {
        return 0;
    }
    return static_cast<std::size_t>(waiting);
}

bool IsChatOk(const CString& text)
{
    return text == CHAT_OK;
}
