#include "framework/WinApp.h"

#include "framework/Alert.h"

#include <QApplication>

CWinApp::CWinApp()
{
    SetAlertSound([] { QApplication::beep(); });
}

CWinApp::~CWinApp()
{
    SetAlertSound({});
}
