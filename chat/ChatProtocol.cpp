#include "chat/ChatProtocol.h"

#include "framework/MainWindowLink.h"
#include "net/AsyncSocket.h"

#include <array>
#include <cstring>

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

void SendChatText(CAsyncSocket& socket, const CString& text, std::size_t maxBytes)
{
    SendChatMessage(socket, WriteForPeer(PeerAddressOf(socket), text, maxBytes));
}

bool IsChatOk(const CString& text)
{
    return text == CHAT_OK;
}
