#pragma once

#include "framework/Dialog.h"
#include "ui_AboutDialog.h"

// "About Quorvane": the icon, the version line and OK.
class CAboutDialog : public CDialog
{
    Q_OBJECT

public:
    explicit CAboutDialog(QWidget* parent = nullptr);

private:
    Ui::AboutDialog ui;
};
