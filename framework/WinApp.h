#pragma once

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
};
