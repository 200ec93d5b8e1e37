#include "app/Automation.h"
#include "app/MessengerApp.h"

#include <QApplication>

int main(int argc, char** argv)
{
    // Qt's own event dispatcher: every file chunk is a round trip through the event loop,
    // and the glib one costs noticeably more per wake-up.
    qputenv("QT_NO_GLIB", "1");
    QApplication application(argc, argv);
    // The main window hides to the tray and other windows come and go; the run ends only when
    // the main window's run does.
    QApplication::setQuitOnLastWindowClosed(false);
    CAutomation::StartFromEnvironment(&application);
    CMessengerApp theApp;
    theApp.InitInstance();
    return 0;
}
