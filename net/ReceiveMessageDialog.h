#pragma once

#include "framework/Dialog.h"
#include "ui_ReceiveMessageDialog.h"

// "Receive Message": shows a message that arrived and offers a reply.
class CReceiveMessageDialog : public CDialog
{
    Q_OBJECT

public:
    // A top-level window of its own, owned by no other window.
    CReceiveMessageDialog();

    CString m_strPeer;
    CString m_strHeader;
    CString m_strMessage;

protected:
    bool OnInitDialog() override;
    void DoDataExchange(bool bSaveAndValidate) override;
    void OnReply();

private:
    Ui::ReceiveMessageDialog ui;
};
