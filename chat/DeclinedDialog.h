#pragma once

#include "framework/Dialog.h"

#include <memory>

namespace Ui {
class DeclinedDialog;
}

// "Request Decined": shows the reason that came back for a declined chat or file request. The
// answer comes while the user may be typing elsewhere.
class CDeclinedDialog : public CDialog
{
    Q_OBJECT

public:
    CDeclinedDialog();
    ~CDeclinedDialog() override;

    CString m_strReason;

protected:
    void DoDataExchange(bool bSaveAndValidate) override;

private:
    std::unique_ptr<Ui::DeclinedDialog> ui;
};
