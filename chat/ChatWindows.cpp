#include "chat/ChatWindows.h"

#include "chat/ChatRequestDialog.h"
#include "chat/ChatWindowFactory.h"

namespace {
class CChatWindows : public IChatWindowFactory
{
public:
    IChatRequestWindow* CreateChatRequestWindow(
        std::unique_ptr<CChatListenSocket> connection, const CString& peer) override
    {
        auto* window = new CChatRequestDialog(std::move(connection));
        window->m_strPeer = peer;
        window->m_strHeader = "Received Chat Request From " + peer;
        return window;
    }
};
} // namespace

void RegisterChatWindows()
{
    static CChatWindows windows;
    SetChatWindowFactory(&windows);
}
