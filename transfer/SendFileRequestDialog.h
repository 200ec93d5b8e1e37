#pragma once

#include "framework/Dialog.h"
#include "transfer/FileSocket.h"
#include "transfer/FileWindows.h"
#include "ui_SendFileRequestDialog.h"

#include <memory>
#include <vector>

// "Send File Transmission Request": the user picks files (with "Select File", or by dropping
// them onto the window) and types a description, sends the request and waits for the
// receiver's decision.
class CSendFileRequestDialog : public CDialog, public ISendFileWindow
{
    Q_OBJECT

public:
    static constexpr int MAX_DESCRIPTION_BYTES = 2000;

    CSendFileRequestDialog();
    ~CSendFileRequestDialog() override;

    // Opens a sending window for the peer, with nothing selected yet.
    static CSendFileRequestDialog* OpenFor(const CString& peer);

    void OnTransferAccepted() override;
    void OnDeclineReason(const CString& reason) override;
    void OnDeclinedWithoutReason() override;
    void OnFileError(const CString& message) override;

    // Makes these files (full paths, from any directories) the selection, as "Select File" does.
    // A selection that cannot be sent is refused with a message and the earlier one stands.
    bool SelectFiles(const std::vector<CString>& paths);

    // The selection: full paths, and the bare names that go on the wire, in the same order.
    std::vector<CString> m_paths;
    std::vector<CString> m_names;
    int m_nCount = 0;
    CString m_strPeer;
    CString m_strHeader;
    CString m_strFileName;
    CString m_strFileSize;
    CString m_strDescription;

protected:
    bool OnInitDialog() override;
    void OnCancel() override;
    void DoDataExchange(bool bSaveAndValidate) override;
    void OnSelectFile();
    void OnSendRequest();

    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Files dragged over the description box are the window's, not text for the box.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Files dropped replace the selection until the request goes out.
    bool AcceptsDrop(const QMimeData* data) const;
    void EnableComposing(bool enable);

    std::unique_ptr<CFileSocket> m_pSocket;
    Ui::SendFileRequestDialog ui;
};
