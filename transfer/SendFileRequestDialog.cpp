#include "transfer/SendFileRequestDialog.h"

#include "chat/DeclinedDialog.h"
#include "framework/FileDialog.h"
#include "framework/Icons.h"
#include "framework/MainWindowLink.h"
#include "framework/TextLimit.h"
#include "transfer/FileProgressDialog.h"

#include <QIcon>

CSendFileRequestDialog::CSendFileRequestDialog()
{
    ui.setupUi(this);
    ApplyWindowFrame(this);
    LimitTextBytes(ui.descriptionEdit, MAX_DESCRIPTION_BYTES);
    connect(ui.sendButton, &QPushButton::clicked, this, [this] { OnSendRequest(); });
    connect(ui.selectButton, &QPushButton::clicked, this, [this] { OnSelectFile(); });
    connect(ui.cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
}

CSendFileRequestDialog::~CSendFileRequestDialog() = default;

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
    const auto selection = SelectFilesToOpen(this);
    if (!selection) {
        return;
    }
    UpdateData(true);
    if (selection->names.size() > filewire::MAX_FILE_COUNT) {
        MessageBoxThen("Too many files are selected; a batch holds at most "
            + std::to_string(filewire::MAX_FILE_COUNT) + " files.");
        return;
    }
    std::uint32_t total = 0;
    for (const CString& name : selection->names) {
        CString message = DescribeUnusableChoice(selection->directory + name, FileDialogKind::OpenFiles);
        if (!message.empty()) {
            MessageBox(message);
            return;
        }
        const auto size = MeasureFileToSend(selection->directory + name, message);
        if (!size) {
            MessageBoxThen(message);
            return;
        }
        if (!filewire::AddToTotal(total, *size)) {
            MessageBoxThen(BATCH_TOO_LARGE_MESSAGE);
            return;
        }
    }
    m_strDirectory = selection->directory;
    m_names = selection->names;
    m_nCount = static_cast<int>(m_names.size());
    m_strFileName = DescribeBatch(m_names);
    m_strFileSize = FormatSize(total);
    UpdateData(false);
    ui.sendButton->setEnabled(true);
}

void CSendFileRequestDialog::OnSendRequest()
{
    if (m_names.empty() || m_pSocket) {
        return;
    }
    UpdateData(true);
    m_pSocket = std::make_unique<CFileSocket>();
    m_pSocket->SetRequest(this, m_strDirectory, m_names, filewire::EncodeDescription(m_strDescription));
    const IMainWindow* mainWindow = AfxGetMainWnd();
    m_pSocket->ConnectTo(mainWindow ? mainWindow->FindAddressByName(m_strPeer) : CString());
    EnableComposing(false);
}

void CSendFileRequestDialog::OnTransferAccepted()
{
    auto* progress = new CFileProgressDialog;
    progress->m_strHeader = "Sending Files To " + m_strPeer;
    progress->m_strPeer = m_strPeer;
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
    MessageBoxThen("Request Declined Without Reason", [this] { DestroyWindow(); });
}

void CSendFileRequestDialog::OnFileError(const CString& message)
{
    // The request cannot go on; the user may select again.
    m_pSocket.reset();
    MessageBoxThen(message, [this] { EnableComposing(true); });
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
