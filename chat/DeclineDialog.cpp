#include "chat/DeclineDialog.h"

#include "chat/ChatProtocol.h"
#include "framework/MainWindowLink.h"
#include "framework/TextLimit.h"
#include "ui_DeclineDialog.h"

#include <QKeyEvent>

namespace {
// Enter in the reason box presses Send; Ctrl+Enter types a line break.
class CReasonKeys : public QObject
{
public:
    CReasonKeys(QPlainTextEdit* edit, QPushButton* send)
        : QObject(edit)
        , m_pEdit(edit)
        , m_pSend(send)
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched != m_pEdit || event->type() != QEvent::KeyPress) {
            return false;
        }
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) {
            return false;
        }
        if (key->modifiers() & Qt::ControlModifier) {
            m_pEdit->insertPlainText(QStringLiteral("\n"));
        } else if (m_pSend->isEnabled()) {
            m_pSend->click();
        }
        return true;
    }

private:
    QPlainTextEdit* m_pEdit;
    QPushButton* m_pSend;
};
} // namespace

CDeclineDialog::CDeclineDialog()
    : ui(std::make_unique<Ui::DeclineDialog>())
{
    ui->setupUi(this);
    ApplyWindowFrame(this);
    LimitTextBytes(ui->reasonEdit, MAX_REASON_BYTES,
        [this] { return m_pSocket ? PeerSpeech(PeerAddressOf(*m_pSocket)) : WireSpeech::CodePage; });
    ui->reasonEdit->installEventFilter(new CReasonKeys(ui->reasonEdit, ui->sendButton));
    ui->reasonEdit->setFocus();
    connect(ui->sendButton, &QPushButton::clicked, this, [this] { OnSendReason(); });
}

CDeclineDialog::~CDeclineDialog() = default;

void CDeclineDialog::SetConnection(std::unique_ptr<CAsyncSocket> connection)
{
    m_pSocket = std::move(connection);
}

void CDeclineDialog::OnRequestCancelled()
{
    m_pSocket.reset();
    MessageBoxThen(
        "Request Cancelled By " + m_strPeer, [this] { DestroyWindow(); }, Opener::Peer);
}

void CDeclineDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui->reasonEdit, m_strReason);
}

void CDeclineDialog::OnCancel()
{
    // Closing without a reason: the requester sees a decline without one.
    m_pSocket.reset();
    DestroyWindow();
}

void CDeclineDialog::OnSendReason()
{
    UpdateData(true);
    if (m_pSocket && !m_strReason.empty()) {
        SendChatText(*m_pSocket, m_strReason, MAX_REASON_BYTES);
    }
    m_pSocket.reset();
    DestroyWindow();
}
