#pragma once

#include <QDialog>

// The frame every chat-subsystem window has: its own top-level window with a minimise and a
// close box, at its laid-out size.
inline void ApplyChatWindowFrame(QDialog* window)
{
    window->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
        | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
}
