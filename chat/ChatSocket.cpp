#include "chat/ChatSocket.h"

#include "chat/ChatWindow.h"
#include "chat/SendChatRequestWindow.h"
#include "framework/MainWindowLink.h"
#include "net/Keepalive.h"

CChatSocket::CChatSocket(ISendChatRequestWindow* window)
    : m_pRequestWindow(window)
{
}

void CChatSocket::ConnectTo(const CString& address)
{
    WatchForVanishedPeer(*this);
    if (!Connect(address, CHAT_PORT) && WSAGetLastError() != WSAEWOULDBLOCK) {
        OnConnect(WSAGetLastError());
    }
}

void CChatSocket::OnConnect(int errorCode)
{
    if (errorCode != 0) {
        if (m_pRequestWindow) {
            m_pRequestWindow->OnDeclinedWithoutReason();
        }
        return;
    }
    if (IMainWindow* mainWindow = AfxGetMainWnd()) {
        SendChatMessage(*this, mainWindow->GetLocalName());
    }
    m_nState = AwaitIdentityReply;
}

void CChatSocket::OnReceive(int)
{
    const CString text = ReceiveChatMessage(*this);
    // The windows called below may destroy this connection: nothing touches it afterwards.
    switch (m_nState) {
    case AwaitIdentityReply:
        if (IsChatOk(text) && m_pRequestWindow) {
            SendChatText(*this, m_pRequestWindow->GetSubject(), CHAT_READ_SIZE);
            m_nState = AwaitDecision;
        }
        return;
    case AwaitDecision:
        if (IsChatOk(text)) {
            // The request window hands this connection to the chat window, which keeps it.
            m_nState = Chatting;
            if (m_pRequestWindow) {
                m_pRequestWindow->OnChatAccepted();
            }
        } else {
            m_nState = Declined;
        }
        return;
    case Chatting:
        if (m_pChatWindow) {
            m_pChatWindow->ShowReceived(ReadChatText(*this, text));
        }
        return;
    case Declined:
        if (m_pRequestWindow) {
            m_pRequestWindow->OnDeclineReason(ReadChatText(*this, text));
        }
        return;
    default:
        return;
    }
}

void CChatSocket::OnClose(int)
{
    if (m_nState == Chatting) {
        if (m_pChatWindow) {
            m_pChatWindow->OnPeerLeft();
        }
    } else if (m_pRequestWindow) {
        m_pRequestWindow->OnDeclinedWithoutReason();
    }
}
