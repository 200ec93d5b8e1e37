#pragma once

#include "framework/CString.h"

#include <functional>

class QWidget;

// Message box styles and answers, with the values of the platform we were modelled on.
enum MessageBoxStyle : unsigned {
    MB_OK = 0x0,
    MB_YESNO = 0x4,
    MB_ICONQUESTION = 0x20,
    MB_ICONWARNING = 0x30,
    MB_DEFBUTTON2 = 0x100,
};

enum DialogResult : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDYES = 6,
    IDNO = 7,
};

struct MessageBoxRequest
{
    CString text;
    CString caption;
    unsigned style = MB_OK;
    // Only the owner waits for the answer; other windows, chats and transfers go on. A box
    // without an owner keeps every window waiting.
    QWidget* owner = nullptr;
};

// Shows a message box and waits for the answer (IDOK, IDYES or IDNO). Its text is always plain
// text: it may come from the network. An empty caption means the application's name. A box
// with only OK that comes while another box waits is shown without waiting and answers IDOK at
// once, so that boxes never pile up on the stack.
int ShowMessageBox(MessageBoxRequest request);

// A message box captioned with the application's name and owned by no window.
int AfxMessageBox(const CString& text, unsigned style = MB_OK);

// Tests replace the real boxes with scripted answers; an empty handler restores them.
using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;
void SetMessageBoxHandler(MessageBoxHandler handler);
