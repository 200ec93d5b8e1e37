#pragma once

#include "framework/CString.h"
#include "transfer/FileProtocol.h"

#include <cstddef>
#include <vector>

// The request `quorvane --send` writes to the running copy over its local socket: each path's
// bytes followed by a zero byte, then one more zero byte (an empty path) to end the request. The
// copy answers ANSWER once the request is complete, and closes without answering one it refuses.
// A second start of the program asks instead that the copy show its main window: SHOW_REQUEST in
// the place of the first path, then the launcher's startup id, which may be empty. Copies that
// know no such request refuse it, as a path that is not absolute.
namespace sendwire {

constexpr std::size_t MAX_PATH_LENGTH = 4096;
// One more than a batch may hold, so that the window can still tell the user there are too many;
// paths beyond are counted and dropped.
constexpr std::size_t MAX_KEPT_PATHS = filewire::MAX_FILE_COUNT + 1;
constexpr std::size_t MAX_REQUEST_SIZE = 64 * 1024 * 1024;
constexpr char ANSWER[] = "ok\n";
constexpr char SHOW_REQUEST[] = "show";

// Every path must be absolute, 1..MAX_PATH_LENGTH bytes without a zero byte.
CString EncodeRequest(const std::vector<CString>& paths);
// The startup id is at most MAX_PATH_LENGTH bytes without a zero byte.
CString EncodeShowRequest(const CString& startupId);

} // namespace sendwire

// Reads one request as it arrives, in pieces of any size.
class CSendRequestParser
{
public:
    enum class State {
        Incomplete,
        Complete,
        Refused,
    };

    // Bytes after the end of the request are ignored; once Complete or Refused, the state stays.
    State Feed(const char* data, std::size_t length);
    State GetState() const { return m_state; }
    // The paths kept, at most sendwire::MAX_KEPT_PATHS, and how many the request named.
    std::vector<CString> TakePaths() { return std::move(m_paths); }
    std::size_t GetPathCount() const { return m_nPathCount; }
    // A complete request to show the main window, and the startup id it came with.
    bool IsShowRequest() const { return m_bShow; }
    const CString& GetStartupId() const { return m_strStartupId; }

private:
    State m_state = State::Incomplete;
    std::vector<CString> m_paths;
    CString m_current;
    std::size_t m_nPathCount = 0;
    std::size_t m_nReceived = 0;
    bool m_bShow = false;
    bool m_bStartupIdTaken = false;
    CString m_strStartupId;
};
