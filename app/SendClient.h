#pragma once

#include "framework/CString.h"

#include <vector>

// The `quorvane --send` end: hands the paths to the copy listening at socketPath and waits for
// its answer; false when none answered within the time.
bool HandFilesOver(const CString& socketPath, const std::vector<CString>& paths, int timeoutMs = 10000);

// The whole `quorvane --send FILE...` run, after the command line was read (files as full paths):
// the exit status, 0 once the running copy has the files. It needs only a QCoreApplication, and
// starts nothing of the messenger.
int RunSendCommand(std::vector<CString> files);
