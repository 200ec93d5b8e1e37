#include "app/MainDialog.h"

#include "app/AboutDialog.h"
#include "chat/ChatWindows.h"
#include "chat/SendChatRequestDialog.h"
#include "framework/Alert.h"
#include "framework/Icons.h"
#include "framework/QtText.h"
#include "net/ReceiveMessageDialog.h"
#include "net/SendMessageDialog.h"
#include "transfer/SendFileRequestDialog.h"
#include "transfer/TransferWindows.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {
const char* DescribeOpenFailure(int error)
{
    switch (error) {
    case WSAEADDRINUSE:
        return "the port is in use (is another copy running?)";
    case WSAEACCES:
        return "permission denied (ports below 1024 need the cap_net_bind_service capability)";
    default:
        return "the socket could not be opened";
    }
}

// Nothing is shown to the user, but a Linux user can find out why no peer ever appears.
void ReportOpenFailure(const char* what)
{
    const int error = WSAGetLastError();
    std::fprintf(
        stderr, "quorvane: cannot open %s: %s (error %d)\n", what, DescribeOpenFailure(error), error);
}
} // namespace

CMainDialog::CMainDialog(QWidget* parent)
    : CDialog(parent)
{
    m_hIcon = LoadIcon("quorvane");
    ui.setupUi(this);
    ApplyWindowFrame(this);

    connect(ui.announceButton, &QPushButton::clicked, this, [this] { OnAnnounce(); });
    connect(ui.chatButton, &QPushButton::clicked, this, [this] { OnChat(); });
    connect(ui.fileButton, &QPushButton::clicked, this, [this] { OnFile(); });
    connect(ui.messageButton, &QPushButton::clicked, this, [this] { OnMessage(); });
    connect(ui.peerList, &QComboBox::activated, this, [this] { OnSelchangePeerList(); });
    RegisterChatWindows();
    RegisterFileWindows();
}

CMainDialog::~CMainDialog() = default;

bool CMainDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    setWindowIcon(m_hIcon);

    m_pTrayIcon = new QSystemTrayIcon(m_hIcon, this);
    m_pTrayIcon->setToolTip(QStringLiteral("Quorvane"));
    connect(m_pTrayIcon, &QSystemTrayIcon::activated, this,
        [this](QSystemTrayIcon::ActivationReason reason) { OnTrayNotify(TRAY_ICON_ID, reason); });
    m_pTrayIcon->show();

    if (!m_presenceSocket.Start()) {
        ReportOpenFailure("UDP port 100");
    }
    if (!m_chatListenSocket.CreateListener() || !m_chatListenSocket.Listen(CHAT_LISTEN_BACKLOG)) {
        ReportOpenFailure("TCP port 101");
    }
    if (!m_fileListenSocket.CreateListener() || !m_fileListenSocket.Listen(filewire::LISTEN_BACKLOG)) {
        ReportOpenFailure("TCP port 102");
    }
    ui.peerList->setFocus();
    return true;
}

void CMainDialog::OnDestroy()
{
    SendLeaveOnce();
    CDialog::OnDestroy();
    delete m_pTrayIcon;
    m_pTrayIcon = nullptr;
    m_peers.clear();
}

void CMainDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_CBString(bSaveAndValidate, ui.peerList, m_strPeer);
}

void CMainDialog::AddPeer(const CString& name, const CString& address)
{
    m_peers.push_back(std::make_unique<CPeerEntry>(name, address));
    InsertSorted(name);
    if (ui.peerList->count() > 0) {
        ui.announceButton->setEnabled(true);
    }
    const int index = ui.peerList->findText(ToQString(name), Qt::MatchStartsWith);
    if (index >= 0) {
        ui.peerList->setCurrentIndex(index);
    }
    ApplyButtonRule();
}

