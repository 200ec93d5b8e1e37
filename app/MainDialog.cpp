#include "app/MainDialog.h"

#include "app/AboutDialog.h"
#include "app/SendFilesDialog.h"
#include "chat/ChatWindows.h"
#include "chat/SendChatRequestDialog.h"
#include "framework/Alert.h"
#include "framework/DesktopNotice.h"
#include "framework/DroppedFiles.h"
#include "framework/Icons.h"
#include "framework/MessageBox.h"
#include "framework/QtText.h"
#include "framework/StatusNotifierHost.h"
#include "net/ReceiveMessageDialog.h"
#include "net/SendMessageDialog.h"
#include "net/WindowQuota.h"
#include "transfer/FileProtocol.h"
#include "transfer/SendFileRequestDialog.h"
#include "transfer/TransferWindows.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMimeData>
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

// On standard error, where a Linux user can find out why no peer ever appears; the error is
// returned for the notice that says it once to the user.
int ReportOpenFailure(const char* what)
{
    const int error = WSAGetLastError();
    std::fprintf(
        stderr, "quorvane: cannot open %s: %s (error %d)\n", what, DescribeOpenFailure(error), error);
    return error;
}

// Most often the ports are held by another user's copy on the same computer (fast user
// switching, a terminal server): this copy then hears nobody, and nothing in its windows says so.
void NoticeClosedPorts(const QStringList& ports, bool allInUse)
{
    const QString why = !allInUse ? QStringLiteral("could not be opened.")
        : ports.size() == 1
        ? QStringLiteral("is in use by another program, perhaps another user's Quorvane on this computer.")
        : QStringLiteral("are in use by another program, perhaps another user's Quorvane on this computer.");
    ShowDesktopNotice("Nobody on the network can reach you: " + ports.join(QStringLiteral(", ")) + ' ' + why,
        NoticeDelivery::DontWait);
}

// Wayland reports no window as minimised and lets no program activate its own window.
bool IsWayland()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}
} // namespace

