#pragma once

#include "framework/CString.h"

// The accepter's "Received Chat Request" window, as its connection sees it. The window owns
// the connection; it exists hidden from the identity on and is shown when the subject arrives.
class IChatRequestWindow
{
public:
    virtual ~IChatRequestWindow() = default;

    virtual void ShowRequest(const CString& subject) = 0;
    // The requester closed the connection (or it broke) before an answer. Destroys the
    // connection.
    virtual void OnRequestCancelled() = 0;
};
