#pragma once

#include "framework/CString.h"

#include <memory>

class CChatListenSocket;
class IChatRequestWindow;

// Lets an accepted connection open its request window without knowing any widgets. The
// windows library registers the real one at start-up; tests may register their own.
class IChatWindowFactory
{
public:
    virtual ~IChatWindowFactory() = default;

    // Builds the request window, still hidden, for a request from peer. The window takes
    // ownership of the connection; the caller points the connection at the window.
    virtual IChatRequestWindow* CreateChatRequestWindow(
        std::unique_ptr<CChatListenSocket> connection, const CString& peer)
        = 0;
};

IChatWindowFactory* GetChatWindowFactory();
void SetChatWindowFactory(IChatWindowFactory* factory);
