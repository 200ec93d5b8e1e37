#include "app/MessengerApp.h"

#include "app/MainDialog.h"
#include "app/SendClient.h"
#include "app/SendListener.h"
#include "app/TerminationSignals.h"
#include "framework/MessageBox.h"
#include "net/WireText.h"
#include "transfer/FileReceiveWorker.h"

#include <QCoreApplication>

#include <chrono>

#include <sys/socket.h>
#include <unistd.h>

bool CMessengerApp::InitInstance()
{
    if (!StartSocketLayer()) {
        AfxMessageBox("Windows sockets initialization failed.", MB_OK | MB_ICONWARNING);
        return false;
    }

    // Fixed before the identity is written in it; a bad override is said once, here.
    SetWireCodePage(CodePageFromEnvironment());
    CMainDialog dlg;
    AfxSetMainWnd(&dlg);

    // Files handed over by `quorvane --send` open in the main window, and a second start brings
    // it back. A copy that finds another listening starts nothing of its own: a second copy could
    // bind no port and would hear nobody, while looking like the first.
    CSendListener sendListener([&dlg](std::vector<CString> paths) { dlg.OpenSendFiles(std::move(paths)); },
        [&dlg](const CString& startupId) { dlg.ShowFromAnotherStart(startupId); });
    sendListener.StartForThisUser();
    if (sendListener.FoundRunningCopy()) {
        m_nExitCode = m_bQuietStart ? 0 : ShowRunningCopy(sendListener.GetPath(), m_strStartupId);
        AfxSetMainWnd(nullptr);
        return false;
    }

    // A termination leaves every event loop, so that a question or menu still on screen cannot
    // hold the program back; the peers hear the goodbye once.
    CTerminationSignals termination;
    QObject::connect(&termination, &CTerminationSignals::terminationRequested, &dlg, [&dlg] {
        dlg.OnEndSession(true);
        dlg.EndDialog(IDCANCEL);
        QCoreApplication::exit(0);
    });
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, &dlg, [&dlg] { dlg.OnEndSession(true); });
    // Qt's commit-data request says no goodbye: it comes at save points and at log-offs that can
    // still be cancelled. The session's real end comes as a termination signal, or as exit() when
    // the display connection breaks, and the main window's leave guard covers both.

    dlg.DoModal();
    // Nothing more is handed to a window whose run is over; the socket file goes with it.
    sendListener.Close();
    // Windows still open end with the run; their connections close as they go.
    CDialog::DestroyAllWindows();
    // A file being received keeps every byte that was answered: a write still under way ends
    // first (a disk that never answers holds the end back a few seconds at most).
    CFileReceiveWorker::WaitForAll(std::chrono::seconds(5));
    AfxSetMainWnd(nullptr);
    return false;
}

bool CMessengerApp::StartSocketLayer()
{
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    close(probe);
    return true;
}
