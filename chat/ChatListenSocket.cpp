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
    m_pSweep.reset();
    const auto hidden = std::move(m_hiddenWindows);
    for (const HiddenWindow& hiddenWindow : hidden) {
        delete hiddenWindow.window;
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
    auto connection = std::make_unique<CChatListenSocket>();
    if (!Accept(*connection)) {
        return;
    }
    // A newcomer is never turned away: a genuine request arriving during a flood of silent
    // connections still gets in.
    while (m_unclaimed.size() + m_hiddenWindows.size() >= std::max<size_t>(GetIdleLimits().maxWaiting, 1)) {
        MakeRoom();
    }
    connection->m_pListener = this;
    m_unclaimed.push_back(std::move(connection));
    UpdateSweep();
}

void CChatListenSocket::MakeRoom()
{
    if (!m_unclaimed.empty()) {
        m_unclaimed.erase(m_unclaimed.begin());
        return;
    }
    // The hidden window owns its connection; both go.
    IChatRequestWindow* oldest = m_hiddenWindows.front().window;
    m_hiddenWindows.erase(m_hiddenWindows.begin());
    delete oldest;
}

void CChatListenSocket::SweepIdle()
{
    std::erase_if(
        m_unclaimed, [](const auto& connection) { return CIdleSweep::HasExpired(connection->m_acceptedAt); });
    std::vector<IChatRequestWindow*> expired;
    std::erase_if(m_hiddenWindows, [&expired](const HiddenWindow& hidden) {
        if (!CIdleSweep::HasExpired(hidden.acceptedAt)) {
            return false;
        }
        expired.push_back(hidden.window);
        return true;
    });
    for (IChatRequestWindow* window : expired) {
        delete window;
    }
    UpdateSweep();
}

void CChatListenSocket::UpdateSweep()
{
    if (!m_pSweep) {
        m_pSweep = std::make_unique<CIdleSweep>([this] { SweepIdle(); });
    }
    m_pSweep->Update(!m_unclaimed.empty() || !m_hiddenWindows.empty());
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
    listener->m_hiddenWindows.push_back({window, m_acceptedAt});
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
    std::erase_if(m_hiddenWindows, [window](const HiddenWindow& hidden) { return hidden.window == window; });
}
