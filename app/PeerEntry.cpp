#include "app/PeerEntry.h"

CPeerEntry::CPeerEntry(const CString& name, const CString& address)
    : m_strName(name)
    , m_strAddress(address)
{
}

CPeerEntry::~CPeerEntry() = default;
