#pragma once

#include "net/AsyncSocket.h"

// The blocking variant: data operations that would block wait instead, retrying at least every
// m_nTimeOut milliseconds. Meanwhile posted repaints run, and nothing else: no user input, timer,
// queued call or other socket's notification is handled until the wait ends.
class CSocket : public CAsyncSocket
{
public:
    CSocket() = default;
    ~CSocket() override;

    bool Accept(CAsyncSocket& connection) override;
    void Close() override;
    int Receive(void* buffer, int length, int flags = 0) override;
    int Send(const void* buffer, int length, int flags = 0) override;

    bool IsBlocking() const { return m_pbBlocking != nullptr; }

protected:
    bool ConnectHelper(const sockaddr* address, socklen_t length) override;
    int ReceiveFromHelper(void* buffer, int length, sockaddr* from, socklen_t* fromLength, int flags,
        DatagramArrival* arrival) override;
    int SendToHelper(const void* buffer, int length, const sockaddr* to, socklen_t toLength, int flags,
        int interfaceIndex) override;

    // Called while waiting; true ends the wait early. The base handles repaints only.
    virtual bool OnMessagePending();
    // Waits for the event (FD_READ, FD_WRITE, FD_ACCEPT or FD_CONNECT); false when Close cancelled it.
    virtual bool PumpMessages(long awaitedEvent);

    int m_nTimeOut = 2000;
    bool* m_pbBlocking = nullptr;
    int m_nConnectError = -1;
};
