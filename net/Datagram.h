#pragma once

#include "framework/CString.h"

#include <cstddef>
#include <cstdint>

// The presence datagram: a 4-byte little-endian kind followed by up to 2000 bytes of text, with
// no terminator.
enum DatagramKind : std::uint32_t {
    KIND_HELLO = 0,
    KIND_HELLO_REPLY = 1,
    KIND_MESSAGE = 2,
    KIND_LEAVE = 3,
};

constexpr unsigned PRESENCE_PORT = 100;
constexpr std::size_t DATAGRAM_KIND_SIZE = 4;
constexpr std::size_t DATAGRAM_MAX_TEXT = 2000;
constexpr std::size_t DATAGRAM_MAX_SIZE = DATAGRAM_KIND_SIZE + DATAGRAM_MAX_TEXT;

struct Datagram
{
    std::uint32_t kind = 0;
    CString text;
};

// Text beyond 2000 bytes is cut: no receiver would take a longer datagram.
CString EncodeDatagram(std::uint32_t kind, const CString& text);
// Bytes a short datagram lacks count as zero; the text ends at the first zero byte.
Datagram DecodeDatagram(const char* data, std::size_t length);