CMainDialog::CMainDialog(QWidget* parent)
    : CDialog(parent)
{
    m_hIcon = LoadIcon("quorvane");
    ui.setupUi(this);
    ApplyWindowFrame(this);
    setAcceptDrops(true);
    // The peer list has the focus mostly, and a drop-down list swallows the Menu key and the
    // right button without showing a menu: the window's own menu must come instead.
    ui.peerList->setContextMenuPolicy(Qt::NoContextMenu);

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

    AddTrayIcon();
    m_pTrayHostWatch = new CTrayHostWatch(this);
    connect(m_pTrayHostWatch, &CTrayHostWatch::hostAppeared, this, [this] { OnXEmbedTrayAppeared(); });
    if (m_eTrayKind == TrayKind::XEmbed && !IsTrayAvailable()) {
        m_pStatusNotifierHostWatch = new CStatusNotifierHostWatch(this);
        connect(
            m_pStatusNotifierHostWatch, &CStatusNotifierHostWatch::hostAppeared, this,
            [this] { OnStatusNotifierHostAppeared(); }, Qt::QueuedConnection);
    }
    qApp->installEventFilter(this);

    QStringList closedPorts;
    bool allInUse = true;
    const auto closed = [&](const char* port) {
        allInUse = ReportOpenFailure(port) == WSAEADDRINUSE && allInUse;
        closedPorts << QLatin1String(port);
    };
    if (!m_presenceSocket.Start()) {
        closed("UDP port 100");
    }
    if (!m_chatListenSocket.CreateListener() || !m_chatListenSocket.Listen(CHAT_LISTEN_BACKLOG)) {
        closed("TCP port 101");
    }
    if (!m_fileListenSocket.CreateListener() || !m_fileListenSocket.Listen(filewire::LISTEN_BACKLOG)) {
        closed("TCP port 102");
    }
    if (!closedPorts.isEmpty()) {
        NoticeClosedPorts(closedPorts, allInUse);
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
    // Before the menu it exports.
    delete m_pLateItem;
    m_pLateItem = nullptr;
    delete m_pTrayMenu;
    m_pTrayMenu = nullptr;
    m_peers.clear();
    m_peerIndex.Clear();
}

void CMainDialog::DoDataExchange(bool bSaveAndValidate)
{
    DDX_CBString(bSaveAndValidate, ui.peerList, m_strPeer);
}

bool CMainDialog::AddPeer(const CString& name, const CString& address)
{
    if (m_peers.size() >= MAX_PEERS) {
        if (!m_bPeerListFullReported) {
            m_bPeerListFullReported = true;
            std::fprintf(stderr, "quorvane: the peer list is full (%zu peers); further peers are ignored\n",
                MAX_PEERS);
        }
        return false;
    }
    // What the name teaches about the peer joins what its address taught before.
    const WireSpeech known = GetPeerSpeech(address);
    WireSpeech speech = known;
    const CString shown = DecodeWireText(name, speech);
    if (speech != known) {
        NotePeerSpeech(address, speech);
    }
    m_peers.push_back(std::make_unique<CPeerEntry>(name, address, shown, speech));
    m_peerIndex.Add(name, address);
    const QString text = ToQString(shown);
    // The entry keeps the name's bytes: they find the peer, whatever the text reads as.
    ui.peerList->insertItem(
        ListBound(text, true), text, QByteArray(name.data(), static_cast<qsizetype>(name.size())));
    if (ui.peerList->count() > 0) {
        ui.announceButton->setEnabled(true);
    }
    // The entries that begin with the name sort together, from the first one not before it.
    const int index = ListBound(text, false);
    if (index < ui.peerList->count() && ui.peerList->itemText(index).startsWith(text, Qt::CaseInsensitive)) {
        ui.peerList->setCurrentIndex(index);
    }
    ApplyButtonRule();
    ScheduleTrayMenuUpdate();
    return true;
}

void CMainDialog::RemovePeer(const CString& name)
{
    const std::optional<std::size_t> position = m_peerIndex.FindName(name);
    if (!position) {
        return;
    }
    const QString text = ToQString(m_peers[*position]->GetText());
    m_peerIndex.RemoveAt(*position, name, m_peers[*position]->GetAddress());
    m_peers.erase(m_peers.begin() + static_cast<std::ptrdiff_t>(*position));

    // The entry with these very bytes, among those that read the same but for letter case.
    const QByteArray bytes(name.data(), static_cast<qsizetype>(name.size()));
    const int end = ListBound(text, true);
    int index = ListBound(text, false);
    while (index < end && ui.peerList->itemData(index).toByteArray() != bytes) {
        ++index;
    }
    if (index < end) {
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
    ScheduleTrayMenuUpdate();
}

bool CMainDialog::IsListed(const CString& name, const CString& address) const
{
    return m_peerIndex.Contains(name, address);
}

CString CMainDialog::FindAddressByName(const CString& name) const
{
    const std::optional<std::size_t> position = m_peerIndex.FindName(name);
    return position ? m_peers[*position]->GetAddress() : CString();
}

CString CMainDialog::FindNameByAddress(const CString& address) const
{
    const std::optional<std::size_t> position = m_peerIndex.FindAddress(address);
    return position ? m_peers[*position]->GetName() : CString();
}

CString CMainDialog::GetPeerText(const CString& name) const
{
    const std::optional<std::size_t> position = m_peerIndex.FindName(name);
    return position ? m_peers[*position]->GetText() : DecodeWireText(name);
}

WireSpeech CMainDialog::GetPeerSpeech(const CString& address) const
{
    const std::optional<std::size_t> position = m_peerIndex.FindAddress(address);
    return position ? m_peers[*position]->GetSpeech() : WireSpeech::Unknown;
}

void CMainDialog::NotePeerSpeech(const CString& address, WireSpeech speech)
{
    if (const std::optional<std::size_t> position = m_peerIndex.FindAddress(address)) {
        m_peers[*position]->SetSpeech(speech);
    }
}

CString CMainDialog::GetLocalName() const
{
    return m_presenceSocket.GetIdentity();
}

void CMainDialog::ShowReceivedMessage(const CString& sender, const CString& text, const CString& source)
{
    // Beyond its share of windows a host's message is dropped, without a sound.
    CWindowQuota::CSlot slot = NetworkWindows().TryAcquire(source);
    if (!slot) {
        return;
    }
    MessageBeep();
    auto* window = new CReceiveMessageDialog;
    window->HoldWindowSlot(std::move(slot));
    window->m_strPeer = sender;
    window->m_strHeader = "Received Message From " + GetPeerText(sender);
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

CMainDialog::TrayKind CMainDialog::DetectTrayKind() const
{
    return IsStatusNotifierHostRegistered() ? TrayKind::StatusNotifierItem : TrayKind::XEmbed;
}

void CMainDialog::AddTrayIcon()
{
    m_eTrayKind = DetectTrayKind();
    m_pTrayIcon = new QSystemTrayIcon(m_hIcon, this);
    m_pTrayIcon->setToolTip(QStringLiteral("Quorvane"));
    // Queued: a panel's D-Bus call returns before anything of ours runs, and a menu or a box
    // opened from here never holds it.
    connect(
        m_pTrayIcon, &QSystemTrayIcon::activated, this,
        [this](QSystemTrayIcon::ActivationReason reason) { OnTrayNotify(TRAY_ICON_ID, reason); },
        Qt::QueuedConnection);
    if (m_eTrayKind == TrayKind::StatusNotifierItem) {
        // The panel draws this menu from its own copy of the layout, so it is kept current.
        m_pTrayMenu = new QMenu(this);
        UpdateTrayMenu();
        m_pTrayIcon->setContextMenu(m_pTrayMenu);
    }
    m_pTrayIcon->show();
}

void CMainDialog::OnTrayHostAppeared()
{
    // Qt embeds its icon in the new tray by itself; the window stayed on screen only for want of
    // one. IsTrayAvailable says whether the icon shows there. Once only: a tray that announces
    // itself again does not take the window a second time.
    if (!m_bWindowUsed && !m_bFirstPaint && !IsInTray() && IsTrayAvailable()) {
        m_bWindowUsed = true;
        HideToTray();
    }
}

void CMainDialog::OnXEmbedTrayAppeared()
{
    if (m_pLateItem) {
        // Our own item came first; Qt's icon is hidden and embeds nowhere.
        return;
    }
    delete m_pStatusNotifierHostWatch;
    m_pStatusNotifierHostWatch = nullptr;
    OnTrayHostAppeared();
}

void CMainDialog::OnStatusNotifierHostAppeared()
{
    if (!m_pStatusNotifierHostWatch) {
        return;
    }
    if (!m_pLateItem) {
        // Hidden for good: an XEmbed tray that comes next must not show a second icon.
        m_pTrayIcon->hide();
        m_eTrayKind = TrayKind::StatusNotifierItem;
        m_pTrayMenu = new QMenu(this);
        m_pLateItem = new CStatusNotifierItem(m_hIcon, QStringLiteral("Quorvane"), m_pTrayMenu, this);
        UpdateTrayMenu();
        // Queued, as Qt's own icon delivers its clicks.
        connect(
            m_pLateItem, &CStatusNotifierItem::activated, this,
            [this] { OnTrayNotify(TRAY_ICON_ID, QSystemTrayIcon::Trigger); }, Qt::QueuedConnection);
        connect(
            m_pLateItem, &CStatusNotifierItem::secondaryActivated, this,
            [this] { OnTrayNotify(TRAY_ICON_ID, QSystemTrayIcon::MiddleClick); }, Qt::QueuedConnection);
        connect(
            m_pLateItem, &CStatusNotifierItem::contextMenuRequested, this,
            [this] { OnTrayNotify(TRAY_ICON_ID, QSystemTrayIcon::Context); }, Qt::QueuedConnection);
        connect(m_pLateItem, &CStatusNotifierItem::registered, this, [this] { OnTrayHostAppeared(); });
    }
    // Again for each new watcher: it knows nothing of the item the last one held.
    m_pLateItem->Register();
}

bool CMainDialog::eventFilter(QObject* watched, QEvent* event)
{
    const QEvent::Type type = event->type();
    if ((type == QEvent::KeyPress || type == QEvent::MouseButtonPress) && watched->isWidgetType()
        && static_cast<QWidget*>(watched)->window() == this) {
        m_bWindowUsed = true;
        // Once is enough to know.
        qApp->removeEventFilter(this);
    }
    return CDialog::eventFilter(watched, event);
}

void CMainDialog::OnTrayNotify(unsigned iconId, QSystemTrayIcon::ActivationReason reason)
{
    if (iconId != TRAY_ICON_ID) {
        return;
    }
    const bool statusNotifier = m_eTrayKind == TrayKind::StatusNotifierItem;
    // Such panels turn a left click into an activation and cannot deliver a double-click.
    if (reason == QSystemTrayIcon::DoubleClick || (statusNotifier && reason == QSystemTrayIcon::Trigger)) {
        RestoreWindow();
    } else if (reason == QSystemTrayIcon::Context && !statusNotifier) {
        // Qt reports the press of the right button, not its release.
        ShowTrayMenu(QCursor::pos());
    }
}

std::vector<TrayMenuItem> CMainDialog::BuildCurrentTrayMenu() const
{
    std::vector<CString> names;
    const size_t listed = std::min<size_t>(m_peers.size(), TRAY_MAX_PEERS);
    names.reserve(listed);
    for (size_t position = 0; position < listed; ++position) {
        names.push_back(m_peers[position]->GetText());
    }
    return BuildTrayMenu(IsInTray(), names);
}

namespace {
QString MenuText(const TrayMenuItem& item)
{
    // Peer names come from the network: no mnemonics, no markup.
    return ToQString(item.text).replace('&', "&&");
}

// The panel reads a D-Bus menu's underscore as the mark of a mnemonic, as Qt's & is read here.
QString PanelMenuText(const TrayMenuItem& item)
{
    return MenuText(item).replace('_', "__");
}

TrayMenuItem::Type TypeOf(const QAction* action)
{
    if (action->isSeparator()) {
        return TrayMenuItem::Type::Separator;
    }
    return action->menu() ? TrayMenuItem::Type::Submenu : TrayMenuItem::Type::Command;
}

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
            QAction* action = menu->addAction(MenuText(item));
            action->setData(item.id);
            action->setEnabled(item.enabled);
            break;
        }
        }
    }
}
} // namespace

