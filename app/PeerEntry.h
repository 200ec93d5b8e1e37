#pragma once

#include "framework/CString.h"
#include "net/WireText.h"

// One known peer: its display name and the address its presence datagram came from. The name
// is kept as the bytes it came in, which identify the peer, and as the text they read as.
class CPeerEntry
{
public:
    CPeerEntry(const CString& name, const CString& address, const CString& text, WireSpeech speech);
    virtual ~CPeerEntry();

    CString GetName() const { return m_strName; }
    CString GetAddress() const { return m_strAddress; }
    const CString& GetText() const { return m_strText; }
    WireSpeech GetSpeech() const { return m_eSpeech; }
    void SetSpeech(WireSpeech speech) { m_eSpeech = speech; }

private:
    CString m_strName;
    CString m_strAddress;
    CString m_strText;
    WireSpeech m_eSpeech;
};
