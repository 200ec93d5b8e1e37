#pragma once

#include "framework/CString.h"

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
// Only a read of exactly the two bytes "OK" counts.
bool IsChatOk(const CString& text);