void CMainDialog::ScheduleTrayMenuUpdate()
{
    // Once per pass of the event loop, however many peers came and went in it.
    if (!m_pTrayMenu || m_bTrayMenuUpdatePending) {
        return;
    }
    m_bTrayMenuUpdatePending = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_bTrayMenuUpdatePending = false;
            UpdateTrayMenu();
        },
        Qt::QueuedConnection);
}

void CMainDialog::UpdateTrayMenu()
{
    if (!m_pTrayMenu) {
        return;
    }
    // Changed in place: the panel hears of each item that changed, and a peer that arrives
    // costs one new item per submenu rather than a new menu.
    const auto sync = [this](auto& self, QMenu* menu, const std::vector<TrayMenuItem>& items) -> void {
        QList<QAction*> actions = menu->actions();
        qsizetype kept = 0;
        while (kept < actions.size() && static_cast<size_t>(kept) < items.size()
            && TypeOf(actions[kept]) == items[kept].type) {
            ++kept;
        }
        for (qsizetype i = kept; i < actions.size(); ++i) {
            // A submenu takes its own item with it.
            if (QMenu* submenu = actions[i]->menu()) {
                delete submenu;
            } else {
                delete actions[i];
            }
        }
        for (size_t i = 0; i < items.size(); ++i) {
            const TrayMenuItem& item = items[i];
            QAction* action = nullptr;
            if (i < static_cast<size_t>(kept)) {
                action = actions[static_cast<qsizetype>(i)];
            } else if (item.type == TrayMenuItem::Type::Separator) {
                action = menu->addSeparator();
            } else if (item.type == TrayMenuItem::Type::Submenu) {
                action = menu->addMenu(new QMenu(menu));
            } else {
                action = menu->addAction(QString());
                connect(action, &QAction::triggered, this,
                    [this, action] { PostMenuCommand(action->data().toUInt()); });
            }
            if (item.type == TrayMenuItem::Type::Separator) {
                continue;
            }
            // Our own exporter converts the mnemonics fully; Qt's leaves underscores as they are.
            action->setText(m_pLateItem ? MenuText(item) : PanelMenuText(item));
            action->setEnabled(item.enabled);
            action->setData(item.id);
            if (item.type == TrayMenuItem::Type::Submenu) {
                self(self, action->menu(), item.children);
            }
        }
    };
    sync(sync, m_pTrayMenu, BuildCurrentTrayMenu());
}

