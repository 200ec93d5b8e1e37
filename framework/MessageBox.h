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
    // Only the owner is blocked while the box is open (window-modal); a box without an owner,
    // or one a peer caused, blocks nothing.
    QWidget* owner = nullptr;
    // A peer caused it, not the user: it must not take the keys the user is typing elsewhere.
    bool byPeer = false;
};

// Its text is always plain text: it may come from the network. An empty caption means the
// application's name.

// Shows a box and waits for the answer (IDOK, IDYES or IDNO) in a loop of its own. Kept for
// questions whose answer the caller needs before it goes on ("Are you sure?").
int ShowMessageBox(MessageBoxRequest request);

// Runs with the answer once a box shown without waiting is dismissed.
using MessageBoxDone = std::function<void(int answer)>;
// Shows a box and returns at once; done (if any) runs when the user dismisses it, and not at
// all if its owner is destroyed first. Every such box is shown on its own, with its own text:
// reports about the user's own chats and transfers are never merged or dropped.
void ShowMessageBoxAsync(MessageBoxRequest request, MessageBoxDone done = {});

// An ownerless notice that a remote host can cause on its own ("Request Cancelled By ..."),
// from the given source address. Equal ones are merged into one box that counts the repeats; at
// most MAX_OPEN_NOTICES are open at once, each counting among its source's windows (see
// CWindowQuota). Beyond that it is dropped.
void ShowNetworkNotice(const CString& text, const CString& source);
constexpr int MAX_OPEN_NOTICES = 32;

// A waiting message box captioned with the application's name and owned by no window.
int AfxMessageBox(const CString& text, unsigned style = MB_OK);

// Tests replace the real boxes with scripted answers; an empty handler restores them. A box
// shown without waiting gets its answer from the handler, and its follow-up runs at once.
using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;
void SetMessageBoxHandler(MessageBoxHandler handler);
