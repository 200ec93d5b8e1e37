#pragma once

#include "framework/CString.h"

#include <cstddef>
#include <cstdint>

class CAsyncSocket;

// Wire constants of the chat connection (TCP port 101).
constexpr unsigned CHAT_PORT = 101;
constexpr int CHAT_LISTEN_BACKLOG = 5;
constexpr int CHAT_READ_SIZE = 2000;
inline constexpr char CHAT_OK[] = "OK";
inline constexpr char CHAT_NO_WAY[] = "NO WAY";
inline constexpr char CHAT_LINE_END[] = "\r\n";

// One read is one message: at most CHAT_READ_SIZE bytes, cut at the first zero byte. A failed
// read gives the empty text.
CString ReceiveChatMessage(CAsyncSocket& socket);
// One message is one send; an empty text sends nothing.
void SendChatMessage(CAsyncSocket& socket, const CString& text);
// The address of the peer at the other end; empty text once it is gone.
CString PeerAddressOf(CAsyncSocket& socket);
// A text from the peer (a subject, a reason, chat lines), read as the peer writes it.
CString ReadChatText(CAsyncSocket& socket, const CString& bytes);
// Text written as the peer reads it, in one send of at most maxBytes, never cut inside a
// character. The bytes it took, and whether the connection took them all.
struct ChatSendResult
{
    std::size_t bytes = 0;
    bool whole = false;
    // The connection is broken: nothing more can go.
    bool broken = false;
};
ChatSendResult SendChatText(CAsyncSocket& socket, const CString& text, std::size_t maxBytes = SIZE_MAX);
// Bytes sent that the peer's computer has not yet acknowledged; also after the connection broke.
std::size_t UnacknowledgedBytes(const CAsyncSocket& socket);
// Only a read of exactly the two bytes "OK" counts.
bool IsChatOk(const CString& text);
