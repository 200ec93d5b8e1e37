#include "app/Automation.h"
#include "app/MessengerApp.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    // The main window hides to the tray and other windows come and go; the run ends only when
    // the main window's run does.
    QApplication::setQuitOnLastWindowClosed(false);
    CAutomation::StartFromEnvironment(&application);
    CMessengerApp theApp;
    theApp.InitInstance();
    return 0;
}
