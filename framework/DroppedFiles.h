#pragma once

#include "framework/CString.h"

#include <optional>
#include <vector>

class QMimeData;

// The local files a drag carries, as full paths in the bytes the file system uses (a name that is
// not UTF-8 stays what it is); nothing when the drag carries anything else as well (a web
// address, a file on another host) or no file at all.
std::optional<std::vector<CString>> LocalFilesOf(const QMimeData* data);

class QDropEvent;

// Answers a drag over, or a drop onto, a window that takes such files: the files are only ever
// copied, never moved, since the source may remove what it thinks was moved before the files are
// sent. False when refused.
bool AnswerDrag(QDropEvent* event, bool wanted);
