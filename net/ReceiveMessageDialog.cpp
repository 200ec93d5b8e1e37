#include "net/ReceiveMessageDialog.h"

#include "framework/Icons.h"
#include "framework/MainWindowLink.h"
#include "net/SendMessageDialog.h"

#include <QIcon>

CReceiveMessageDialog::CReceiveMessageDialog()
    : CDialog(nullptr, Opener::Peer)
{
    ui.setupUi(this);
    ApplyWindowFrame(this);
    connect(ui.replyButton, &QPushButton::clicked, this, [this] { OnReply(); });
    connect(ui.closeButton, &QPushButton::clicked, this, [this] { OnCancel(); });
}

bool CReceiveMessageDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(LoadIcon("message"));
    ui.replyButton->setFocus();
    return true;
}

void CReceiveMessageDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui.headerLabel, m_strHeader);
    DDX_Text(bSaveAndValidate, ui.messageEdit, m_strMessage);
}

void CReceiveMessageDialog::OnReply()
{
    auto* reply = new CSendMessageDialog;
    reply->m_strPeer = m_strPeer;
    reply->m_strHeader = "Reply Message To " + PeerText(m_strPeer);
    reply->Create();
    DestroyWindow();
}
