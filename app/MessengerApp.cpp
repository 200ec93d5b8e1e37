#include "app/MessengerApp.h"

#include "app/MainDialog.h"
#include "app/TerminationSignals.h"
#include "framework/MessageBox.h"

#include <QGuiApplication>
#include <QSessionManager>

#include <sys/socket.h>
#include <unistd.h>

bool CMessengerApp::InitInstance()
{
    if (!StartSocketLayer()) {
        AfxMessageBox("Windows sockets initialization failed.", MB_OK | MB_ICONWARNING);
        return false;
    }

    CMainDialog dlg;
    AfxSetMainWnd(&dlg);

    // However a session ends the program, the peers hear the goodbye once. Every event loop is
    // left, so that a question or menu still on screen cannot hold the program back.
    const auto endNow = [&dlg] {
        dlg.EndDialog(IDCANCEL);
        QCoreApplication::exit(0);
    };
    CTerminationSignals termination;
    QObject::connect(&termination, &CTerminationSignals::terminationRequested, &dlg, endNow);
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, &dlg, [&dlg, endNow](QSessionManager&) {
        dlg.OnEndSession(true);
        endNow();
    });

    dlg.DoModal();
    // Windows still open end with the run; their connections close as they go.
    CDialog::DestroyAllWindows();
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
