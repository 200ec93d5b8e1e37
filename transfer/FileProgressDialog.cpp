#include "transfer/FileProgressDialog.h"

#include "framework/Icons.h"
#include "framework/QtText.h"
#include "transfer/FileProtocol.h"

#include <QFontMetrics>
#include <QIcon>
#include <QLocale>

#include <algorithm>

CFileProgressDialog::CFileProgressDialog(Opener opener)
    : CDialog(nullptr, opener)
{
    ui.setupUi(this);
    ApplyWindowFrame(this);
    // The percentages read the same in every locale, as every other figure does.
    ui.fileBar->setLocale(QLocale::c());
    ui.batchBar->setLocale(QLocale::c());
    connect(ui.cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
    m_refresh.setSingleShot(true);
    m_refresh.setInterval(REFRESH_MS);
    connect(&m_refresh, &QTimer::timeout, this, [this] {
        if (m_bRefreshPending) {
            RefreshProgress();
            m_refresh.start();
        }
    });
}

CFileProgressDialog::~CFileProgressDialog() = default;

void CFileProgressDialog::SetConnection(std::unique_ptr<CAsyncSocket> connection)
{
    m_pSocket = std::move(connection);
}

bool CFileProgressDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(LoadIcon("file"));
    return true;
}

void CFileProgressDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui.headerLabel, m_strHeader);
    DDX_Text(bSaveAndValidate, ui.fileNameLabel, m_strFileName);
    DDX_Text(bSaveAndValidate, ui.fileProgressLabel, m_strFileProgress);
    DDX_Text(bSaveAndValidate, ui.batchProgressLabel, m_strBatchProgress);
}

void CFileProgressDialog::ShowFile(const CString& name, std::uint32_t size)
{
    m_strFileName = name;
    m_nFileSize = size;
    m_nFileBytes = 0;
    m_strFileProgress = FormatProgress(0, size);
    ui.fileBar->setValue(Percentage(0, size));
    ReserveWidth(ui.fileProgressLabel, size);
    UpdateData(false);
}

void CFileProgressDialog::SetBatchTotal(std::uint32_t total)
{
    m_nBatchTotal = total;
    m_strBatchProgress = FormatProgress(0, total);
    ui.batchBar->setValue(Percentage(0, total));
    ReserveWidth(ui.batchProgressLabel, total);
    UpdateData(false);
}

void CFileProgressDialog::ReserveWidth(QLabel* label, std::uint32_t total)
{
    // Measured beside the text shown, without showing another: a screen reader would read it.
    const QFontMetrics metrics = label->fontMetrics();
    const int widest = metrics.horizontalAdvance(ToQString(FormatProgress(total, total)));
    const int width = label->sizeHint().width() - metrics.horizontalAdvance(label->text()) + widest;
    label->setMinimumWidth(std::min(width, label->maximumWidth()));
}

void CFileProgressDialog::ShowProgress(std::uint32_t fileBytes, std::uint32_t batchBytes)
{
    m_nFileBytes = fileBytes;
    m_nBatchBytes = batchBytes;
    if (m_refresh.isActive()) {
        m_bRefreshPending = true;
        return;
    }
    RefreshProgress();
    m_refresh.start();
}

void CFileProgressDialog::RefreshProgress()
{
    m_bRefreshPending = false;
    m_strFileProgress = FormatProgress(m_nFileBytes, m_nFileSize);
    m_strBatchProgress = FormatProgress(m_nBatchBytes, m_nBatchTotal);
    ui.fileBar->setValue(Percentage(m_nFileBytes, m_nFileSize));
    ui.batchBar->setValue(Percentage(m_nBatchBytes, m_nBatchTotal));
    UpdateData(false);
}

void CFileProgressDialog::OnFinished()
{
    if (!End()) {
        return;
    }
    // The end of a transfer comes on its own, while the user may be typing elsewhere.
    MessageBoxThen(
        "Finished",
        [this] {
            m_pSocket.reset();
            DestroyWindow();
        },
        Opener::Peer);
}

void CFileProgressDialog::OnTerminated()
{
    if (!End()) {
        return;
    }
    m_pSocket.reset();
    MessageBoxThen(
        m_strPeer + " Terminated The Process", [this] { DestroyWindow(); }, Opener::Peer);
}

void CFileProgressDialog::OnTransferFailed(const CString& message)
{
    if (!End()) {
        return;
    }
    // The peer learns of the end from the close before the user reads why.
    m_pSocket.reset();
    MessageBoxThen(
        message, [this] { DestroyWindow(); }, Opener::Peer);
}

void CFileProgressDialog::OnCancel()
{
    if (m_bEnded) {
        return;
    }
    if (MessageBox("Are you sure?", "Stop", MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return;
    }
    // The transfer may have ended while the question was open.
    if (End()) {
        m_pSocket.reset();
        DestroyWindow();
    }
}

bool CFileProgressDialog::End()
{
    if (m_bEnded) {
        return false;
    }
    m_bEnded = true;
    // The last figures show before the ending is told.
    m_refresh.stop();
    if (m_bRefreshPending) {
        RefreshProgress();
    }
    return true;
}
