#include "app/PeerEntry.h"

CPeerEntry::CPeerEntry(const CString& name, const CString& address, const CString& text, WireSpeech speech)
    : m_strName(name)
    , m_strAddress(address)
    , m_strText(text)
    , m_eSpeech(speech)
{
}

CPeerEntry::~CPeerEntry() = default;
