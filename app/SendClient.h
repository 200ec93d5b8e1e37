#pragma once

#include "framework/CString.h"

#include <vector>

// How the copy listening at a socket took a request.
enum class HandOver {
    Answered,
    // It closed without an answer: a copy that does not know the request.
    Refused,
    NoAnswer,
};
HandOver HandRequestOver(const CString& socketPath, const CString& request, int timeoutMs = 10000);

// The `quorvane --send` end: hands the paths to the copy listening at socketPath and waits for
// its answer; false when none answered within the time.
bool HandFilesOver(const CString& socketPath, const std::vector<CString>& paths, int timeoutMs = 10000);

// A start of the program that found a copy running for this user at socketPath: asks it to show
// its main window, passing on the launcher's startup id. The exit status: 0 once it has, 1 when it
// could not be asked (said on standard error).
int ShowRunningCopy(const CString& socketPath, const CString& startupId);

// The whole `quorvane --send FILE...` run, after the command line was read (files as full paths):
// the exit status, 0 once the running copy has the files. It needs only a QCoreApplication, and
// starts nothing of the messenger.
int RunSendCommand(std::vector<CString> files);
