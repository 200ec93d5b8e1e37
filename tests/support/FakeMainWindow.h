#pragma once

#include "framework/MainWindowLink.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

// Records what the sockets ask of the main window; keeps a peer list of its own for look-ups.
class FakeMainWindow : public IMainWindow
{
public:
    FakeMainWindow() { AfxSetMainWnd(this); }
    ~FakeMainWindow() override { AfxSetMainWnd(nullptr); }

    bool AddPeer(const CString& name, const CString& address) override
    {
        added.emplace_back(name, address);
        return true;
    }
    void RemovePeer(const CString& name) override { removed.push_back(name); }
    // The fake's list only grows: a removal is recorded, not carried out.
    bool IsListed(const CString& name, const CString& address) const override
    {
        return std::find(added.begin(), added.end(), std::make_pair(name, address)) != added.end();
    }
    CString FindAddressByName(const CString& name) const override
    {
        for (const auto& [peerName, address] : added) {
            if (peerName == name) {
                return address;
            }
        }
        return {};
    }
    CString FindNameByAddress(const CString& address) const override
    {
        for (const auto& [name, peerAddress] : added) {
            if (peerAddress == address) {
                return name;
            }
        }
        return {};
    }
    CString GetLocalName() const override { return localName; }
    void ShowReceivedMessage(const CString& sender, const CString& text, const CString&) override
    {
        messages.emplace_back(sender, text);
    }
    void SendMessageTo(const CString& name, const CString& text) override { sent.emplace_back(name, text); }

    CString localName = "tester (testhost)";
    std::vector<std::pair<CString, CString>> added;
    std::vector<CString> removed;
    std::vector<std::pair<CString, CString>> messages;
    std::vector<std::pair<CString, CString>> sent;
};
