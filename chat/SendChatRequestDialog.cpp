#include "chat/SendChatRequestDialog.h"

#include "chat/ChatDialog.h"
#include "chat/DeclinedDialog.h"
#include "framework/Icons.h"
#include "framework/MainWindowLink.h"
#include "framework/TextLimit.h"

#include <QIcon>

CSendChatRequestDialog::CSendChatRequestDialog()
{
    ui.setupUi(this);
    ApplyWindowFrame(this);
    // Enter starts a new line in the subject.
    LimitTextBytes(ui.subjectEdit, MAX_SUBJECT_BYTES, [this] { return PeerSpeechByName(m_strPeer); });
    connect(ui.sendButton, &QPushButton::clicked, this, [this] { OnSendRequest(); });
    connect(ui.cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
}

CSendChatRequestDialog::~CSendChatRequestDialog() = default;

void CSendChatRequestDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui.headerLabel, m_strHeader);
    DDX_Text(bSaveAndValidate, ui.subjectEdit, m_strSubject);
}

bool CSendChatRequestDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(LoadIcon("chat"));
    ui.subjectEdit->setFocus();
    return true;
}

void CSendChatRequestDialog::OnSendRequest()
{
    if (m_pSocket) {
        return;
    }
    UpdateData(true);
    m_strSubject += "\r\n";
    // This window owns the connection until the answer hands it on.
    m_pSocket = std::make_unique<CChatSocket>(this);
    m_pSocket->Create(0, SOCK_STREAM, FD_ALL_EVENTS);
    IMainWindow* mainWindow = AfxGetMainWnd();
    m_pSocket->ConnectTo(mainWindow ? mainWindow->FindAddressByName(m_strPeer) : CString());
    ui.subjectEdit->setEnabled(false);
    ui.sendButton->setEnabled(false);
}

void CSendChatRequestDialog::OnChatAccepted()
{
    auto* chat = new CChatDialog(Opener::Peer);
    chat->m_strPeer = PeerText(m_strPeer);
    chat->m_strHeader = "Chatting With " + chat->m_strPeer;
    m_pSocket->SetWindow(static_cast<IChatWindow*>(chat));
    chat->SetConnection(std::move(m_pSocket));
    chat->Create();
    DestroyWindow();
}

void CSendChatRequestDialog::OnDeclineReason(const CString& reason)
{
    m_pSocket.reset();
    auto* declined = new CDeclinedDialog;
    declined->m_strReason = reason;
    declined->Create();
    DestroyWindow();
}

void CSendChatRequestDialog::OnDeclinedWithoutReason()
{
    m_pSocket.reset();
    MessageBoxThen(
        "Request Declined Without Reason", [this] { DestroyWindow(); }, Opener::Peer);
}

void CSendChatRequestDialog::OnCancel()
{
    m_pSocket.reset();
    DestroyWindow();
}
