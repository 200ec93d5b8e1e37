#pragma once

#include "framework/Dialog.h"
#include "ui_SendMessageDialog.h"

// "Send Message": a one-shot message to one peer, or to everybody when m_strPeer is empty.
class CSendMessageDialog : public CDialog
{
    Q_OBJECT

public:
    static constexpr int MAX_MESSAGE_BYTES = 2000;

    // A top-level window of its own, owned by no other window.
    CSendMessageDialog();

    CString m_strPeer;
    CString m_strHeader;
    CString m_strMessage;

protected:
    bool OnInitDialog() override;
    void DoDataExchange(bool bSaveAndValidate) override;
    void OnSendMessage();

private:
    Ui::SendMessageDialog ui;
};