void CMainDialog::RemovePeer(const CString& name)
{
    const auto found = std::find_if(
        m_peers.begin(), m_peers.end(), [&](const auto& peer) { return peer->GetName() == name; });
    if (found == m_peers.end()) {
        return;
    }
    m_peers.erase(found);

    const int index = ui.peerList->findData(QByteArray(name.data(), static_cast<qsizetype>(name.size())));
    if (index >= 0) {
        const bool wasSelected = index == ui.peerList->currentIndex();
        ui.peerList->removeItem(index);
        if (wasSelected) {
            ui.peerList->setCurrentIndex(-1);
        }
    }
    if (ui.peerList->count() == 0) {
        ui.announceButton->setEnabled(false);
    }
    // Message, Chat and File never stay enabled without a selection.
    ApplyButtonRule();
}

CString CMainDialog::FindAddressByName(const CString& name) const
{
    for (const auto& peer : m_peers) {
        if (peer->GetName() == name) {
            return peer->GetAddress();
        }
    }
    return {};
}

CString CMainDialog::FindNameByAddress(const CString& address) const
{
    for (const auto& peer : m_peers) {
        if (peer->GetAddress() == address) {
            return peer->GetName();
        }
    }
    return {};
}

CString CMainDialog::GetLocalName() const
{
    return m_presenceSocket.GetIdentity();
}

void CMainDialog::ShowReceivedMessage(const CString& sender, const CString& text)
{
    MessageBeep();
    auto* window = new CReceiveMessageDialog;
    window->m_strPeer = sender;
    window->m_strHeader = "Received Message From " + sender;
    window->m_strMessage = text;
    window->Create();
}

void CMainDialog::SendMessageTo(const CString& name, const CString& text)
{
    if (name.empty()) {
        m_presenceSocket.SendText(text, nullptr);
        return;
    }
    // A private message must never go out as a broadcast: a peer that left gets nothing.
    const CString address = FindAddressByName(name);
    if (!address.empty()) {
        m_presenceSocket.SendText(text, address.c_str());
    }
}

void CMainDialog::OnEndSession(bool bEnding)
{
    if (bEnding) {
        SendLeaveOnce();
    }
}

void CMainDialog::OnSysCommand(unsigned id)
{
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDialog about(this);
        about.DoModal();
    }
}

void CMainDialog::OnTrayNotify(unsigned iconId, QSystemTrayIcon::ActivationReason reason)
{
    if (iconId != TRAY_ICON_ID) {
        return;
    }
    if (reason == QSystemTrayIcon::DoubleClick) {
        RestoreWindow();
    } else if (reason == QSystemTrayIcon::Context) {
        ShowTrayMenu(QCursor::pos());
    }
}

std::vector<TrayMenuItem> CMainDialog::BuildCurrentTrayMenu() const
{
    std::vector<CString> names;
    names.reserve(m_peers.size());
    for (const auto& peer : m_peers) {
        names.push_back(peer->GetName());
    }
    return BuildTrayMenu(IsInTray(), names);
}

namespace {
void AddTrayItems(QMenu* menu, const std::vector<TrayMenuItem>& items)
{
    for (const TrayMenuItem& item : items) {
        switch (item.type) {
        case TrayMenuItem::Type::Separator:
            menu->addSeparator();
            break;
        case TrayMenuItem::Type::Submenu:
            AddTrayItems(menu->addMenu(ToQString(item.text)), item.children);
            break;
        case TrayMenuItem::Type::Command: {
            // Peer names come from the network: no mnemonics, no markup.
            QAction* action = menu->addAction(ToQString(item.text).replace('&', "&&"));
            action->setData(item.id);
            action->setEnabled(item.enabled);
            break;
        }
        }
    }
}
} // namespace

void CMainDialog::ShowTrayMenu(const QPoint& point)
{
    // Built afresh each time, from the peers as they are now.
    QMenu menu;
    AddTrayItems(&menu, BuildCurrentTrayMenu());
    activateWindow();
    if (QAction* chosen = menu.exec(point)) {
        OnMenuCommand(chosen->data().toUInt());
    }
}

