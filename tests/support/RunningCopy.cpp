#include "tests/support/RunningCopy.h"

#include "app/Automation.h"
#include "tests/support/Lan.h"
#include "tests/support/Wait.h"

#include <QDir>
#include <QFile>

#include <cstring>
#include <optional>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// The arguments of `ip` that run the program with arguments on host, under the host's name.
QStringList OnHost(int host, const QStringList& arguments)
{
    const QString ns = qEnvironmentVariable(QStringLiteral("QLAN_NS_%1").arg(host).toUtf8().constData());
    return QStringList {"netns", "exec", ns, "unshare", "--uts", "--", "sh", "-c",
               "hostname \"$0\" && exec \"$@\"", QString::fromStdString(lan::HostName(host)),
               qEnvironmentVariable("QUORVANE_BINARY")}
    + arguments;
}
} // namespace

int ConnectToLocalSocket(const QString& path)
{
    const QByteArray bytes = path.toUtf8();
    sockaddr_un address {};
    if (static_cast<size_t>(bytes.size()) >= sizeof address.sun_path) {
        return -1;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, bytes.constData(), static_cast<size_t>(bytes.size()));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

RunningCopy::RunningCopy(int host, const QStringList& extraEnvironment)
    : m_host(host)
    , m_socketPath(QDir::tempPath() + QStringLiteral("/quorvane-e2e-%1-%2.sock").arg(getpid()).arg(host))
    , m_process(std::make_unique<QProcess>())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QUORVANE_AUTOMATION", m_socketPath);
    environment.insert("XDG_RUNTIME_DIR", m_runtimeDirectory.path());
    for (const QString& entry : extraEnvironment) {
        environment.insert(entry.section('=', 0, 0), entry.section('=', 1));
    }
    m_process->setProcessEnvironment(environment);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->start("ip", OnHost(host, {}));
    m_process->waitForStarted();

    // The copy is ready once its control socket answers.
    WaitFor(
        [this] {
            m_fd = ConnectToLocalSocket(m_socketPath);
            return m_fd >= 0;
        },
        10000);
}

RunningCopy::~RunningCopy()
{
    if (IsRunning()) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
    if (m_fd >= 0) {
        close(m_fd);
    }
    QFile::remove(m_socketPath);
}

bool RunningCopy::IsRunning() const
{
    return m_process->state() != QProcess::NotRunning;
}

QStringList RunningCopy::Request(const QString& request)
{
    if (m_fd < 0) {
        return {};
    }
    const QByteArray line = (request + '\n').toUtf8();
    if (write(m_fd, line.constData(), line.size()) != line.size()) {
        return {};
    }
    // The reply ends with an empty line.
    QByteArray reply;
    char buffer[4096];
    while (!reply.endsWith("\n\n") && reply != "\n") {
        const ssize_t length = read(m_fd, buffer, sizeof buffer);
        if (length <= 0) {
            return {};
        }
        reply.append(buffer, length);
    }
    QStringList lines = QString::fromUtf8(reply).split('\n');
    while (!lines.isEmpty() && lines.last().isEmpty()) {
        lines.removeLast();
    }
    return lines;
}

std::vector<RunningCopy::Window> RunningCopy::Windows()
{
    std::vector<Window> windows;
    for (const QString& line : Request("windows")) {
        const QStringList fields = line.split('\t');
        if (fields.size() == 3) {
            windows.push_back({fields[0], fields[1], CAutomation::Unescape(fields[2])});
        }
    }
    return windows;
}

std::vector<RunningCopy::Window> RunningCopy::WindowsTitled(const QString& title)
{
    std::vector<Window> titled;
    for (const Window& window : Windows()) {
        if (window.title == title) {
            titled.push_back(window);
        }
    }
    return titled;
}

