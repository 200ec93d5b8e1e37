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
        names.push_back(BareName(path));
    }
    m_strFileName = DescribeBatch(names);
    connect(ui.sendButton, &QPushButton::clicked, this, [this] { OnSend(); });
    connect(ui.cancelButton, &QPushButton::clicked, this, [this] { OnCancel(); });
    connect(ui.peerList, &QComboBox::currentIndexChanged, this, [this] { ApplyButtonRule(); });
    // A peer that leaves takes its entry with it, and the list then moves on to a neighbour by
    // itself: the files would go to somebody the user did not choose.
    connect(peers, &QAbstractItemModel::rowsAboutToBeRemoved, this,
        [this](const QModelIndex&, int first, int last) {
            const int selected = ui.peerList->currentIndex();
            m_bChoiceLeaving = selected >= first && selected <= last;
        });
    connect(peers, &QAbstractItemModel::rowsRemoved, this, [this] {
        // After the list's own handling, which connected first.
        if (std::exchange(m_bChoiceLeaving, false)) {
            ui.peerList->setCurrentIndex(-1);
        }
    });
    // Nor may the first peer to arrive in an empty list be chosen by the list on its own.
    connect(peers, &QAbstractItemModel::rowsAboutToBeInserted, this,
        [this] { m_bNoChoice = ui.peerList->currentIndex() < 0; });
    connect(peers, &QAbstractItemModel::rowsInserted, this, [this] {
        if (std::exchange(m_bNoChoice, false)) {
            ui.peerList->setCurrentIndex(-1);
        }
    });
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
