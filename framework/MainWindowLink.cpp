#include "framework/MainWindowLink.h"

namespace {
IMainWindow* g_pMainWnd = nullptr;
}

IMainWindow* AfxGetMainWnd()
{
    return g_pMainWnd;
}

void AfxSetMainWnd(IMainWindow* window)
{
    g_pMainWnd = window;
}

CString PeerText(const CString& name)
{
    return g_pMainWnd ? g_pMainWnd->GetPeerText(name) : DecodeWireText(name);
}

WireSpeech PeerSpeech(const CString& address)
{
    return g_pMainWnd && !address.empty() ? g_pMainWnd->GetPeerSpeech(address) : WireSpeech::Unknown;
}

WireSpeech PeerSpeechByName(const CString& name)
{
    return g_pMainWnd && !name.empty() ? PeerSpeech(g_pMainWnd->FindAddressByName(name))
                                       : WireSpeech::Unknown;
}

CString ReadFromPeer(const CString& address, std::string_view bytes)
{
    const WireSpeech known = PeerSpeech(address);
    WireSpeech speech = known;
    CString text = DecodeWireText(bytes, speech);
    if (speech != known && g_pMainWnd && !address.empty()) {
        g_pMainWnd->NotePeerSpeech(address, speech);
    }
    return text;
}

CString WriteForPeer(const CString& address, const CString& text, std::size_t maxBytes)
{
    return EncodeWireText(text, PeerSpeech(address), maxBytes);
}
