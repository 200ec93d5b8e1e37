#include "app/AboutDialog.h"

#include <QIcon>

CAboutDialog::CAboutDialog(QWidget* parent)
    : CDialog(parent)
{
    ui.setupUi(this);
    const QIcon icon(QStringLiteral(":/icons/quorvane.svg"));
    setWindowIcon(icon);
    ui.iconLabel->setPixmap(icon.pixmap(32, 32));
    connect(ui.okButton, &QPushButton::clicked, this, [this] { OnOK(); });
}
