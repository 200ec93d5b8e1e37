#pragma once

#include "framework/CString.h"

// One known peer: its display name and the address its presence datagram came from.
class CPeerEntry
{
public:
    CPeerEntry(const CString& name, const CString& address);
    virtual ~CPeerEntry();

    CString GetName() const { return m_strName; }
    CString GetAddress() const { return m_strAddress; }

private:
    CString m_strName;
    CString m_strAddress;
};
