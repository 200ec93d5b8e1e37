#include "framework/FileDialog.h"

#include "framework/Dialog.h"
#include "framework/QtText.h"

#include <QDir>
#include <QFileDialog>
#include <QFileSystemModel>

#include <cerrno>
#include <utility>

#include <sys/stat.h>

const char* const SELECT_DIRECTORY_CAPTION = "Select Directory";
const char* const ALL_FILES_FILTER = "All Files (*.*)";

namespace {
FileDialogHandler& Handler()
{
    static FileDialogHandler handler;
    return handler;
}

CString WithSeparator(CString directory)
{
    if (directory.empty() || directory.back() != '/') {
        directory += '/';
    }
    return directory;
}

std::optional<std::vector<CString>> RunOpenFiles(QWidget* owner)
{
    QFileDialog dialog(owner);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setNameFilter(QString::fromLatin1(ALL_FILES_FILTER));
    // "*.*" would hide names without a dot; the one entry stands for every file.
    if (auto* model = dialog.findChild<QFileSystemModel*>()) {
        model->setNameFilters({QStringLiteral("*")});
    }
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    std::vector<CString> paths;
    for (const QString& path : dialog.selectedFiles()) {
        paths.push_back(FromQString(QDir::toNativeSeparators(path)));
    }
    return paths;
}

std::optional<std::vector<CString>> RunSelectDirectory(QWidget* owner)
{
    QFileDialog dialog(owner, QString::fromLatin1(SELECT_DIRECTORY_CAPTION));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setFileMode(QFileDialog::Directory);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return std::vector<CString> {FromQString(QDir(dialog.selectedFiles().front()).absolutePath())};
}
} // namespace

std::optional<std::vector<CString>> SelectFilesToOpen(QWidget* owner)
{
    const CDialog::NestedRun run(owner);
    auto paths = Handler() ? Handler()(FileDialogKind::OpenFiles) : RunOpenFiles(owner);
    if (!paths || paths->empty()) {
        return std::nullopt;
    }
    return paths;
}

std::optional<CString> SelectDirectory(QWidget* owner)
{
    const CDialog::NestedRun run(owner);
    const auto paths = Handler() ? Handler()(FileDialogKind::SelectDirectory) : RunSelectDirectory(owner);
    if (!paths || paths->empty()) {
        return std::nullopt;
    }
    return WithSeparator(paths->front());
}

CString DescribeUnusableChoice(const CString& path, FileDialogKind kind)
{
    const bool directory = kind == FileDialogKind::SelectDirectory;
    if (path.find("\xEF\xBF\xBD") != CString::npos) {
        return path
            + " cannot be used: its name is not valid UTF-8, so the file dialog gives it back altered. "
            + (directory ? "Rename the directory or choose another one."
                         : "Rename the file and select it again.");
    }
    struct stat status
    {
    };
    // Without the closing separator, so that a file chosen as a directory is told apart.
    const CString name = path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path;
    if (::stat(name.c_str(), &status) != 0) {
        // Other failures, such as a denied access, are reported where the file is opened.
        return errno == ENOENT || errno == ENOTDIR ? path + " was not found." : CString();
    }
    if (directory && !S_ISDIR(status.st_mode)) {
        return path + " is not a directory.";
    }
    return {};
}

void SetFileDialogHandler(FileDialogHandler handler)
{
    Handler() = std::move(handler);
}
