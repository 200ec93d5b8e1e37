#pragma once

#include "framework/CString.h"
#include "net/WireText.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// What the rest of the program may ask of the main window. Sockets and windows reach it only
// through the application's main-window pointer below, so protocol code needs no widgets and
// tests can stand in a fake.
class IMainWindow
{
public:
    virtual ~IMainWindow() = default;

    // False when the peer was not listed (the list is full): the hello goes unanswered.
    virtual bool AddPeer(const CString& name, const CString& address) = 0;
    virtual void RemovePeer(const CString& name) = 0;
    // Whether an entry holds exactly this name and this address; a hello reply from a listed
    // peer is not listed again.
    virtual bool IsListed(const CString& name, const CString& address) const = 0;
    virtual CString FindAddressByName(const CString& name) const = 0;
    virtual CString FindNameByAddress(const CString& address) const = 0;
    virtual CString GetLocalName() const = 0;
    // Source is the address the message came from; a host may keep only so many open.
    virtual void ShowReceivedMessage(const CString& sender, const CString& text, const CString& source) = 0;
    virtual void SendMessageTo(const CString& name, const CString& text) = 0;

    // A peer's name is the bytes it announced itself with: they find it again, whatever they
    // read as. This is how the name of a listed peer reads on screen.
    virtual CString GetPeerText(const CString& name) const { return DecodeWireText(name); }
    // What the peer at this address is known to write; the first entry of the address keeps it.
    virtual WireSpeech GetPeerSpeech(const CString&) const { return WireSpeech::Unknown; }
    virtual void NotePeerSpeech(const CString&, WireSpeech) { }
};

// The application's main-window pointer; valid only while the main window object exists.
IMainWindow* AfxGetMainWnd();
void AfxSetMainWnd(IMainWindow* window);

// Text where it meets a peer, read and written as that peer is known to write (what a text
// teaches about its sender is kept in the sender's peer entry).
CString PeerText(const CString& name);
WireSpeech PeerSpeech(const CString& address);
WireSpeech PeerSpeechByName(const CString& name);
CString ReadFromPeer(const CString& address, std::string_view bytes);
CString WriteForPeer(const CString& address, const CString& text, std::size_t maxBytes = SIZE_MAX);
