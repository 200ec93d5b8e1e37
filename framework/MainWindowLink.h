#pragma once

#include "framework/CString.h"

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
};

// The application's main-window pointer; valid only while the main window object exists.
IMainWindow* AfxGetMainWnd();
void AfxSetMainWnd(IMainWindow* window);
