#include "net/SendMessageDialog.h"

#include "framework/Icons.h"
#include "framework/MainWindowLink.h"
#include "framework/TextLimit.h"

#include <QIcon>

CSendMessageDialog::CSendMessageDialog()
{
    ui.setupUi(this);
    ApplyWindowFrame(this);
    // Enter starts a new line (the form lets Tab move on to the buttons).
    // An announcement goes in the code page; a message as its addressee reads.
    LimitTextBytes(ui.messageEdit, MAX_MESSAGE_BYTES,
        [this] { return m_strPeer.empty() ? WireSpeech::CodePage : PeerSpeechByName(m_strPeer); });
    connect(ui.sendButton, &QPushButton::clicked, this, [this] { OnSendMessage(); });
    connect(ui.cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
}

bool CSendMessageDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(LoadIcon("message"));
    ui.messageEdit->setFocus();
    return true;
}

void CSendMessageDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui.headerLabel, m_strHeader);
    DDX_Text(bSaveAndValidate, ui.messageEdit, m_strMessage);
}

void CSendMessageDialog::OnSendMessage()
{
    UpdateData(true);
    if (IMainWindow* mainWindow = AfxGetMainWnd()) {
        mainWindow->SendMessageTo(m_strPeer, m_strMessage);
    }
    DestroyWindow();
}
