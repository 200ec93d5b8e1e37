#include "chat/DeclinedDialog.h"

#include "ui_DeclinedDialog.h"

CDeclinedDialog::CDeclinedDialog()
    : CDialog(nullptr, Opener::Peer)
    , ui(std::make_unique<Ui::DeclinedDialog>())
{
    ui->setupUi(this);
    ApplyWindowFrame(this);
    connect(ui->okButton, &QPushButton::clicked, this, [this] { OnOK(); });
}

CDeclinedDialog::~CDeclinedDialog() = default;

void CDeclinedDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui->reasonEdit, m_strReason);
}
