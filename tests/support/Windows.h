#pragma once

#include "tests/support/QtPrinters.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <vector>

// The visible top-level windows of a class, in no particular order.
template<typename Window> std::vector<Window*> OpenWindowsOf()
{
    std::vector<Window*> windows;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = dynamic_cast<Window*>(widget); window && window->isVisible()) {
            windows.push_back(window);
        }
    }
    return windows;
}

inline QString LabelText(QWidget* window, const char* name)
{
    auto* label = window->findChild<QLabel*>(name);
    return label ? label->text() : QString();
}