void CMainDialog::PostMenuCommand(unsigned id)
{
    // Chosen inside the panel's D-Bus call (Qt 6.4 already queues it, but says so nowhere): the
    // command (a box, a window) runs after the call has returned.
    QMetaObject::invokeMethod(
        this, [this, id] { OnMenuCommand(id); }, Qt::QueuedConnection);
}

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
            HideToTray();
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
    const CString name = m_peers[command->position]->GetName();
    const int index = ui.peerList->findData(QByteArray(name.data(), static_cast<qsizetype>(name.size())));
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
    // Qt keeps the kind of icon it made first; a StatusNotifierItem panel that came later shows
    // our own item instead. An XEmbed icon shows in any XEmbed tray, also one beside a
    // StatusNotifierItem host (xfce4-panel has both), which is what Qt looks for once it made
    // such an icon.
    if (m_pLateItem) {
        return m_pStatusNotifierHostWatch->IsHostPresent();
    }
    if (m_eTrayKind == TrayKind::StatusNotifierItem) {
        return IsStatusNotifierHostRegistered();
    }
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
    if (event->type() == QEvent::WindowStateChange) {
        ScheduleTrayMenuUpdate();
    }
    if (event->type() == QEvent::WindowStateChange && isMinimized() && IsTrayAvailable()) {
        // Hidden once the state change is through, so the window manager sees it complete.
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) {
                hide();
            }
        });
    }
}

