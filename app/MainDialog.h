#pragma once

#include "app/LeaveAtEnd.h"
#include "app/PeerEntry.h"
#include "app/PeerIndex.h"
#include "app/TrayMenu.h"
#include "chat/ChatListenSocket.h"
#include "framework/Dialog.h"
#include "framework/MainWindowLink.h"
#include "framework/StatusNotifierHostWatch.h"
#include "framework/StatusNotifierItem.h"
#include "framework/TrayHostWatch.h"
#include "net/PresenceSocket.h"
#include "transfer/FileListenSocket.h"
#include "ui_MainDialog.h"

#include <QIcon>
#include <QSystemTrayIcon>

#include <memory>
#include <vector>

class QMenu;

// The program's home: the peer list, the four commands, and the three sockets it owns for the
// whole run.
class CMainDialog : public CDialog, public IMainWindow
{
    Q_OBJECT

public:
    // System menu command of the About box.
    static constexpr unsigned IDM_ABOUTBOX = 16;

    // The peer list holds at most this many entries; hellos beyond are neither listed nor answered.
    static constexpr std::size_t MAX_PEERS = 10000;

    explicit CMainDialog(QWidget* parent = nullptr);
    ~CMainDialog() override;

    bool AddPeer(const CString& name, const CString& address) override;
    void RemovePeer(const CString& name) override;
    bool IsListed(const CString& name, const CString& address) const override;
    CString FindAddressByName(const CString& name) const override;
    CString FindNameByAddress(const CString& address) const override;
    CString GetLocalName() const override;
    CString GetPeerText(const CString& name) const override;
    WireSpeech GetPeerSpeech(const CString& address) const override;
    void NotePeerSpeech(const CString& address, WireSpeech speech) override;
    void ShowReceivedMessage(const CString& sender, const CString& text, const CString& source) override;
    void SendMessageTo(const CString& name, const CString& text) override;

    // The run is really ending (a termination signal, Qt quitting): say goodbye to the peers.
    void OnEndSession(bool bEnding);
    void OnSysCommand(unsigned id);

    // The kinds of icon Qt makes: a StatusNotifierItem, which the panel draws along with the
    // menu it is handed, or an XEmbed icon, whose menu the program pops up itself.
    enum class TrayKind {
        XEmbed,
        StatusNotifierItem,
    };
    TrayKind GetTrayKind() const { return m_eTrayKind; }
    // The menu handed to a StatusNotifierItem panel, kept current; null on an XEmbed tray.
    QMenu* GetTrayMenu() const { return m_pTrayMenu; }
    // The program's own item, on a StatusNotifierItem panel that came after the start; else null.
    CStatusNotifierItem* GetLateStatusNotifierItem() const { return m_pLateItem; }

    // The tray icon: its mouse events, its popup menu and the menu's commands.
    void OnTrayNotify(unsigned iconId, QSystemTrayIcon::ActivationReason reason);
    void ShowTrayMenu(const QPoint& point);
    std::vector<TrayMenuItem> BuildCurrentTrayMenu() const;
    void OnMenuCommand(unsigned id);

    const std::vector<std::unique_ptr<CPeerEntry>>& GetPeers() const { return m_peers; }

    // The program was started again: the window comes back as on a double-click on the tray
    // icon, taking focus where the startup id lets it.
    void ShowFromAnotherStart(const CString& startupId);

    // Files handed over by `quorvane --send` (full paths, as bytes): the user picks the peer in
    // a "Send Files" window.
    void OpenSendFiles(std::vector<CString> paths);

protected:
    bool OnInitDialog() override;
    void OnDestroy() override;
    void DoDataExchange(bool bSaveAndValidate) override;

    void OnAnnounce();
    void OnChat();
    void OnFile();
    void OnMessage();
    void OnSelchangePeerList();
    void OnClose();

    // Without a notification area the window must stay reachable: it is then never hidden.
    virtual bool IsTrayAvailable() const;
    // Asked once, just before the icon is made, as Qt decides then which kind to make.
    virtual TrayKind DetectTrayKind() const;
    void AddTrayIcon();
    // A tray came up after the program: the window goes there, with the icon, unless the user has
    // taken it up meanwhile.
    void OnTrayHostAppeared();
    // The first tray of either kind to come after the start takes the icon; the other is ignored.
    void OnXEmbedTrayAppeared();
    void OnStatusNotifierHostAppeared();
    bool eventFilter(QObject* watched, QEvent* event) override;

    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    // Local files dropped go to the selected peer, as if chosen with "Select File".
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    bool AcceptsDrop(const QMimeData* data) const;
    void ApplyButtonRule();
    void SendLeaveOnce();
    // The first entry of the list control that does not sort before the text (after: that sorts
    // after it), found by halving: the control keeps its entries sorted.
    int ListBound(const QString& text, bool after) const;
    bool IsInTray() const;
    void RestoreWindow();
    void HideToTray();
    void ScheduleTrayMenuUpdate();
    void UpdateTrayMenu();
    void PostMenuCommand(unsigned id);

    Ui::MainDialog ui;
    std::vector<std::unique_ptr<CPeerEntry>> m_peers;
    // Kept in step with m_peers, for look-ups that need no scan.
    CPeerIndex m_peerIndex;
    CPresenceSocket m_presenceSocket;
    // However the program ends, the peers hear one goodbye.
    CLeaveAtEnd m_leave {m_presenceSocket};
    CChatListenSocket m_chatListenSocket;
    CFileListenSocket m_fileListenSocket;
    bool m_bFirstPaint = true;
    CString m_strPeer;
    QIcon m_hIcon;
    QSystemTrayIcon* m_pTrayIcon = nullptr;
    TrayKind m_eTrayKind = TrayKind::XEmbed;
    // Owned by this window; Qt, or our own late item, exports it to the panel as a D-Bus menu.
    QMenu* m_pTrayMenu = nullptr;
    bool m_bTrayMenuUpdatePending = false;
    bool m_bPeerListFullReported = false;
    // The user has pressed a key or a button in the window, or brought it back, since the start;
    // or a tray that came later has taken it once already.
    bool m_bWindowUsed = false;
    CTrayHostWatch* m_pTrayHostWatch = nullptr;
    // Only while no tray of either kind has come since a start without one.
    CStatusNotifierHostWatch* m_pStatusNotifierHostWatch = nullptr;
    // Qt decides the kind of its icon once per run, so a StatusNotifierItem panel that comes later
    // gets an item of our own, which then stands in for m_pTrayIcon.
    CStatusNotifierItem* m_pLateItem = nullptr;
};
