// The presence datagram as it arrives: decoded, and handled by the presence socket against a
// main window that records. The first byte picks the sender's address; the rest is the datagram,
// handed over once directly and once through a local datagram socket into OnReceive.
#include "framework/MainWindowLink.h"
#include "fuzz/FuzzSupport.h"
#include "net/Datagram.h"
#include "net/PresenceSocket.h"
#include "net/WireText.h"

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

class RecordingMainWindow : public IMainWindow
{
public:
    bool AddPeer(const CString& name, const CString& address) override
    {
        peers.emplace_back(name, address);
        return true;
    }
    void RemovePeer(const CString& name) override
    {
        std::erase_if(peers, [&name](const auto& peer) { return peer.first == name; });
    }
    bool IsListed(const CString& name, const CString& address) const override
    {
        return std::find(peers.begin(), peers.end(), std::make_pair(name, address)) != peers.end();
    }
    CString FindAddressByName(const CString& name) const override
    {
        for (const auto& peer : peers) {
            if (peer.first == name) {
                return peer.second;
            }
        }
        return {};
    }
    CString FindNameByAddress(const CString& address) const override
    {
        for (const auto& peer : peers) {
            if (peer.second == address) {
                return peer.first;
            }
        }
        return {};
    }
    CString GetLocalName() const override { return "fuzz (host)"; }
    void ShowReceivedMessage(const CString& sender, const CString& text, const CString&) override
    {
        if (!fuzz::IsReadText(text, DATAGRAM_MAX_TEXT) || sender.size() > DATAGRAM_MAX_TEXT) {
            std::abort();
        }
        ++messages;
    }
    void SendMessageTo(const CString&, const CString&) override { }

    std::vector<std::pair<CString, CString>> peers;
    int messages = 0;
};

class FuzzPresenceSocket : public CPresenceSocket
{
public:
    using CPresenceSocket::HandleDatagram;
    void ReceiveOne() { OnReceive(0); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static bool started = (fuzz::StartApplication(), true);
    (void)started;
    static FuzzPresenceSocket presence;
    RecordingMainWindow mainWindow;
    AfxSetMainWnd(&mainWindow);

    const CString sources[] = {"10.77.0.2", presence.GetLocalAddress(), "", "255.255.255.255"};
    const CString& source = size > 0 ? sources[data[0] % 4] : sources[0];
    const char* datagram = size > 0 ? reinterpret_cast<const char*>(data + 1) : "";
    const std::size_t length = size > 0 ? size - 1 : 0;

    const Datagram decoded = DecodeDatagram(datagram, length);
    if (decoded.text.size() > DATAGRAM_MAX_TEXT || decoded.text.find('\0') != CString::npos) {
        std::abort();
    }
    if (length <= DATAGRAM_MAX_SIZE) {
        // What is encoded again decodes to the same.
        const CString encoded = EncodeDatagram(decoded.kind, decoded.text);
        const Datagram again = DecodeDatagram(encoded.data(), encoded.size());
        if (again.kind != decoded.kind || again.text != decoded.text) {
            std::abort();
        }
    }
    // Text read off the wire and written again: within the limit, never cut inside a character,
    // and, for a text read as UTF-8, the very bytes that came.
    WireSpeech speech = size > 0 && data[0] & 4 ? WireSpeech::Utf8 : WireSpeech::Unknown;
    const CString text = DecodeWireText(decoded.text, speech);
    if (!fuzz::IsReadText(text, decoded.text.size())) {
        std::abort();
    }
    const CString written = EncodeWireText(text, speech, DATAGRAM_MAX_TEXT);
    const bool readAsUtf8 = speech == WireSpeech::Utf8 && IsValidUtf8(decoded.text);
    if (written.size() > DATAGRAM_MAX_TEXT || (readAsUtf8 && written != decoded.text)) {
        std::abort();
    }
    const std::size_t limit = size > 1 ? data[1] : 0;
    const CString cut = EncodeWireText(text, speech, limit);
    if (cut.size() > limit || written.compare(0, cut.size(), cut) != 0
        || (speech == WireSpeech::Utf8 && !IsValidUtf8(cut))) {
        std::abort();
    }
    presence.HandleDatagram(decoded.kind, decoded.text, source);

    // The same bytes through the receive path, over-long ones included.
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) == 0) {
        presence.Attach(pair[0]);
        ::send(pair[1], datagram, length, MSG_DONTWAIT);
        presence.ReceiveOne();
        presence.Close();
        ::close(pair[1]);
    }
    AfxSetMainWnd(nullptr);
    return 0;
}
