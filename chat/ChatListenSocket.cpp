#include "chat/ChatListenSocket.h"

#include "chat/ChatRequestWindow.h"
#include "chat/ChatWindow.h"
#include "chat/ChatWindowFactory.h"
#include "chat/DeclineWindow.h"
#include "framework/Alert.h"
#include "framework/MainWindowLink.h"
#include "net/Keepalive.h"

#include <utility>

CChatListenSocket::CChatListenSocket() = default;

// A hidden request window owns its connection; both go with the listener's pool.
CChatListenSocket::~CChatListenSocket() = default;

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
    WatchForVanishedPeer(*connection);
    unsigned port = 0;
    connection->GetPeerName(connection->m_strAddress, port);
    connection->m_pListener = this;
    // A newcomer is never turned away: a genuine request arriving during a flood of silent
    // connections still gets in.
    m_pool.Add(std::move(connection));
}

void CChatListenSocket::OnReceive(int)
{
    const CString text = ReadFromPeer(m_strAddress, ReceiveChatMessage(*this));
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
            m_pListener->m_pool.Remove(this);
        }
        return;
    case Requested:
        if (m_pRequestWindow) {
            if (!m_bRequestShown && m_pListener) {
                // The window tells the user and releases itself.
                m_pListener->m_pool.Take(m_pRequestWindow).release();
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
    std::unique_ptr<CChatListenSocket> self = listener->m_pool.Take(this);
    if (!factory || !self) {
        return; // released: nobody could answer the request
    }
    m_nState = Requested;
    // The request window owns this connection from here on; the listener holds the window until
    // the subject shows it.
    IChatRequestWindow* window = factory->CreateChatRequestWindow(std::move(self), identity);
    m_pRequestWindow = window;
    listener->m_pool.Add(std::unique_ptr<IChatRequestWindow>(window), false, m_acceptedAt);
}

void CChatListenSocket::OnSubject(const CString& subject)
{
    m_bRequestShown = true;
    if (CChatListenSocket* listener = std::exchange(m_pListener, nullptr)) {
        auto claimed = listener->m_pool.Claim(m_pRequestWindow, m_strAddress);
        if (!claimed.entry) {
            // Too many windows from there: the window and this connection are gone.
            return;
        }
        claimed.entry.release();
        m_windowSlot = std::move(claimed.slot);
    }
    MessageBeep();
    if (m_pRequestWindow) {
        m_pRequestWindow->ShowRequest(subject);
    }
}