void CMainDialog::showEvent(QShowEvent* event)
{
    CDialog::showEvent(event);
    ScheduleTrayMenuUpdate();
}

void CMainDialog::hideEvent(QHideEvent* event)
{
    CDialog::hideEvent(event);
    ScheduleTrayMenuUpdate();
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
    window->m_strHeader = "Send Chat Request To " + GetPeerText(m_strPeer);
    window->Create();
}

void CMainDialog::OnFile()
{
    UpdateData(true);
    CSendFileRequestDialog::OpenFor(m_strPeer);
}

bool CMainDialog::AcceptsDrop(const QMimeData* data) const
{
    return ui.peerList->currentIndex() >= 0 && LocalFilesOf(data);
}

void CMainDialog::dragEnterEvent(QDragEnterEvent* event)
{
    AnswerDrag(event, AcceptsDrop(event->mimeData()));
}

void CMainDialog::dragMoveEvent(QDragMoveEvent* event)
{
    AnswerDrag(event, AcceptsDrop(event->mimeData()));
}

void CMainDialog::dropEvent(QDropEvent* event)
{
    if (!AnswerDrag(event, AcceptsDrop(event->mimeData()))) {
        return;
    }
    UpdateData(true);
    CSendFileRequestDialog::OpenFor(m_strPeer)->SelectFiles(*LocalFilesOf(event->mimeData()));
}

void CMainDialog::ShowFromAnotherStart(const CString& startupId)
{
    RestoreWindow();
    // Wayland lets a program activate its window only with a token from the launcher; Qt reads it
    // from the environment when the window asks.
    if (IsWayland() && !startupId.empty()) {
        qputenv("XDG_ACTIVATION_TOKEN", QByteArray::fromStdString(startupId));
        activateWindow();
    }
}

void CMainDialog::OpenSendFiles(std::vector<CString> paths)
{
    // Said at once rather than after the user has chosen a peer: some file managers offer the
    // entry for directories too.
    MessageBoxRequest refusal;
    if (!CheckBatch(paths, refusal.text)) {
        // Owned by no window: the main window may be in the tray.
        ShowMessageBoxAsync(std::move(refusal));
        return;
    }
    auto* window = new CSendFilesDialog(ui.peerList->model(), ui.peerList->currentIndex(), std::move(paths));
    window->Create();
    window->raise();
    window->activateWindow();
}

void CMainDialog::OnMessage()
{
    UpdateData(true);
    auto* window = new CSendMessageDialog;
    window->m_strPeer = m_strPeer;
    window->m_strHeader = "Send Message To " + GetPeerText(m_strPeer);
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
    // Window managers offer no way to add to the window menu, so the About item lives here. So
    // does hiding to the tray, which the keyboard reaches nowhere else: the tray's own menu
    // opens with a mouse, and not every window manager has a key that minimises.
    QMenu menu(this);
    QAction* hide = IsTrayAvailable() ? menu.addAction(tr("&Hide Quorvane")) : nullptr;
    QAction* about = menu.addAction(tr("&About Quorvane..."));
    QAction* chosen = menu.exec(event->globalPos());
    if (chosen && chosen == hide) {
        HideToTray();
    } else if (chosen == about) {
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
    // A window in the tray is hidden; one minimised on X11 is on its way there.
    return !isVisible() || (isMinimized() && !IsWayland());
}

void CMainDialog::RestoreWindow()
{
    // Brought back by the user: a tray that appears later leaves it where it is.
    m_bWindowUsed = true;
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    if (!IsWayland()) {
        activateWindow();
    }
}

void CMainDialog::HideToTray()
{
    // Only hidden, not minimised as well: a window manager (openbox) applies a minimise that
    // reaches it around the hide when the window is next shown, and a window brought back from
    // the tray then went straight away again.
    hide();
}

int CMainDialog::ListBound(const QString& text, bool after) const
{
    int low = 0;
    int high = ui.peerList->count();
    while (low < high) {
        const int middle = low + (high - low) / 2;
        const int order = QString::compare(ui.peerList->itemText(middle), text, Qt::CaseInsensitive);
        if (order < 0 || (after && order == 0)) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}