void CMainDialog::OnMenuCommand(unsigned id)
{
    const std::optional<TrayCommand> command = DecodeTrayCommand(id);
    if (!command) {
        return;
    }
    switch (command->kind) {
    case TrayCommandKind::ShowOrHide:
        if (IsInTray()) {
            RestoreWindow();
        } else {
            showMinimized();
        }
        return;
    case TrayCommandKind::Announce:
        OnAnnounce();
        return;
    case TrayCommandKind::Close:
        OnClose();
        return;
    case TrayCommandKind::Message:
    case TrayCommandKind::Chat:
    case TrayCommandKind::File:
        break;
    }
    // The list may have shrunk while the menu was open.
    if (command->position >= m_peers.size()) {
        return;
    }
    const int index
        = ui.peerList->findText(ToQString(m_peers[command->position]->GetName()), Qt::MatchStartsWith);
    if (index >= 0) {
        ui.peerList->setCurrentIndex(index);
    }
    if (command->kind == TrayCommandKind::Message) {
        OnMessage();
    } else if (command->kind == TrayCommandKind::Chat) {
        OnChat();
    } else {
        OnFile();
    }
}

bool CMainDialog::IsTrayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void CMainDialog::paintEvent(QPaintEvent* event)
{
    if (m_bFirstPaint) {
        m_bFirstPaint = false;
        if (IsTrayAvailable()) {
            HideToTray();
            return;
        }
    }
    CDialog::paintEvent(event);
}

void CMainDialog::changeEvent(QEvent* event)
{
    CDialog::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized() && IsTrayAvailable()) {
        // Hidden once the state change is through, so the window manager sees it complete.
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                hide();
            }
        });
    }
}

void CMainDialog::OnAnnounce()
{
    auto* window = new CSendMessageDialog;
    window->m_strHeader = "Announce";
    window->Create();
}

void CMainDialog::OnChat()
{
    UpdateData(true);
    auto* window = new CSendChatRequestDialog;
    window->m_strPeer = m_strPeer;
    window->m_strHeader = "Send Chat Request To " + m_strPeer;
    window->Create();
}

void CMainDialog::OnFile()
{
    UpdateData(true);
    auto* window = new CSendFileRequestDialog;
    window->m_strPeer = m_strPeer;
    window->m_strHeader = "Send File Transmission Request To " + m_strPeer;
    window->Create();
}

void CMainDialog::OnMessage()
{
    UpdateData(true);
    auto* window = new CSendMessageDialog;
    window->m_strPeer = m_strPeer;
    window->m_strHeader = "Send Message To " + m_strPeer;
    window->Create();
}

void CMainDialog::OnSelchangePeerList()
{
    ApplyButtonRule();
}

void CMainDialog::OnClose()
{
    if (MessageBox("Are you sure?", "Close", MB_YESNO) == IDYES) {
        EndDialog(IDCANCEL);
    }
}

void CMainDialog::closeEvent(QCloseEvent* event)
{
    // The close box asks first; only Escape ends the run at once.
    event->ignore();
    OnClose();
}

void CMainDialog::contextMenuEvent(QContextMenuEvent* event)
{
    // Window managers offer no way to add to the window menu, so the About item lives here.
    QMenu menu(this);
    QAction* about = menu.addAction(tr("&About Quorvane..."));
    if (menu.exec(event->globalPos()) == about) {
        OnSysCommand(IDM_ABOUTBOX);
    }
}

void CMainDialog::ApplyButtonRule()
{
    UpdateData(true);
    const bool selected = !m_strPeer.empty();
    ui.messageButton->setEnabled(selected);
    ui.chatButton->setEnabled(selected);
    ui.fileButton->setEnabled(selected);
}

void CMainDialog::SendLeaveOnce()
{
    m_leave.Send();
}

bool CMainDialog::IsInTray() const
{
    // A window in the tray is minimised as well as hidden.
    return isMinimized() || !isVisible();
}

void CMainDialog::RestoreWindow()
{
    showNormal();
    raise();
    activateWindow();
}

void CMainDialog::HideToTray()
{
    hide();
    setWindowState(windowState() | Qt::WindowMinimized);
}

void CMainDialog::InsertSorted(const CString& name)
{
    const QString text = ToQString(name);
    int index = 0;
    while (index < ui.peerList->count()
        && QString::compare(ui.peerList->itemText(index), text, Qt::CaseInsensitive) <= 0) {
        ++index;
    }
    // Names are bytes from the network; the entry keeps them, as the text may not convert back.
    ui.peerList->insertItem(index, text, QByteArray(name.data(), static_cast<qsizetype>(name.size())));
}
