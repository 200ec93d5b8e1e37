#pragma once

#include "framework/CString.h"

#include <vector>

// What the command line asks for. The program normally takes no arguments; `--send` hands files
// to the copy already running for this user, `--autostart` is how the session starts it at login,
// and `-session ID` is what the session manager passes when it restores the program.
struct CCommandLine
{
    enum class Action {
        Run,
        Send,
        Usage,
    };
    Action action = Action::Usage;
    // For Run: started by the session, not by the user; a copy already running is left alone.
    bool quiet = false;
    // For Send: the files as full paths (bytes), relative ones joined to the working directory.
    std::vector<CString> files;
};

constexpr char COMMAND_LINE_USAGE[] = "usage: quorvane [--autostart | --send FILE...]";

// arguments excludes the program name. workingDirectory is the sending process's own; when it is
// empty (unknown) relative files are left relative.
CCommandLine ParseCommandLine(const std::vector<CString>& arguments, const CString& workingDirectory);

// The process's working directory as bytes, empty when it cannot be had (removed, say).
CString CurrentWorkingDirectory();
