#include "app/CommandLine.h"

#include <cerrno>

#include <unistd.h>

CCommandLine ParseCommandLine(const std::vector<CString>& arguments, const CString& workingDirectory)
{
    CCommandLine result;
    if (arguments.empty()) {
        result.action = CCommandLine::Action::Run;
    } else if (arguments.size() == 2 && arguments[0] == "-session") {
        // QApplication reads it itself.
        result.action = CCommandLine::Action::Run;
        result.quiet = true;
    } else if (arguments.size() == 1 && arguments[0] == "--autostart") {
        result.action = CCommandLine::Action::Run;
        result.quiet = true;
    } else if (arguments.size() >= 2 && arguments[0] == "--send") {
        result.action = CCommandLine::Action::Send;
        for (std::size_t i = 1; i < arguments.size(); ++i) {
            const CString& file = arguments[i];
            if (file.empty()) {
                // An empty path cannot name a file, and on the local wire it ends the request.
                return {};
            }
            // Not canonicalised: the user's own spelling, symbolic links and all, is what is sent.
            if (file[0] == '/' || workingDirectory.empty()) {
                result.files.push_back(file);
            } else if (workingDirectory.back() == '/') {
                result.files.push_back(workingDirectory + file);
            } else {
                result.files.push_back(workingDirectory + '/' + file);
            }
        }
    }
    return result;
}

CString CurrentWorkingDirectory()
{
    CString buffer(4096, '\0');
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE || buffer.size() >= (1u << 20)) {
            return {};
        }
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return buffer;
}
