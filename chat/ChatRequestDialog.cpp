#include "chat/ChatRequestDialog.h"

#include "chat/ChatDialog.h"
#include "chat/DeclineDialog.h"
#include "framework/Icons.h"

#include <QIcon>

CChatRequestDialog::CChatRequestDialog(std::unique_ptr<CChatListenSocket> connection)
    : CDialog(nullptr, Opener::Peer)
    , m_pSocket(std::move(connection))
{
    ui.setupUi(this);
    ApplyWindowFrame(this);
    connect(ui.acceptButton, &QPushButton::clicked, this, [this] { OnAcceptRequest(); });
    connect(ui.declineButton, &QPushButton::clicked, this, [this] { OnDeclineRequest(); });
}

CChatRequestDialog::~CChatRequestDialog() = default;

void CChatRequestDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui.headerLabel, m_strHeader);
    DDX_Text(bSaveAndValidate, ui.subjectEdit, m_strSubject);
}

bool CChatRequestDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(LoadIcon("chat"));
    ui.acceptButton->setFocus();
    return true;
}

void CChatRequestDialog::ShowRequest(const CString& subject)
{
    m_strSubject = subject;
    if (m_pSocket) {
        HoldWindowSlot(m_pSocket->TakeWindowSlot());
    }
    Create();
}

void CChatRequestDialog::OnRequestCancelled()
{
    const CString source = m_pSocket ? m_pSocket->GetPeerAddress() : CString();
    m_pSocket.reset();
    const CString text = "Request Cancelled By " + m_strPeer;
    if (IsModeless()) {
        MessageBoxThen(
            text, [this] { DestroyWindow(); }, Opener::Peer);
    } else {
        // The subject never came, so the window was never shown: only the message is seen, and
        // a host can make that happen over and over on its own.
        ShowNetworkNotice(text, source);
        deleteLater();
    }
}

void CChatRequestDialog::OnCancel()
{
    m_pSocket.reset();
    DestroyWindow();
}

void CChatRequestDialog::OnAcceptRequest()
{
    if (!m_pSocket) {
        return;
    }
    m_pSocket->AcceptChat();
    auto* chat = new CChatDialog;
    chat->m_strPeer = m_strPeer;
    chat->m_strHeader = "Chatting With " + m_strPeer;
    m_pSocket->SetWindow(static_cast<IChatWindow*>(chat));
    chat->SetConnection(std::move(m_pSocket));
    chat->Create();
    DestroyWindow();
}

void CChatRequestDialog::OnDeclineRequest()
{
    if (!m_pSocket) {
        return;
    }
    m_pSocket->DeclineChat();
    auto* decline = new CDeclineDialog;
    decline->m_strPeer = m_strPeer;
    m_pSocket->SetWindow(static_cast<IDeclineWindow*>(decline));
    decline->SetConnection(std::move(m_pSocket));
    decline->Create();
    DestroyWindow();
}
