#pragma once

// What a connection of any kind (chat or file) tells the window in which its request is being
// declined. Protocol code knows the window only through this.
class IDeclineWindow
{
public:
    virtual ~IDeclineWindow() = default;

    // The requester closed the connection (or it broke) before the reason was sent.
    virtual void OnRequestCancelled() = 0;
};
