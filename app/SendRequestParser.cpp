#include "app/SendRequestParser.h"

#include <cstring>
#include <utility>

CString sendwire::EncodeRequest(const std::vector<CString>& paths)
{
    CString request;
    for (const CString& path : paths) {
        request += path;
        request += '\0';
    }
    request += '\0';
    return request;
}

CString sendwire::EncodeShowRequest(const CString& startupId)
{
    CString request = CString(SHOW_REQUEST) + '\0';
    if (!startupId.empty()) {
        request += startupId;
        request += '\0';
    }
    request += '\0';
    return request;
}

CSendRequestParser::State CSendRequestParser::Feed(const char* data, std::size_t length)
{
    const char* end = data + length;
    while (m_state == State::Incomplete && data < end) {
        const char* zero = static_cast<const char*>(std::memchr(data, '\0', end - data));
        const std::size_t taken = static_cast<std::size_t>((zero ? zero + 1 : end) - data);
        const std::size_t pathBytes = zero ? taken - 1 : taken;
        m_nReceived += taken;
        if (m_nReceived > sendwire::MAX_REQUEST_SIZE
            || m_current.size() + pathBytes > sendwire::MAX_PATH_LENGTH) {
            m_state = State::Refused;
            m_paths.clear();
            break;
        }
        m_current.append(data, pathBytes);
        data += taken;
        if (!zero) {
            break;
        }
        if (m_current.empty()) {
            m_state = State::Complete;
        } else if (m_bShow) {
            // One startup id, no more.
            if (std::exchange(m_bStartupIdTaken, true)) {
                m_state = State::Refused;
            }
            m_strStartupId = std::move(m_current);
            m_current.clear();
        } else if (m_nPathCount == 0 && m_current == sendwire::SHOW_REQUEST) {
            m_bShow = true;
            m_current.clear();
        } else if (m_current.front() != '/') {
            // Relative to whose directory? Not this copy's.
            m_state = State::Refused;
            m_paths.clear();
        } else {
            ++m_nPathCount;
            if (m_paths.size() < sendwire::MAX_KEPT_PATHS) {
                m_paths.push_back(std::move(m_current));
            }
            m_current.clear();
        }
    }
    return m_state;
}
