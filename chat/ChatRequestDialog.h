#pragma once

#include "chat/ChatListenSocket.h"
#include "chat/ChatRequestWindow.h"
#include "framework/Dialog.h"
#include "ui_ChatRequestDialog.h"

#include <memory>

// "Received Chat Request": who asks for a chat and about what, with Accept and Decline. Built
// hidden when the requester's identity arrives and shown with the subject.
class CChatRequestDialog : public CDialog, public IChatRequestWindow
{
    Q_OBJECT

public:
    // Takes ownership of the request's connection.
    explicit CChatRequestDialog(std::unique_ptr<CChatListenSocket> connection);
    ~CChatRequestDialog() override;

    void ShowRequest(const CString& subject) override;
    void OnRequestCancelled() override;

    CString m_strPeer;
    CString m_strHeader;
    CString m_strSubject;

protected:
    void DoDataExchange(bool bSaveAndValidate) override;
    bool OnInitDialog() override;
    void OnCancel() override;
    void OnAcceptRequest();
    void OnDeclineRequest();

private:
    std::unique_ptr<CChatListenSocket> m_pSocket;
    Ui::ChatRequestDialog ui;
};
