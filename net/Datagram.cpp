#include "net/Datagram.h"

#include <algorithm>
#include <cstring>

CString EncodeDatagram(std::uint32_t kind, const CString& text)
{
    CString datagram;
    datagram.reserve(DATAGRAM_KIND_SIZE + std::min(text.size(), DATAGRAM_MAX_TEXT));
    for (std::size_t i = 0; i < DATAGRAM_KIND_SIZE; ++i) {
        datagram.push_back(static_cast<char>((kind >> (8 * i)) & 0xFF));
    }
    datagram.append(text, 0, DATAGRAM_MAX_TEXT);
    return datagram;
}

Datagram DecodeDatagram(const char* data, std::size_t length)
{
    Datagram datagram;
    for (std::size_t i = 0; i < DATAGRAM_KIND_SIZE && i < length; ++i) {
        datagram.kind |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
    }
    if (length > DATAGRAM_KIND_SIZE) {
        const char* text = data + DATAGRAM_KIND_SIZE;
        const std::size_t available = std::min(length, DATAGRAM_MAX_SIZE) - DATAGRAM_KIND_SIZE;
        const void* zero = std::memchr(text, '\0', available);
        datagram.text.assign(text, zero ? static_cast<const char*>(zero) - text : available);
    }
    return datagram;
}
