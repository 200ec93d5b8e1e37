// The accepter's chat listener, listening on a local socket; one connection sends what the input
// says, and the user accepts, declines or closes the request window at any point.
#include "chat/ChatListenSocket.h"
#include "chat/ChatRequestWindow.h"
#include "chat/ChatWindow.h"
#include "chat/ChatWindowFactory.h"
#include "chat/DeclineWindow.h"
#include "fuzz/FuzzSupport.h"

#include <cstdlib>
#include <memory>
#include <set>

namespace {

// The request window, then the chat or decline window. It owns the connection and goes with it;
// the listener deletes the ones still hidden when it goes.
class Windows : public IChatRequestWindow, public IChatWindow, public IDeclineWindow
{
public:
    Windows(std::unique_ptr<CChatListenSocket> connection, const CString& peer)
        : socket(std::move(connection))
    {
        if (!fuzz::IsReadText(peer, CHAT_READ_SIZE)) {
            std::abort();
        }
        socket->SetWindow(static_cast<IChatRequestWindow*>(this));
        s_live.insert(this);
    }
    ~Windows() override { s_live.erase(this); }

    void ShowRequest(const CString& subject) override
    {
        if (shown || !fuzz::IsReadText(subject, CHAT_READ_SIZE)) {
            std::abort(); // shown twice
        }
        shown = true;
    }
    void OnRequestCancelled() override { delete this; }
    void ShowReceived(const CString& text) override
    {
        if (socket->GetState() != CChatListenSocket::Chatting || !fuzz::IsReadText(text, CHAT_READ_SIZE)) {
            std::abort();
        }
    }
    void OnPeerLeft() override { delete this; }

    void Accept()
    {
        socket->AcceptChat();
        socket->SetWindow(static_cast<IChatWindow*>(this));
    }
    void Decline()
    {
        socket->DeclineChat();
        socket->SetWindow(static_cast<IDeclineWindow*>(this));
    }

    std::unique_ptr<CChatListenSocket> socket;
    bool shown = false;
    static inline std::set<Windows*> s_live;
};

class Factory : public IChatWindowFactory
{
public:
    IChatRequestWindow* CreateChatRequestWindow(
        std::unique_ptr<CChatListenSocket> connection, const CString& peer) override
    {
        return new Windows(std::move(connection), peer);
    }
};

Windows* ShownWindow()
{
    for (Windows* windows : Windows::s_live) {
        if (windows->shown) {
            return windows;
        }
    }
    return nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool started = (fuzz::StartApplication(), true);
    (void)started;
    static Factory factory;
    SetChatWindowFactory(&factory);
    {
        const fuzz::LocalListener local = fuzz::MakeLocalListener();
        CChatListenSocket listener;
        listener.Attach(local.fd);
        fuzz::Peer peer(local.connect());
        fuzz::Pump([&] { return listener.GetUnclaimedCount() == 1; });

        fuzz::Play(data, size, peer,
            {{}, [&] { return Windows::s_live.empty() && listener.GetUnclaimedCount() == 0; },
                [&](fuzz::Script::Action action) {
                    Windows* shown = ShownWindow();
                    const bool requested = shown && shown->socket->GetState() == CChatListenSocket::Requested;
                    if (action == fuzz::Script::UserA && requested) {
                        shown->Accept();
                    } else if (action == fuzz::Script::UserB && requested) {
                        shown->Decline();
                    } else if (action == fuzz::Script::UserC) {
                        delete shown;
                    }
                },
                [&] {
                    if (listener.GetUnclaimedCount() + listener.GetHiddenWindowCount() > 1) {
                        std::abort(); // one connection cannot wait twice
                    }
                }});
    }
    // What the listener did not take with it.
    while (!Windows::s_live.empty()) {
        delete *Windows::s_live.begin();
    }
    SetChatWindowFactory(nullptr);
    return 0;
}
