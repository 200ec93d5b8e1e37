#pragma once

#include "framework/Dialog.h"
#include "transfer/FileListenSocket.h"
#include "transfer/FileWindows.h"
#include "ui_FileRequestDialog.h"

#include <memory>
#include <vector>

// "File Request": an incoming batch, saved into a chosen directory ("Save As") or declined.
class CFileRequestDialog : public CDialog, public IFileRequestWindow
{
    Q_OBJECT

public:
    // Takes ownership of the request's connection.
    explicit CFileRequestDialog(std::unique_ptr<CFileListenSocket> connection);
    ~CFileRequestDialog() override;

    void OnRequestCancelled() override;

    CString m_strPeer;
    CString m_strDescription;
    CString m_strFileSize;
    CString m_strFileName;
    CString m_strHeader;
    // Every name of the batch, so that the user sees which files a directory would take in.
    std::vector<CString> m_names;

protected:
    bool OnInitDialog() override;
    void OnCancel() override;
    void DoDataExchange(bool bSaveAndValidate) override;
    void OnSaveAs();
    void OnDeclineRequest();

private:
    std::unique_ptr<CFileListenSocket> m_pSocket;
    Ui::FileRequestDialog ui;
};
