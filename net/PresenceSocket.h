#pragma once

#include "net/Datagram.h"
#include "net/Socket.h"

// The datagram socket on UDP port 100: announces this user, keeps the main window's peer list
// and carries one-shot messages. It reaches the main window through AfxGetMainWnd.
class CPresenceSocket : public CSocket
{
public:
    // Fixes the local identity; opens nothing.
    CPresenceSocket();

    // Opens the socket with broadcasting allowed and broadcasts the hello.
    bool Start(unsigned port = PRESENCE_PORT);
    // A null destination broadcasts.
    int SendDatagram(std::uint32_t kind, const CString& text, const char* destination);
    int SendText(const CString& text, const char* destination);
    int SendLeave();

    const CString& GetIdentity() const { return m_strIdentity; }
    const CString& GetLocalAddress() const { return m_strLocalAddress; }

protected:
    void OnReceive(int errorCode) override;
    void HandleDatagram(std::uint32_t kind, const CString& text, const CString& source);

private:
    bool IsOwnAddress(const CString& source) const;

    CString m_strIdentity;
    CString m_strLocalAddress;
    unsigned m_nPort = PRESENCE_PORT;
};
