#include "app/Automation.h"
#include "app/CommandLine.h"
#include "app/MessengerApp.h"
#include "app/SendClient.h"
#include "app/SendListener.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFileInfo>
#include <QThreadPool>

#include <csignal>
#include <cstdio>

#include <sys/resource.h>

namespace {
// Every connection holds a descriptor, and the usual soft limit of 1024 would let a flood of idle
// connections crowd out genuine peers.
void RaiseOpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void IgnoreSignal(int) { }

// The display connection writes without MSG_NOSIGNAL: when the display goes away (log-off, a
// server that dies), SIGPIPE would kill the program before Qt's exit() lets the peers hear the
// goodbye. A handler that does nothing turns every such write into a failed one; unlike SIG_IGN,
// programs started from here get the default back.
void SurviveBrokenPipes()
{
    struct sigaction action
    {
    };
    action.sa_handler = IgnoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}

// Qt aborts when it finds no display, with a core dump and advice to reinstall. Started from a
// terminal outside the desktop session, or over ssh, the user is told what is missing instead.
bool HasDisplay()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        return true;
    }
    // A compositor on the default socket serves clients that were given no WAYLAND_DISPLAY.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/wayland-0"));
}
} // namespace

int main(int argc, char** argv)
{
    SurviveBrokenPipes();
    // Decided before any QGuiApplication exists: neither a usage error nor a hand-over needs a
    // display.
    CCommandLine commandLine
        = ParseCommandLine(std::vector<CString>(argv + 1, argv + argc), CurrentWorkingDirectory());
    switch (commandLine.action) {
    case CCommandLine::Action::Usage:
        std::fprintf(stderr, "%s\n", COMMAND_LINE_USAGE);
        return 2;
    case CCommandLine::Action::Send: {
        QCoreApplication application(argc, argv);
        return RunSendCommand(std::move(commandLine.files));
    }
    case CCommandLine::Action::Run:
        break;
    }
    const CString startupId = qEnvironmentVariableIsSet("XDG_ACTIVATION_TOKEN")
        ? qgetenv("XDG_ACTIVATION_TOKEN").toStdString()
        : qgetenv("DESKTOP_STARTUP_ID").toStdString();
    // A copy runs for this user already: it is asked to show itself, and nothing of a second
    // copy starts, not even its connection to the display. Two starts at the same moment are
    // settled under the listener's lock in InitInstance.
    if (const CString path = CSendListener::DefaultSocketPath(); CSendListener::IsCopyListening(path)) {
        if (commandLine.quiet) {
            return 0;
        }
        QCoreApplication application(argc, argv);
        return ShowRunningCopy(path, startupId);
    }

    if (!HasDisplay()) {
        std::fprintf(stderr,
            "quorvane: there is no display to show Quorvane on (neither DISPLAY nor WAYLAND_DISPLAY is "
            "set); start it from the desktop session\n");
        return 1;
    }

    // Qt's own event dispatcher: every file chunk is a round trip through the event loop,
    // and the glib one costs noticeably more per wake-up.
    qputenv("QT_NO_GLIB", "1");
    RaiseOpenFileLimit();
    QApplication application(argc, argv);
    // Qt's raster painting hands larger fills (a progress bar's stripes) to the global thread
    // pool and waits for them. With a pool thread per processor, every redraw of a transfer's
    // window wakes threads on the processors the transfers run on, and those wake-ups part the
    // file workers from their peers. One pool thread does the same painting with fewer of them.
    QThreadPool::globalInstance()->setMaxThreadCount(1);
    // The main window hides to the tray and other windows come and go; the run ends only when
    // the main window's run does.
    QApplication::setQuitOnLastWindowClosed(false);
    if (CAutomation::StartFromEnvironment(&application)) {
        CAutomation::ApplyTestSettings();
    }
    CMessengerApp theApp;
    theApp.m_bQuietStart = commandLine.quiet;
    theApp.m_strStartupId = startupId;
    theApp.InitInstance();
    return theApp.m_nExitCode;
}
