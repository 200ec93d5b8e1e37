#include "app/SendFilesDialog.h"

#include "framework/Icons.h"
#include "transfer/FileProtocol.h"
#include "transfer/SendFileRequestDialog.h"

#include <QAbstractItemModel>

#include <utility>

CSendFilesDialog::CSendFilesDialog(QAbstractItemModel* peers, int selected, std::vector<CString> paths)
    : m_paths(std::move(paths))
{
    ui.setupUi(this);
    ApplyWindowFrame(this);
    ui.peerList->setModel(peers);
    ui.peerList->setCurrentIndex(selected);
    std::vector<CString> names;
    for (const CString& path : m_paths) {
        names.push_back(ShownFileName(path));
    }
    m_strFileName = DescribeBatch(names);
    connect(ui.sendButton, &QPushButton::clicked, this, [this] { OnSend(); });
    connect(ui.cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
    connect(ui.peerList, &QComboBox::currentIndexChanged, this, [this] { ApplyButtonRule(); });
    // The list moves the choice by itself: on to a neighbour when the chosen peer leaves, and to
    // the first peer to arrive in an empty list. The files would go to somebody the user did not
    // choose, so either change leaves no choice instead.
    connect(peers, &QAbstractItemModel::rowsAboutToBeRemoved, this,
        [this](const QModelIndex&, int first, int last) {
            const int selected = ui.peerList->currentIndex();
            m_bClearChoice = selected >= first && selected <= last;
        });
    connect(peers, &QAbstractItemModel::rowsAboutToBeInserted, this,
        [this] { m_bClearChoice = ui.peerList->currentIndex() < 0; });
    // After the list's own handling, which connected first.
    const auto clearChoice = [this] {
        if (std::exchange(m_bClearChoice, false)) {
            ui.peerList->setCurrentIndex(-1);
        }
    };
    connect(peers, &QAbstractItemModel::rowsRemoved, this, clearChoice);
    connect(peers, &QAbstractItemModel::rowsInserted, this, clearChoice);
}

bool CSendFilesDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(LoadIcon("file"));
    ApplyButtonRule();
    ui.peerList->setFocus();
    return true;
}

void CSendFilesDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_Text(bSaveAndValidate, ui.fileNameLabel, m_strFileName);
}

void CSendFilesDialog::ApplyButtonRule()
{
    ui.sendButton->setEnabled(ui.peerList->currentIndex() >= 0);
}

void CSendFilesDialog::OnSend()
{
    CString peer;
    DDX_CBString(true, ui.peerList, peer);
    if (ui.peerList->currentIndex() < 0) {
        return;
    }
    CSendFileRequestDialog::OpenFor(peer)->SelectFiles(m_paths);
    DestroyWindow();
}
