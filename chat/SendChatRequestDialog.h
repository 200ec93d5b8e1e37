#pragma once

#include "chat/ChatSocket.h"
#include "chat/SendChatRequestWindow.h"
#include "framework/Dialog.h"
#include "ui_SendChatRequestDialog.h"

#include <memory>

// "Send Chat Request": the requester types a subject and sends it, then waits for the answer
// for as long as it takes.
class CSendChatRequestDialog : public CDialog, public ISendChatRequestWindow
{
    Q_OBJECT

public:
    static constexpr int MAX_SUBJECT_BYTES = 2000;

    CSendChatRequestDialog();
    ~CSendChatRequestDialog() override;

    CString GetSubject() const override { return m_strSubject; }
    void OnChatAccepted() override;
    void OnDeclineReason(const CString& reason) override;
    void OnDeclinedWithoutReason() override;

    // The request's connection while it waits for the answer; none before Send.
    CChatSocket* GetConnection() const { return m_pSocket.get(); }

    CString m_strPeer;
    CString m_strHeader;
    CString m_strSubject;

protected:
    void DoDataExchange(bool bSaveAndValidate) override;
    bool OnInitDialog() override;
    void OnCancel() override;
    void OnSendRequest();

private:
    std::unique_ptr<CChatSocket> m_pSocket;
    Ui::SendChatRequestDialog ui;
};
