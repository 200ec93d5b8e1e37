#include "chat/ChatListenSocket.h"

#include "chat/ChatRequestWindow.h"
#include "chat/ChatWindow.h"
#include "chat/ChatWindowFactory.h"
#include "chat/DeclineWindow.h"
#include "framework/Alert.h"

#include <algorithm>

CChatListenSocket::CChatListenSocket() = default;

CChatListenSocket::~CChatListenSocket()
{
    // A hidden request window owns its connection; both go with the listener.
    const auto hidden = std::move(m_hiddenWindows);
    for (IChatRequestWindow* window : hidden) {
        delete window;
    }
    m_unclaimed.clear();
}

bool CChatListenSocket::CreateListener(unsigned port)
{
    return Create(port, SOCK_STREAM, FD_ALL_EVENTS);
}

void CChatListenSocket::AcceptChat()
{
    SendChatMessage(*this, CHAT_OK);
    m_nState = Chatting;
}

void CChatListenSocket::DeclineChat()
{
    SendChatMessage(*this, CHAT_NO_WAY);
    m_nState = Declined;
}

void CChatListenSocket::OnAccept(int)
{
    if (m_unclaimed.size() >= MAX_UNCLAIMED) {
        CAsyncSocket turnedAway;
        Accept(turnedAway);
        return;
    }
    auto connection = std::make_unique<CChatListenSocket>();
    if (Accept(*connection)) {
        connection->m_pListener = this;
        m_unclaimed.push_back(std::move(connection));
    }
}

void CChatListenSocket::OnReceive(int)
{
    const CString text = ReceiveChatMessage(*this);
    switch (m_nState) {
    case AwaitIdentity:
        OnIdentity(text);
        return;
    case Requested:
        // Anything after the subject means nothing; the request is shown once.
        if (!m_bRequestShown) {
            OnSubject(text);
        }
        return;
    case Chatting:
        if (m_pChatWindow) {
            m_pChatWindow->ShowReceived(text);
        }
        return;
    default:
        return;
    }
}

void CChatListenSocket::OnClose(int)
{
    // Every window called here destroys this connection.
    switch (m_nState) {
    case AwaitIdentity:
        // No window yet and nothing to tell: let the connection go quietly.
        if (m_pListener) {
            m_pListener->Release(this);
        }
        return;
    case Requested:
        if (m_pRequestWindow) {
            if (!m_bRequestShown && m_pListener) {
                m_pListener->ForgetHiddenWindow(m_pRequestWindow);
            }
            m_pRequestWindow->OnRequestCancelled();
        }
        return;
    case Declined:
        if (m_pDeclineWindow) {
            m_pDeclineWindow->OnRequestCancelled();
        }
        return;
    case Chatting:
        if (m_pChatWindow) {
            m_pChatWindow->OnPeerLeft();
        }
        return;
    default:
        return;
    }
}

void CChatListenSocket::OnIdentity(const CString& identity)
{
    SendChatMessage(*this, CHAT_OK);
    CChatListenSocket* listener = m_pListener;
    IChatWindowFactory* factory = GetChatWindowFactory();
    if (!listener) {
        return;
    }
    std::unique_ptr<CChatListenSocket> self = listener->Release(this);
    if (!factory || !self) {
        return; // released: nobody could answer the request
    }
    m_nState = Requested;
    // The request window owns this connection from here on.
    IChatRequestWindow* window = factory->CreateChatRequestWindow(std::move(self), identity);
    m_pRequestWindow = window;
    listener->m_hiddenWindows.push_back(window);
}

void CChatListenSocket::OnSubject(const CString& subject)
{
    m_bRequestShown = true;
    if (m_pListener) {
        m_pListener->ForgetHiddenWindow(m_pRequestWindow);
        m_pListener = nullptr;
    }
    MessageBeep();
    if (m_pRequestWindow) {
        m_pRequestWindow->ShowRequest(subject);
    }
}

std::unique_ptr<CChatListenSocket> CChatListenSocket::Release(CChatListenSocket* connection)
{
    const auto found = std::find_if(m_unclaimed.begin(), m_unclaimed.end(),
        [connection](const auto& unclaimed) { return unclaimed.get() == connection; });
    if (found == m_unclaimed.end()) {
        return nullptr;
    }
    std::unique_ptr<CChatListenSocket> released = std::move(*found);
    m_unclaimed.erase(found);
    return released;
}

void CChatListenSocket::ForgetHiddenWindow(IChatRequestWindow* window)
{
    std::erase(m_hiddenWindows, window);
}
