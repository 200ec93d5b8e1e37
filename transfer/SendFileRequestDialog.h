#pragma once

#include "framework/Dialog.h"
#include "transfer/FileSocket.h"
#include "transfer/FileWindows.h"
#include "ui_SendFileRequestDialog.h"

#include <memory>
#include <vector>

// "Send File Transmission Request": the user picks files and types a description, sends the
// request and waits for the receiver's decision.
class CSendFileRequestDialog : public CDialog, public ISendFileWindow
{
    Q_OBJECT

public:
    static constexpr int MAX_DESCRIPTION_BYTES = 2000;

    CSendFileRequestDialog();
    ~CSendFileRequestDialog() override;

    void OnTransferAccepted() override;
    void OnDeclineReason(const CString& reason) override;
    void OnDeclinedWithoutReason() override;
    void OnFileError(const CString& message) override;

    std::vector<CString> m_names;
    CString m_strDirectory;
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

private:
    void EnableComposing(bool enable);

    std::unique_ptr<CFileSocket> m_pSocket;
    Ui::SendFileRequestDialog ui;
};