std::optional<RunningCopy::Window> RunningCopy::WaitForWindow(
    const QString& title, const std::function<bool(const QStringList&)>& test, int timeoutMs)
{
    std::optional<Window> found;
    WaitFor(
        [&] {
            for (const Window& window : WindowsTitled(title)) {
                if (!test || test(Request("dump " + window.id))) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

std::optional<RunningCopy::Window> RunningCopy::WaitForMessageBox(const QString& text, int timeoutMs)
{
    std::optional<Window> found;
    WaitFor(
        [&] {
            for (const Window& window : Windows()) {
                if (window.className == "QMessageBox" && Text(window, "") == text) {
                    found = window;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

bool RunningCopy::AnswerFileDialog(const QString& typed, const QString& button)
{
    std::optional<Window> dialog;
    WaitFor([&] {
        for (const Window& window : Windows()) {
            if (window.className == "QFileDialog") {
                dialog = window;
                return true;
            }
        }
        return false;
    });
    if (!dialog) {
        return false;
    }
    Set(*dialog, "fileNameEdit", typed);
    Click(*dialog, button);
    return WaitFor([&] {
        for (const Window& window : Windows()) {
            if (window.className == "QFileDialog") {
                return false;
            }
        }
        return true;
    });
}

QString RunningCopy::Text(const Window& window, const QString& objectName)
{
    for (const QString& line : Request("dump " + window.id)) {
        const QStringList fields = line.split('\t');
        if (fields.size() >= 3 && fields[1] == objectName) {
            return CAutomation::Unescape(fields[2]);
        }
    }
    return {};
}

QStringList RunningCopy::ListEntries(const Window& window, const QString& objectName)
{
    for (const QString& line : Request("dump " + window.id)) {
        QStringList fields = line.split('\t');
        if (fields.size() >= 3 && fields[0] == "list" && fields[1] == objectName) {
            QStringList entries;
            for (const QString& entry : fields.mid(3)) {
                entries << CAutomation::Unescape(entry);
            }
            return entries;
        }
    }
    return {};
}

void RunningCopy::Click(const Window& window, const QString& button)
{
    Request("click " + window.id + " " + button);
}

void RunningCopy::Set(const Window& window, const QString& objectName, const QString& text)
{
    Request("set " + window.id + " " + objectName + " " + CAutomation::Escape(text));
}

void RunningCopy::Select(const Window& window, const QString& objectName, int index)
{
    Request(QStringLiteral("select %1 %2 %3").arg(window.id, objectName).arg(index));
}

void RunningCopy::Key(const Window& window, const QString& key)
{
    Request("key " + window.id + " " + key);
}

bool RunningCopy::Drop(const Window& window, const QStringList& uris)
{
    return Request("drop " + window.id + " " + uris.join(' ')) == QStringList {"accepted"};
}

bool RunningCopy::Terminate()
{
    m_process->terminate();
    // A sanitizer build that finds a leak at exit fails the exit code.
    return m_process->waitForFinished(10000) && m_process->exitStatus() == QProcess::NormalExit
        && m_process->exitCode() == 0;
}

QString RunningCopy::Identity() const
{
    const passwd* user = getpwuid(getuid());
    return QStringLiteral("%1 (%2)").arg(
        user ? user->pw_name : "unknown", QString::fromStdString(lan::HostName(m_host)));
}

QString RunningCopy::Address() const
{
    return QString::fromStdString(lan::Address(m_host));
}

QString RunningCopy::ErrorOutput()
{
    return QString::fromLocal8Bit(m_process->readAllStandardError());
}

RunningCopy::Outcome RunningCopy::RunOnce(int host, const QStringList& arguments,
    const QString& runtimeDirectory, const QString& workingDirectory, int timeoutMs)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Nor a session bus: a failed hand-over would notify the desktop the tests run on.
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY", "QUORVANE_AUTOMATION",
             "DBUS_SESSION_BUS_ADDRESS"}) {
        environment.remove(name);
    }
    if (runtimeDirectory.isEmpty()) {
        environment.remove("XDG_RUNTIME_DIR");
    } else {
        environment.insert("XDG_RUNTIME_DIR", runtimeDirectory);
    }
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(workingDirectory);
    process.start("ip", OnHost(host, arguments));
    Outcome outcome;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
    } else if (process.exitStatus() == QProcess::NormalExit) {
        outcome.exitCode = process.exitCode();
    }
    outcome.errorOutput = QString::fromLocal8Bit(process.readAllStandardError());
    return outcome;
}

void RunningCopy::Kill()
{
    m_process->kill();
    m_process->waitForFinished(5000);
}

namespace {
// A field of /proc/PID/status in kB, or -1.
long StatusField(qint64 pid, const QByteArray& field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':')) {
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}
} // namespace

// "ip netns exec", "unshare" and "sh -c exec" each replace themselves, so the process started is
// the copy itself.
long RunningCopy::ResidentKiB() const
{
    return StatusField(m_process->processId(), "VmRSS");
}

long RunningCopy::PeakResidentKiB() const
{
    return StatusField(m_process->processId(), "VmHWM");
}

qint64 RunningCopy::ProcessId() const
{
    return m_process->processId();
}

int RunningCopy::OpenDescriptors() const
{
    return static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(m_process->processId()))
                                .entryList(QDir::NoDotAndDotDot | QDir::System)
                                .size());
}
