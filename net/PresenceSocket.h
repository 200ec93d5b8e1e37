#pragma once

#include "net/Datagram.h"
#include "net/InterfaceWatch.h"
#include "net/Socket.h"

#include <atomic>

// The datagram socket on UDP port 100: announces this user, keeps the main window's peer list
// and carries one-shot messages. It reaches the main window through AfxGetMainWnd.
class CPresenceSocket : public CSocket
{
public:
    // Fixes the local identity; opens nothing.
    CPresenceSocket();
    ~CPresenceSocket() override;

    // Opens the socket with broadcasting allowed, starts watching the interfaces and broadcasts
    // the hello.
    bool Start(unsigned port = PRESENCE_PORT);
    // A null destination broadcasts, on every LAN this computer is on. Text is as sent.
    int SendDatagram(std::uint32_t kind, const CString& text, const char* destination);
    // Text is written as the addressee is known to write.
    int SendText(const CString& text, const char* destination);
    // Safe from any thread: the run's end may be learnt on a display connection's thread.
    int SendLeave();

    const CString& GetIdentity() const { return m_strIdentity; }
    const CString& GetLocalAddress() const { return m_strLocalAddress; }

protected:
    void OnReceive(int errorCode) override;
    void HandleDatagram(std::uint32_t kind, const CString& text, const CString& source);

private:
    bool IsOwnAddress(const CString& source) const;
    // An interface that came up later hears a hello of its own, after a leave when it was there
    // before, so that peers still listing us do not list us twice.
    void OnNewInterface(int interfaceIndex, bool returned);

    CString m_strIdentity;
    CString m_strLocalAddress;
    unsigned m_nPort = PRESENCE_PORT;
    CInterfaceWatch m_interfaceWatch;
    std::atomic<bool> m_bBroadcastFailureReported = false;
};
