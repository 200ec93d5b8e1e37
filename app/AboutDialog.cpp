#include "app/AboutDialog.h"

#include "framework/Icons.h"

#include <QIcon>

CAboutDialog::CAboutDialog(QWidget* parent)
    : CDialog(parent)
{
    ui.setupUi(this);
    const QIcon icon = LoadIcon("quorvane");
    setWindowIcon(icon);
    ui.iconLabel->setPixmap(icon.pixmap(32, 32));
    connect(ui.okButton, &QPushButton::clicked, this, [this] { OnOK(); });
}
