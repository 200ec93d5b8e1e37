#include "framework/MainWindowLink.h"

namespace {
IMainWindow* g_pMainWnd = nullptr;
}

IMainWindow* AfxGetMainWnd()
{
    return g_pMainWnd;
}

void AfxSetMainWnd(IMainWindow* window)
{
    g_pMainWnd = window;
}
