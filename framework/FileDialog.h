#pragma once

#include "framework/CString.h"

#include <functional>
#include <optional>
#include <vector>

class QWidget;

// The open-file dialog: several existing files at once, under the filter "All Files (*.*)",
// which matches every file, names without a dot included. Their full paths, in the order the
// dialog gave them; nothing when cancelled.
std::optional<std::vector<CString>> SelectFilesToOpen(QWidget* owner);

// The directory chooser captioned "Select Directory": the chosen directory's full path ending
// in "/". Nothing when cancelled.
std::optional<CString> SelectDirectory(QWidget* owner);

enum class FileDialogKind {
    OpenFiles,
    SelectDirectory,
};

// Tests replace the real dialogs with scripted answers: full paths of the chosen files, or the
// chosen directory; nothing means cancelled. An empty handler restores the real dialogs.
using FileDialogHandler = std::function<std::optional<std::vector<CString>>(FileDialogKind)>;
void SetFileDialogHandler(FileDialogHandler handler);

// Why a path that a file dialog gave back cannot stand for what the user chose, or empty text
// when it can. Qt reads file names as UTF-8 and puts U+FFFD in place of bytes that are not, so
// such a path names another file or none; nor can a path that names nothing on disk be used.
CString DescribeUnusableChoice(const CString& path, FileDialogKind kind);

// The caption and filter the real dialogs use.
extern const char* const SELECT_DIRECTORY_CAPTION;
extern const char* const ALL_FILES_FILTER;
