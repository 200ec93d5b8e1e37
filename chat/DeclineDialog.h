#pragma once

#include "chat/DeclineWindow.h"
#include "framework/Dialog.h"
#include "net/AsyncSocket.h"

#include <memory>

namespace Ui {
class DeclineDialog;
}

// "Decline Request": the decliner may type a reason for a declined chat or file request.
// Works with a connection of either kind: it only sends on it and destroys it.
class CDeclineDialog : public CDialog, public IDeclineWindow
{
    Q_OBJECT

public:
    static constexpr int MAX_REASON_BYTES = 2000;

    CDeclineDialog();
    ~CDeclineDialog() override;

    // Takes ownership of the declined request's connection; the caller points the connection's
    // window at this dialog.
    void SetConnection(std::unique_ptr<CAsyncSocket> connection);

    void OnRequestCancelled() override;

    CString m_strPeer;
    CString m_strReason;

protected:
    void DoDataExchange(bool bSaveAndValidate) override;
    void OnCancel() override;
    void OnSendReason();

private:
    std::unique_ptr<CAsyncSocket> m_pSocket;
    std::unique_ptr<Ui::DeclineDialog> ui;
};
