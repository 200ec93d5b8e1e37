#include "transfer/SendFileRequestDialog.h"

#include "chat/DeclinedDialog.h"
#include "framework/DroppedFiles.h"
#include "framework/FileDialog.h"
#include "framework/Icons.h"
#include "framework/MainWindowLink.h"
#include "framework/TextLimit.h"
#include "transfer/FileProgressDialog.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QIcon>
#include <QMimeData>

CSendFileRequestDialog::CSendFileRequestDialog()
{
    ui.setupUi(this);
    ApplyWindowFrame(this);
    setAcceptDrops(true);
    ui.descriptionEdit->viewport()->installEventFilter(this);
    LimitTextBytes(ui.descriptionEdit, MAX_DESCRIPTION_BYTES, [this] { return PeerSpeechByName(m_strPeer); });
    connect(ui.sendButton, &QPushButton::clicked, this, [this] { OnSendRequest(); });
    connect(ui.selectButton, &QPushButton::clicked, this, [this] { OnSelectFile(); });
    connect(ui.cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
}

CSendFileRequestDialog::~CSendFileRequestDialog() = default;

CSendFileRequestDialog* CSendFileRequestDialog::OpenFor(const CString& peer)
{
    auto* window = new CSendFileRequestDialog;
    window->m_strPeer = peer;
    window->m_strHeader = "Send File Transmission Request To " + PeerText(peer);
    window->Create();
    return window;
}

bool CSendFileRequestDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(LoadIcon("file"));
    ui.sendButton->setEnabled(false);
    ui.descriptionEdit->setFocus();
    return true;
}

void CSendFileRequestDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui.headerLabel, m_strHeader);
    DDX_Text(bSaveAndValidate, ui.fileNameLabel, m_strFileName);
    DDX_Text(bSaveAndValidate, ui.fileSizeLabel, m_strFileSize);
    DDX_Text(bSaveAndValidate, ui.descriptionEdit, m_strDescription);
}

void CSendFileRequestDialog::OnSelectFile()
{
    const auto paths = SelectFilesToOpen(this);
    if (!paths) {
        return;
    }
    // Only a file dialog gives names back as text, which may alter them.
    for (const CString& path : *paths) {
        const CString message = DescribeUnusableChoice(path, FileDialogKind::OpenFiles);
        if (!message.empty()) {
            MessageBox(message);
            return;
        }
    }
    SelectFiles(*paths);
}

bool CSendFileRequestDialog::SelectFiles(const std::vector<CString>& paths)
{
    UpdateData(true);
    CString message;
    const auto total = CheckBatch(paths, message, PeerSpeechByName(m_strPeer));
    if (!total) {
        MessageBoxThen(message);
        return false;
    }
    m_paths = paths;
    m_names.clear();
    for (const CString& path : m_paths) {
        m_names.push_back(ShownFileName(path));
    }
    m_nCount = static_cast<int>(m_names.size());
    m_strFileName = DescribeBatch(m_names);
    m_strFileSize = FormatSize(*total);
    UpdateData(false);
    ui.sendButton->setEnabled(true);
    return true;
}

bool CSendFileRequestDialog::AcceptsDrop(const QMimeData* data) const
{
    return !m_pSocket && ui.selectButton->isEnabled() && LocalFilesOf(data);
}

void CSendFileRequestDialog::dragEnterEvent(QDragEnterEvent* event)
{
    AnswerDrag(event, AcceptsDrop(event->mimeData()));
}

void CSendFileRequestDialog::dragMoveEvent(QDragMoveEvent* event)
{
    AnswerDrag(event, AcceptsDrop(event->mimeData()));
}

bool CSendFileRequestDialog::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if ((type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop)
        && LocalFilesOf(static_cast<QDropEvent*>(event)->mimeData())) {
        if (type == QEvent::Drop) {
            dropEvent(static_cast<QDropEvent*>(event));
        } else {
            dragMoveEvent(static_cast<QDragMoveEvent*>(event));
        }
        return true;
    }
    return CDialog::eventFilter(watched, event);
}

void CSendFileRequestDialog::dropEvent(QDropEvent* event)
{
    if (!AnswerDrag(event, AcceptsDrop(event->mimeData()))) {
        return;
    }
    SelectFiles(*LocalFilesOf(event->mimeData()));
}

void CSendFileRequestDialog::OnSendRequest()
{
    if (m_names.empty() || m_pSocket) {
        return;
    }
    UpdateData(true);
    // What the receiver is known to write may have changed since the files were chosen: the names
    // as they will be sent are checked again.
    CString message;
    if (!CheckBatch(m_paths, message, PeerSpeechByName(m_strPeer))) {
        MessageBoxThen(message);
        return;
    }
    m_pSocket = std::make_unique<CFileSocket>();
    m_pSocket->SetRequest(this, m_paths, filewire::EncodeDescription(m_strDescription));
    const IMainWindow* mainWindow = AfxGetMainWnd();
    m_pSocket->ConnectTo(mainWindow ? mainWindow->FindAddressByName(m_strPeer) : CString());
    EnableComposing(false);
}

void CSendFileRequestDialog::OnTransferAccepted()
{
    auto* progress = new CFileProgressDialog(Opener::Peer);
    progress->m_strPeer = PeerText(m_strPeer);
    progress->m_strHeader = "Sending Files To " + progress->m_strPeer;
    m_pSocket->SetProgressWindow(progress);
    // The progress window owns the sender from here on.
    progress->SetConnection(std::move(m_pSocket));
    progress->Create();
    DestroyWindow();
}

void CSendFileRequestDialog::OnDeclineReason(const CString& reason)
{
    m_pSocket.reset();
    auto* declined = new CDeclinedDialog;
    declined->m_strReason = reason;
    declined->Create();
    DestroyWindow();
}

void CSendFileRequestDialog::OnDeclinedWithoutReason()
{
    m_pSocket.reset();
    MessageBoxThen(
        "Request Declined Without Reason", [this] { DestroyWindow(); }, Opener::Peer);
}

void CSendFileRequestDialog::OnFileError(const CString& message)
{
    // The request cannot go on; the user may select again. It comes with the peer's answer, while
    // the user may be elsewhere.
    m_pSocket.reset();
    MessageBoxThen(
        message, [this] { EnableComposing(true); }, Opener::Peer);
}

void CSendFileRequestDialog::OnCancel()
{
    m_pSocket.reset();
    DestroyWindow();
}

void CSendFileRequestDialog::EnableComposing(bool enable)
{
    ui.sendButton->setEnabled(enable && !m_names.empty());
    ui.selectButton->setEnabled(enable);
    ui.descriptionEdit->setEnabled(enable);
}
