#include "net/PresenceSocket.h"

#include "framework/MainWindowLink.h"
#include "net/LocalIdentity.h"

#include <cstdio>

#include <arpa/inet.h>

CPresenceSocket::CPresenceSocket()
{
    const CString hostName = LocalHostName();
    // Written once, in the code page, so that every hello, leave and connection carries the
    // same bytes and the peers' lists, which match names byte for byte, always find us.
    m_strIdentity = EncodeWireText(
        BuildIdentity(DecodeLocalName(LocalUserName()), DecodeLocalName(hostName)), WireSpeech::CodePage);
    m_strLocalAddress = ResolveHostAddress(hostName);
}

CPresenceSocket::~CPresenceSocket()
{
    // The socket goes before the interface watch it sends through.
    Close();
}

bool CPresenceSocket::Start(unsigned port)
{
    m_nPort = port;
    if (!Create(port, SOCK_DGRAM, FD_ALL_EVENTS)) {
        return false;
    }
    const int enable = 1;
    if (!SetSockOpt(SO_BROADCAST, &enable, sizeof enable)) {
        return false;
    }
    // Without the watch the routing table alone decides where broadcasts go.
    if (m_interfaceWatch.Start([this](int index, bool returned) { OnNewInterface(index, returned); })) {
        SetInterfaceWatch(&m_interfaceWatch);
    }
    SendDatagram(KIND_HELLO, m_strIdentity, nullptr);
    return true;
}

int CPresenceSocket::SendDatagram(std::uint32_t kind, const CString& text, const char* destination)
{
    const CString datagram = EncodeDatagram(kind, text);
    const int result = SendTo(datagram.data(), static_cast<int>(datagram.size()), m_nPort, destination);
    // Nobody hears this copy then; say so once, as for a port that cannot be opened.
    if (!destination && result == SOCKET_ERROR && m_hSocket != INVALID_SOCKET
        && !m_bBroadcastFailureReported.exchange(true)) {
        const int error = WSAGetLastError();
        std::fprintf(stderr, "quorvane: cannot broadcast on UDP port %u: %s (error %d)\n", m_nPort,
            error == WSAENETUNREACH ? "no network is reachable" : "the datagram could not be sent", error);
    }
    return result;
}

int CPresenceSocket::SendText(const CString& text, const char* destination)
{
    // An announcement is read by every kind of copy: it goes in the code page.
    const WireSpeech speech = destination ? PeerSpeech(destination) : WireSpeech::CodePage;
    return SendDatagram(KIND_MESSAGE, EncodeWireText(text, speech, DATAGRAM_MAX_TEXT), destination);
}

int CPresenceSocket::SendLeave()
{
    return SendDatagram(KIND_LEAVE, m_strIdentity, nullptr);
}

void CPresenceSocket::OnNewInterface(int interfaceIndex, bool returned)
{
    for (const std::uint32_t kind : {KIND_LEAVE, KIND_HELLO}) {
        if (kind == KIND_LEAVE && !returned) {
            continue;
        }
        const CString datagram = EncodeDatagram(kind, m_strIdentity);
        SendToInterface(datagram.data(), static_cast<int>(datagram.size()), m_nPort, interfaceIndex);
    }
}

void CPresenceSocket::OnReceive(int)
{
    // One byte more than the largest datagram, so that an over-long one shows and is dropped.
    char buffer[DATAGRAM_MAX_SIZE + 1] = {};
    CString source;
    unsigned sourcePort = 0;
    const int length = ReceiveFrom(buffer, sizeof buffer, source, sourcePort, MSG_TRUNC);
    // An empty datagram carries no kind at all: it is not a hello with an empty name.
    if (length <= 0 || static_cast<std::size_t>(length) > DATAGRAM_MAX_SIZE) {
        return;
    }
    const Datagram datagram = DecodeDatagram(buffer, static_cast<std::size_t>(length));
    HandleDatagram(datagram.kind, datagram.text, source);
}

void CPresenceSocket::HandleDatagram(std::uint32_t kind, const CString& text, const CString& source)
{
    IMainWindow* mainWindow = AfxGetMainWnd();
    if (!mainWindow) {
        return;
    }
    switch (kind) {
    case KIND_HELLO:
        if (!IsOwnAddress(source)) {
            // A peer that could not be listed is not answered either.
            if (mainWindow->AddPeer(text, source)) {
                SendDatagram(KIND_HELLO_REPLY, m_strIdentity, source.c_str());
            }
        }
        break;
    case KIND_HELLO_REPLY:
        // A reply with a name and address listed already comes from a peer we know: it answers
        // the hello of an address of ours that came back, or its own hello listed it as both
        // copies started at once. Listing it again would show the peer twice.
        if (!mainWindow->IsListed(text, source)) {
            mainWindow->AddPeer(text, source);
        }
        break;
    case KIND_MESSAGE:
        if (!IsOwnAddress(source)) {
            mainWindow->ShowReceivedMessage(
                mainWindow->FindNameByAddress(source), ReadFromPeer(source, text), source);
        }
        break;
    case KIND_LEAVE:
        mainWindow->RemovePeer(text);
        break;
    default:
        break;
    }
}

bool CPresenceSocket::IsOwnAddress(const CString& source) const
{
    // The host name usually resolves to 127.0.1.1 on Linux, never the address a broadcast
    // comes from, so every address of this computer counts as its own. 0.0.0.0 is what a copy
    // sends from before its interface has an address: nobody can be answered there.
    if (source == m_strLocalAddress) {
        return true;
    }
    in_addr address {};
    if (inet_pton(AF_INET, source.c_str(), &address) != 1) {
        return false;
    }
    if (address.s_addr == htonl(INADDR_ANY)) {
        return true;
    }
    return m_interfaceWatch.IsRunning() ? m_interfaceWatch.IsOwnAddress(ntohl(address.s_addr))
                                        : IsLocalInterfaceAddress(source);
}
