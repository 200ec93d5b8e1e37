#pragma once

#include "framework/CString.h"

// The application object: one instance, whose InitInstance runs the whole program.
class CWinApp
{
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Runs the program; returns false so that no message loop of the framework's own follows.
    virtual bool InitInstance() = 0;

    // The base name of the program file; the caption of the framework's own message boxes.
    CString GetAppName() const;
};

CWinApp* AfxGetApp();
