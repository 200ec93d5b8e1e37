#include "chat/ChatDialog.h"

#include "chat/ChatProtocol.h"
#include "framework/Icons.h"
#include "framework/QtText.h"

#include <QIcon>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>

CChatDialog::CChatDialog(Opener opener)
    : CDialog(nullptr, opener)
{
    ui.setupUi(this);
    ApplyWindowFrame(this);
    ui.transcriptEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // The oldest lines go first; one block more for the line still being written.
    ui.transcriptEdit->setMaximumBlockCount(TRANSCRIPT_MAX_LINES + 1);
    connect(ui.sendButton, &QPushButton::clicked, this, [this] { OnSendLine(); });
    connect(ui.closeButton, &QPushButton::clicked, this, [this] { OnCloseChat(); });
}

CChatDialog::~CChatDialog() = default;

void CChatDialog::SetConnection(std::unique_ptr<CAsyncSocket> connection)
{
    m_pSocket = std::move(connection);
}

void CChatDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui.headerLabel, m_strHeader);
    DDX_Text(bSaveAndValidate, ui.transcriptEdit, m_strTranscript);
    DDX_Text(bSaveAndValidate, ui.inputEdit, m_strInput);
}

bool CChatDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(LoadIcon("chat"));
    ui.inputEdit->setFocus();
    return true;
}

void CChatDialog::ShowReceived(const CString& text)
{
    CString rest = text;
    while (!rest.empty()) {
        const size_t end = rest.find(CHAT_LINE_END);
        const size_t length = end == CString::npos ? rest.size() : end + 2;
        AppendText(m_strPeer + ":" + rest.substr(0, length));
        rest.erase(0, length);
    }
}

void CChatDialog::OnPeerLeft()
{
    ReportPeerLeft(Opener::Peer);
}

void CChatDialog::ReportPeerLeft(Opener opener)
{
    MarkUndeliveredLines();
    // Closed before the box: its nested loop must not deliver anything more for it.
    m_pSocket.reset();
    MessageBoxThen(
        m_strPeer + " Left The Chat", [this] { EndChat(); }, opener);
}

void CChatDialog::OnSendLine()
{
    if (!m_pSocket) {
        return;
    }
    const CString line = FromQString(ui.inputEdit->text()) + CHAT_LINE_END;
    const ChatSendResult sent = SendChatText(*m_pSocket, line);
    if (sent.broken) {
        // A line typed after the connection broke was never sent: it stays in the input line. The
        // user is at this window, so the box takes the keys.
        ReportPeerLeft(Opener::User);
        return;
    }
    const std::uint64_t written = m_nLinesWritten;
    AppendText("You:" + line);
    ui.inputEdit->clear();
    if (!sent.whole) {
        // The peer has stopped reading and the connection holds no more.
        MarkLine(written);
        return;
    }
    m_sentLines.push_back({written, sent.bytes});
    if (m_sentLines.size() > TRANSCRIPT_MAX_LINES) {
        m_sentLines.pop_front();
    }
}

void CChatDialog::MarkUndeliveredLines()
{
    if (!m_pSocket) {
        return;
    }
    std::size_t unacknowledged = UnacknowledgedBytes(*m_pSocket);
    // The unacknowledged bytes are the end of what was sent: the latest lines.
    for (auto line = m_sentLines.rbegin(); line != m_sentLines.rend() && unacknowledged > 0; ++line) {
        MarkLine(line->line);
        unacknowledged -= std::min(unacknowledged, line->bytes);
    }
    m_sentLines.clear();
}

void CChatDialog::MarkLine(std::uint64_t line)
{
    QTextDocument* transcript = ui.transcriptEdit->document();
    // The oldest lines may have left the transcript.
    const std::uint64_t dropped = m_nLinesWritten + 1 - static_cast<std::uint64_t>(transcript->blockCount());
    if (line < dropped) {
        return;
    }
    const QTextBlock block = transcript->findBlockByNumber(static_cast<int>(line - dropped));
    if (!block.isValid()) {
        return;
    }
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock);
    cursor.insertText(QStringLiteral(" (not delivered)"));
}

void CChatDialog::OnCloseChat()
{
    if (MessageBox("Are you sure?", "Stop", MB_YESNO | MB_ICONQUESTION) == IDYES) {
        EndChat();
    }
}

void CChatDialog::OnCancel()
{
    if (m_pSocket && MessageBox("Are you sure?", "Stop", MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return;
    }
    m_pSocket.reset();
    DestroyWindow();
}

void CChatDialog::AppendText(const CString& text)
{
    QTextCursor cursor(ui.transcriptEdit->document());
    cursor.movePosition(QTextCursor::End);
    const QString lines = ToQString(text).replace(QLatin1String("\r\n"), QLatin1String("\n"));
    m_nLinesWritten += static_cast<std::uint64_t>(lines.count(QLatin1Char('\n')));
    cursor.insertText(lines);
    QScrollBar* bar = ui.transcriptEdit->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void CChatDialog::EndChat()
{
    m_pSocket.reset();
    ui.sendButton->setEnabled(false);
    ui.closeButton->setEnabled(false);
    // Only the header changes: the transcript and the input line stay as they are.
    m_strHeader = "Chat Ended";
    DDX_Text(false, ui.headerLabel, m_strHeader);
}
