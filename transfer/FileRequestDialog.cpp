#include "transfer/FileRequestDialog.h"

#include "chat/DeclineDialog.h"
#include "framework/FileDialog.h"
#include "framework/Icons.h"
#include "framework/QtText.h"
#include "transfer/FileProgressDialog.h"
#include "transfer/FileProtocol.h"

#include <QIcon>

#include <cstring>

CFileRequestDialog::CFileRequestDialog(std::unique_ptr<CFileListenSocket> connection)
    : CDialog(nullptr, Opener::Peer)
    , m_pSocket(std::move(connection))
{
    if (m_pSocket) {
        HoldWindowSlot(m_pSocket->TakeWindowSlot());
    }
    ui.setupUi(this);
    ApplyWindowFrame(this);
    connect(ui.saveAsButton, &QPushButton::clicked, this, [this] { OnSaveAs(); });
    connect(ui.declineButton, &QPushButton::clicked, this, [this] { OnDeclineRequest(); });
}

CFileRequestDialog::~CFileRequestDialog() = default;

bool CFileRequestDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(LoadIcon("file"));
    // Names come from the peer: list items show plain text only.
    ui.fileList->setVisible(m_names.size() > 1);
    for (const CString& name : m_names) {
        ui.fileList->addItem(ToQString(name));
    }
    ui.saveAsButton->setFocus();
    return true;
}

void CFileRequestDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui.headerLabel, m_strHeader);
    DDX_Text(bSaveAndValidate, ui.fileNameLabel, m_strFileName);
    DDX_Text(bSaveAndValidate, ui.fileSizeLabel, m_strFileSize);
    DDX_Text(bSaveAndValidate, ui.descriptionEdit, m_strDescription);
}

void CFileRequestDialog::OnSaveAs()
{
    if (!m_pSocket) {
        return;
    }
    const auto directory = SelectDirectory(this);
    // The request may have been cancelled while the directory was being chosen.
    if (!directory || !m_pSocket) {
        return;
    }
    // Files are never saved anywhere but where the user chose: the request stays pending.
    if (const CString problem = DescribeUnusableChoice(*directory, FileDialogKind::SelectDirectory);
        !problem.empty()) {
        MessageBox(problem);
        return;
    }
    // Found out now, while the request can still be answered and another directory chosen.
    if (const int error = ProbeWritableDirectory(*directory); error != 0) {
        MessageBox("Files cannot be saved in " + *directory + ": " + std::strerror(error)
            + ". Choose another directory.");
        return;
    }
    auto* progress = new CFileProgressDialog;
    progress->m_strPeer = m_strPeer;
    progress->m_strHeader = "Receiving Files From " + m_strPeer;
    CFileListenSocket* connection = m_pSocket.get();
    connection->SetProgressWindow(progress);
    // The progress window owns the connection from here on.
    progress->SetConnection(std::move(m_pSocket));
    progress->Create();
    DestroyWindow();
    // Last: a batch that ends at once (or a file that cannot be created) ends the progress
    // window, and with it the connection, inside this call.
    connection->AcceptFiles(*directory);
}

void CFileRequestDialog::OnDeclineRequest()
{
    if (!m_pSocket) {
        return;
    }
    m_pSocket->DeclineFiles();
    auto* decline = new CDeclineDialog;
    decline->m_strPeer = m_strPeer;
    m_pSocket->SetDeclineWindow(decline);
    decline->SetConnection(std::move(m_pSocket));
    decline->Create();
    DestroyWindow();
}

void CFileRequestDialog::OnCancel()
{
    m_pSocket.reset();
    DestroyWindow();
}

void CFileRequestDialog::OnRequestCancelled()
{
    m_pSocket.reset();
    MessageBoxThen(
        "Request Cancelled By " + m_strPeer, [this] { DestroyWindow(); }, Opener::Peer);
}
