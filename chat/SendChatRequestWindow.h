#pragma once

#include "framework/CString.h"

// What the requester's connection asks of and tells the window that sent the request. Each
// On... call ends with the connection handed over to another window or destroyed.
class ISendChatRequestWindow
{
public:
    virtual ~ISendChatRequestWindow() = default;

    // The subject as it goes on the wire, ending in CR LF.
    virtual CString GetSubject() const = 0;
    virtual void OnChatAccepted() = 0;
    virtual void OnDeclineReason(const CString& reason) = 0;
    virtual void OnDeclinedWithoutReason() = 0;
};
