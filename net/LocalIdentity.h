#pragma once

#include "framework/CString.h"

// Who and where this copy is.

// The login name of the user running the program, or "unknown"; at most 99 bytes.
CString LocalUserName();
// The system host name, or "unknown"; at most 99 bytes.
CString LocalHostName();
// "user (host)": the display name peers know this user by.
CString BuildIdentity(const CString& userName, const CString& hostName);
// The dotted text of the first IPv4 address the host name resolves to, or empty text.
CString ResolveHostAddress(const CString& hostName);
// True when address is one of the IPv4 addresses of this computer's interfaces right now.
bool IsLocalInterfaceAddress(const CString& address);
