#pragma once

#include "chat/ChatProtocol.h"
#include "net/AsyncSocket.h"
#include "net/WaitingPool.h"
#include "net/WindowQuota.h"

#include <chrono>
#include <memory>
#include <utility>

class IChatRequestWindow;
class IChatWindow;
class IDeclineWindow;

// The accepter's side of the chat. One instance listens on TCP port 101 for the whole run;
// every connection it accepts is a further instance, which serves one request and, once
// accepted, the chat.
//
// An accepted connection belongs to the listener until its first message: then it passes to
// its "Received Chat Request" window, which the listener still holds while it is hidden, so that
// nothing is left behind when the listener goes. Both wait in the listener's pool (limit, idle
// time-out, and the window quota once the subject has come: see CWaitingPool).
class CChatListenSocket : public CAsyncSocket
{
public:
    enum State : int {
        AwaitIdentity = 0,
        Requested = 1,
        Declined = 2,
        Chatting = 3,
    };

    CChatListenSocket();
    ~CChatListenSocket() override;

    bool CreateListener(unsigned port = CHAT_PORT);

    // The user's answer: "OK" and chatting, or "NO WAY" and the decline window serves it.
    void AcceptChat();
    void DeclineChat();

    void SetWindow(IChatRequestWindow* window) { m_pRequestWindow = window; }
    void SetWindow(IDeclineWindow* window) { m_pDeclineWindow = window; }
    void SetWindow(IChatWindow* window) { m_pChatWindow = window; }
    int GetState() const { return m_nState; }

    // On the listening instance: connections with no window yet, and hidden request windows.
    size_t GetUnclaimedCount() const { return m_pool.GetSilentCount(); }
    size_t GetHiddenWindowCount() const { return m_pool.GetCount() - m_pool.GetSilentCount(); }

    // The requester's address, as the connection was accepted from it.
    const CString& GetPeerAddress() const { return m_strAddress; }
    // The window slot of a request that may be shown; the request window holds it from then on.
    CWindowQuota::CSlot TakeWindowSlot() { return std::move(m_windowSlot); }

protected:
    void OnReceive(int errorCode) override;
    void OnAccept(int errorCode) override;
    void OnClose(int errorCode) override;

private:
    void OnIdentity(const CString& identity);
    void OnSubject(const CString& subject);

    IChatRequestWindow* m_pRequestWindow = nullptr;
    IDeclineWindow* m_pDeclineWindow = nullptr;
    IChatWindow* m_pChatWindow = nullptr;
    int m_nState = AwaitIdentity;
    // Accepted connections point back at their listener until their request window is shown.
    CChatListenSocket* m_pListener = nullptr;
    bool m_bRequestShown = false;
    std::chrono::steady_clock::time_point m_acceptedAt = std::chrono::steady_clock::now();
    CString m_strAddress;
    CWindowQuota::CSlot m_windowSlot;

    // Listener only: accepted connections, then their hidden request windows.
    CWaitingPool m_pool;
};
