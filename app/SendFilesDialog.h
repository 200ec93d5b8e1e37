#pragma once

#include "framework/Dialog.h"
#include "ui_SendFilesDialog.h"

#include <vector>

class QAbstractItemModel;

// "Send Files": files handed over from outside the program (the file manager, a terminal) wait
// here for the user to choose the peer; "Send..." goes on to the usual sending window.
class CSendFilesDialog : public CDialog
{
    Q_OBJECT

public:
    // Shows the main window's peer list itself (the entries stay current as peers come and
    // go), starting at its selection. The list must outlive the window.
    CSendFilesDialog(QAbstractItemModel* peers, int selected, std::vector<CString> paths);

    // Full paths, as bytes.
    std::vector<CString> m_paths;
    CString m_strFileName;

protected:
    bool OnInitDialog() override;
    void DoDataExchange(bool bSaveAndValidate) override;
    void OnSend();

private:
    void ApplyButtonRule();

    // The list is changing in a way that would move the choice without the user.
    bool m_bClearChoice = false;
    Ui::SendFilesDialog ui;
};
