#pragma once

#include "framework/Dialog.h"
#include "net/AsyncSocket.h"
#include "transfer/FileWindows.h"
#include "ui_FileProgressDialog.h"

#include <QTimer>

#include <cstdint>
#include <memory>

// "File": the progress of one running transfer, on either end. Owns the transfer's connection
// and ends it: "Finished", the peer's termination, a file error, or the user's confirmed stop.
class CFileProgressDialog : public CDialog, public IFileProgressWindow
{
    Q_OBJECT

public:
    // Opened by the peer when it accepts our files, by the user when we accept its.
    explicit CFileProgressDialog(Opener opener = Opener::User);
    ~CFileProgressDialog() override;

    // Takes ownership of the transfer's connection (of either end).
    void SetConnection(std::unique_ptr<CAsyncSocket> connection);
    bool HasConnection() const { return m_pSocket != nullptr; }

    void ShowFile(const CString& name, std::uint32_t size) override;
    void SetBatchTotal(std::uint32_t total) override;
    void ShowProgress(std::uint32_t fileBytes, std::uint32_t batchBytes) override;
    void OnFinished() override;
    void OnTerminated() override;
    void OnTransferFailed(const CString& message) override;

    std::uint32_t m_nFileSize = 0;
    std::uint32_t m_nBatchTotal = 0;
    CString m_strPeer;
    CString m_strHeader;
    CString m_strFileProgress;
    CString m_strBatchProgress;
    CString m_strFileName;

protected:
    bool OnInitDialog() override;
    void OnCancel() override;
    void DoDataExchange(bool bSaveAndValidate) override;

private:
    // Ends the transfer once; true for the first caller.
    bool End();
    void RefreshProgress();
    // The figures gain digits as the transfer goes on: a value label keeps from the start the
    // width of the largest figure it will show, so the window does not widen under the user's
    // eyes.
    static void ReserveWidth(QLabel* label, std::uint32_t total);

    std::unique_ptr<CAsyncSocket> m_pSocket;
    bool m_bEnded = false;
    // Replies come by the thousand each second; the figures are redrawn at most every
    // REFRESH_MS, the first at once and the latest at the end of each interval. Five redraws a
    // second are enough to read the figures and see the bars move. Each costs the user-interface
    // thread about a millisecond per window (the bars' painting, which Qt hands to its thread
    // pool and waits for, and the value labels, text documents so that screen readers can walk
    // them), on the processors the transfers need.
    static constexpr int REFRESH_MS = 200;
    QTimer m_refresh;
    bool m_bRefreshPending = false;
    std::uint32_t m_nFileBytes = 0;
    std::uint32_t m_nBatchBytes = 0;
    Ui::FileProgressDialog ui;
};
