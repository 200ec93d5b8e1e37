#include "framework/WinApp.h"

#include "framework/Alert.h"
#include "framework/QtText.h"

#include <QApplication>

namespace {
CWinApp* g_pApp = nullptr;
}

CWinApp::CWinApp()
{
    g_pApp = this;
    SetAlertSound([] { QApplication::beep(); });
}

CWinApp::~CWinApp()
{
    SetAlertSound({});
    g_pApp = nullptr;
}

CString CWinApp::GetAppName() const
{
    return FromQString(QCoreApplication::applicationName());
}

CWinApp* AfxGetApp()
{
    return g_pApp;
}
