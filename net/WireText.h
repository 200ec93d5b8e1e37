#pragma once

#include "framework/CString.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

// Text inside the program is Unicode, kept as UTF-8 in a CString. On the wire it is bytes of a
// Windows ANSI code page, the one the Windows copies on the same LAN write, or UTF-8 for a peer
// known to write that. This is the one place where the two meet.

// What a peer is known to write. A peer known to write UTF-8 stays so.
enum class WireSpeech : std::uint8_t {
    Unknown,
    CodePage,
    Utf8,
};

// The Windows ANSI code page of a POSIX locale name ("de_DE.UTF-8", "sr_RS@latin", "C"):
// Windows' own default for the language and territory, 1252 for anything it does not list.
int CodePageForLocale(std::string_view locale);
// Whether the program can convert this code page (874, 932, 936, 949, 950, 1250 to 1258).
bool IsKnownCodePage(int codePage);
// QUORVANE_CODEPAGE when it names a known code page; else the code page of the locale in
// LC_ALL, LC_CTYPE or LANG, the first that is set. An unknown override is said on standard
// error, once.
int CodePageFromEnvironment();

// The code page this copy writes; from the environment unless set (at start-up, or by tests).
int WireCodePage();
void SetWireCodePage(int codePage);

// Reads a text a peer sent. ASCII tells nothing; bytes that are not UTF-8 are read in the code
// page (and teach that the peer writes it); UTF-8 is read as such where the code page could not
// have produced it by accident (and teaches that the peer writes UTF-8).
CString DecodeWireText(std::string_view bytes, WireSpeech& speech);
// The same, for a text whose sender is not known and learns nothing.
CString DecodeWireText(std::string_view bytes);

// Writes text for a peer: UTF-8 to a peer known to write it, otherwise the code page, with its
// best-fit mappings and "?" for what it cannot hold. Cut to at most maxBytes, never inside a
// character.
CString EncodeWireText(std::string_view text, WireSpeech speech, std::size_t maxBytes = SIZE_MAX);
// The bytes text takes when written for the peer, uncut.
std::size_t WireLength(std::string_view text, WireSpeech speech);
// Writes a file name for a peer: no best-fit mappings, which turn "a／b" into "a/b", and "_" for
// what the code page cannot hold.
CString EncodeWireName(std::string_view name, WireSpeech speech);

// How a name we wrote for a peer reads there.
CString DecodeWireName(std::string_view bytes, WireSpeech speech);

// A name as the file system or the system keeps it (a path component, a user or host name):
// UTF-8 when it is valid UTF-8, else, as an older program may have written it, the code page.
CString DecodeLocalName(std::string_view bytes);

bool IsValidUtf8(std::string_view bytes);
