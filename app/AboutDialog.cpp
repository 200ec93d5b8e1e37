#include "app/AboutDialog.h"

#include "app/Version.h"
#include "framework/Icons.h"

#include <QIcon>

CAboutDialog::CAboutDialog(QWidget* parent)
    : CDialog(parent)
{
    ui.setupUi(this);
    ui.versionLabel->setText(QStringLiteral("Quorvane Version " QUORVANE_VERSION));
    const QIcon icon = LoadIcon("quorvane");
    setWindowIcon(icon);
    ui.iconLabel->setPixmap(icon.pixmap(QSize(32, 32), devicePixelRatioF()));
    connect(ui.okButton, &QPushButton::clicked, this, [this] { OnOK(); });
}
