#pragma once

#include "app/LeaveAtEnd.h"
#include "app/PeerEntry.h"
#include "app/TrayMenu.h"
#include "chat/ChatListenSocket.h"
#include "framework/Dialog.h"
#include "framework/MainWindowLink.h"
#include "net/PresenceSocket.h"
#include "transfer/FileListenSocket.h"
#include "ui_MainDialog.h"

#include <QIcon>
#include <QSystemTrayIcon>

#include <memory>
#include <vector>

// The program's home: the peer list, the four commands, and the three sockets it owns for the
// whole run.
class CMainDialog : public CDialog, public IMainWindow
{
    Q_OBJECT

public:
    // System menu command of the About box.
    static constexpr unsigned IDM_ABOUTBOX = 16;

    explicit CMainDialog(QWidget* parent = nullptr);
    ~CMainDialog() override;

    void AddPeer(const CString& name, const CString& address) override;
    void RemovePeer(const CString& name) override;
    CString FindAddressByName(const CString& name) const override;
    CString FindNameByAddress(const CString& address) const override;
    CString GetLocalName() const override;
    void ShowReceivedMessage(const CString& sender, const CString& text) override;
    void SendMessageTo(const CString& name, const CString& text) override;

    // The run is really ending (a termination signal, Qt quitting): say goodbye to the peers.
    void OnEndSession(bool bEnding);
    void OnSysCommand(unsigned id);

    // The tray icon: its mouse events, its popup menu and the menu's commands.
    void OnTrayNotify(unsigned iconId, QSystemTrayIcon::ActivationReason reason);
    void ShowTrayMenu(const QPoint& point);
    std::vector<TrayMenuItem> BuildCurrentTrayMenu() const;
    void OnMenuCommand(unsigned id);

    const std::vector<std::unique_ptr<CPeerEntry>>& GetPeers() const { return m_peers; }

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

    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void ApplyButtonRule();
    void SendLeaveOnce();
    void InsertSorted(const CString& name);
    bool IsInTray() const;
    void RestoreWindow();
    void HideToTray();

    Ui::MainDialog ui;
    std::vector<std::unique_ptr<CPeerEntry>> m_peers;
    CPresenceSocket m_presenceSocket;
    // However the program ends, the peers hear one goodbye.
    CLeaveAtEnd m_leave {m_presenceSocket};
    CChatListenSocket m_chatListenSocket;
    CFileListenSocket m_fileListenSocket;
    bool m_bFirstPaint = true;
    CString m_strPeer;
    QIcon m_hIcon;
    QSystemTrayIcon* m_pTrayIcon = nullptr;
};
