#pragma once

#include "tests/support/QtPrinters.h"

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

// A connected stream socket to the local socket at path, or -1 when nothing answers there (a
// socket file left by a process that was killed refuses).
int ConnectToLocalSocket(const QString& path);

// A real copy of the program running on one host of the virtual LAN, offscreen, read and driven
// through its automation socket.
class RunningCopy
{
public:
    // Environment entries NAME=VALUE are added to the copy's.
    explicit RunningCopy(int host, const QStringList& environment = {});
    ~RunningCopy();
    RunningCopy(const RunningCopy&) = delete;
    RunningCopy& operator=(const RunningCopy&) = delete;

    struct Window
    {
        QString id;
        QString className;
        QString title;
    };

    bool IsRunning() const;
    // Sends one request and returns the reply's lines.
    QStringList Request(const QString& request);
    std::vector<Window> Windows();
    std::vector<Window> WindowsTitled(const QString& title);
    // Waits until a window titled so is open (and, when given, its dump satisfies the test).
    std::optional<Window> WaitForWindow(const QString& title,
        const std::function<bool(const QStringList&)>& test = {}, int timeoutMs = 10000);
    // Answers the file dialog that opens next as if text were typed into its name box and the
    // button pressed; false when none opened or it did not close.
    bool AnswerFileDialog(const QString& typed, const QString& button);
    // Waits for a message box whose text satisfies the test.
    std::optional<Window> WaitForMessageBox(const QString& text, int timeoutMs = 10000);
    // The control's text from a dump line: kind, object name, text.
    QString Text(const Window& window, const QString& objectName);
    // The entries of a drop-down list.
    QStringList ListEntries(const Window& window, const QString& objectName);
    void Click(const Window& window, const QString& button);
    void Set(const Window& window, const QString& objectName, const QString& text);
    void Select(const Window& window, const QString& objectName, int index);
    void Key(const Window& window, const QString& key);
    // Drags text/uri-list onto the window and drops it; false when the window refuses it.
    bool Drop(const Window& window, const QStringList& uris);

    // Ends the copy with SIGTERM and waits for it.
    bool Terminate();
    // Ends it at once, as a crash or a power cut would.
    void Kill();
    // From /proc: resident memory now and at its peak, and open descriptors.
    long ResidentKiB() const;
    long PeakResidentKiB() const;
    int OpenDescriptors() const;
    // The copy's process id, for reading its threads' figures from /proc.
    qint64 ProcessId() const;
    QString Identity() const;
    QString Address() const;
    QString ErrorOutput();
    // The copy's own XDG_RUNTIME_DIR (mode 0700), where it listens for `quorvane --send`.
    QString RuntimeDirectory() const { return m_runtimeDirectory.path(); }

    struct Outcome
    {
        // -1 when it did not end within the time (it is then killed).
        int exitCode = -1;
        QString errorOutput;
    };
    // Runs the program with arguments on host of the LAN as a shell of the user would, and waits
    // for it to end: with runtimeDirectory as XDG_RUNTIME_DIR (none when empty), in
    // workingDirectory, and without a display.
    static Outcome RunOnce(int host, const QStringList& arguments, const QString& runtimeDirectory,
        const QString& workingDirectory, int timeoutMs = 15000);

private:
    int m_host;
    // Copies of a test never share a socket with each other or with a real copy.
    QTemporaryDir m_runtimeDirectory;
    QString m_socketPath;
    std::unique_ptr<QProcess> m_process;
    int m_fd = -1;
};
