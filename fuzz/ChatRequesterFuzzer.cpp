// The requester's chat connection, connected over a local socket pair to a peer that sends what
// the input says: reads of any content and size, closes, and the user's cancel at any point.
#include "chat/ChatSocket.h"
#include "chat/ChatWindow.h"
#include "chat/SendChatRequestWindow.h"
#include "framework/MainWindowLink.h"
#include "fuzz/FuzzSupport.h"

#include <cstdlib>
#include <memory>

namespace {

class FuzzChatSocket : public CChatSocket
{
public:
    using CChatSocket::CChatSocket;
    // The pair is connected already: what the connect notification would do.
    void Connected() { OnConnect(0); }
};

class NamedMainWindow : public IMainWindow
{
public:
    bool AddPeer(const CString&, const CString&) override { return true; }
    void RemovePeer(const CString&) override { }
    bool IsListed(const CString&, const CString&) const override { return false; }
    CString FindAddressByName(const CString&) const override { return {}; }
    CString FindNameByAddress(const CString&) const override { return {}; }
    CString GetLocalName() const override { return "ANN (PC1)"; }
    void ShowReceivedMessage(const CString&, const CString&, const CString&) override { }
    void SendMessageTo(const CString&, const CString&) override { }
};

// The request window, then the chat window: each end of the conversation destroys the
// connection, as the real windows do.
class Windows : public ISendChatRequestWindow, public IChatWindow
{
public:
    std::unique_ptr<FuzzChatSocket> socket;

    CString GetSubject() const override { return "lunch?\r\n"; }
    void OnChatAccepted() override
    {
        if (chatting) {
            std::abort(); // accepted twice
        }
        chatting = true;
        socket->SetWindow(static_cast<IChatWindow*>(this));
    }
    void OnDeclineReason(const CString& reason) override { End(reason); }
    void OnDeclinedWithoutReason() override { End({}); }
    void ShowReceived(const CString& text) override
    {
        if (!chatting || !fuzz::IsReadText(text, CHAT_READ_SIZE)) {
            std::abort();
        }
    }
    void OnPeerLeft() override
    {
        if (!chatting) {
            std::abort();
        }
        socket.reset();
    }
    bool chatting = false;

private:
    void End(const CString& reason)
    {
        if (chatting || !fuzz::IsReadText(reason, CHAT_READ_SIZE)) {
            std::abort();
        }
        socket.reset();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool started = (fuzz::StartApplication(), true);
    (void)started;
    NamedMainWindow mainWindow;
    AfxSetMainWnd(&mainWindow);
    {
        Windows windows;
        const auto [ours, theirs] = fuzz::StreamPair();
        fuzz::Peer peer(theirs);
        windows.socket = std::make_unique<FuzzChatSocket>(&windows);
        windows.socket->Attach(ours);
        windows.socket->Connected();

        const auto open = [&] { return windows.socket != nullptr; };
        fuzz::Play(data, size, peer,
            {open, [&] { return !open(); },
                [&](fuzz::Script::Action action) {
                    if (action == fuzz::Script::UserA) {
                        windows.socket.reset();
                    } else if (windows.chatting) {
                        SendChatMessage(*windows.socket, "hi\r\n");
                    }
                },
                {}});
    }
    AfxSetMainWnd(nullptr);
    return 0;
}
