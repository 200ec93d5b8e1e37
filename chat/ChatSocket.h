#pragma once

#include "chat/ChatProtocol.h"
#include "net/AsyncSocket.h"

class IChatWindow;
class ISendChatRequestWindow;

// The requester's outgoing chat connection. It is owned by the window that serves it: the
// "Send Chat Request" window until the answer, the chat window once accepted.
class CChatSocket : public CAsyncSocket
{
public:
    enum State : int {
        Connecting = 0,
        AwaitIdentityReply = 1,
        AwaitDecision = 2,
        Chatting = 3,
        Declined = 4,
    };

    explicit CChatSocket(ISendChatRequestWindow* window = nullptr);

    // Connects to the peer's chat port. A connect that fails, at once (an address that does not
    // resolve) or later (refused, or a host that is gone), is a decline without a reason; the
    // window then destroys this connection.
    void ConnectTo(const CString& address);

    void SetWindow(ISendChatRequestWindow* window) { m_pRequestWindow = window; }
    void SetWindow(IChatWindow* window) { m_pChatWindow = window; }
    int GetState() const { return m_nState; }

protected:
    void OnReceive(int errorCode) override;
    void OnConnect(int errorCode) override;
    void OnClose(int errorCode) override;

private:
    int m_nState = Connecting;
    ISendChatRequestWindow* m_pRequestWindow = nullptr;
    IChatWindow* m_pChatWindow = nullptr;
};
