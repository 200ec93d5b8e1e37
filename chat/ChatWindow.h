#pragma once

#include "framework/CString.h"

// What a chatting connection (either side) tells its chat window.
class IChatWindow
{
public:
    virtual ~IChatWindow() = default;

    // A read from the peer, possibly several lines or part of one.
    virtual void ShowReceived(const CString& text) = 0;
    // The peer closed the connection, or it broke.
    virtual void OnPeerLeft() = 0;
};
