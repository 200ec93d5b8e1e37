#include "app/MainDialog.h"
#include "app/TrayMenu.h"
#include "net/SendMessageDialog.h"
#include "tests/support/Wait.h"
#include "tests/support/Windows.h"

#include <QComboBox>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

namespace {
// The main window with a notification area that a test switches on and off.
class CTrayMainDialog : public CMainDialog
{
public:
    using CMainDialog::AddTrayIcon;
    bool m_bTray = true;
    TrayKind m_eKind = TrayKind::XEmbed;

protected:
    bool IsTrayAvailable() const override { return m_bTray; }
    TrayKind DetectTrayKind() const override { return m_eKind; }
};

// A menu as handed to the panel: texts and ids, submenus by their title.
std::vector<std::string> Texts(const QMenu* menu)
{
    std::vector<std::string> texts;
    for (const QAction* action : menu->actions()) {
        texts.push_back(action->isSeparator()
                ? "-"
                : action->text().toStdString() + " " + action->data().toString().toStdString());
    }
    return texts;
}

std::vector<std::string> Texts(const std::vector<TrayMenuItem>& items)
{
    std::vector<std::string> texts;
    for (const TrayMenuItem& item : items) {
        if (item.type == TrayMenuItem::Type::Separator) {
            texts.push_back("-");
        } else {
            texts.push_back(item.text + (item.enabled ? "" : " (greyed)") + " " + std::to_string(item.id));
        }
    }
    return texts;
}

class TrayTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        SetMessageBoxHandler({});
        CDialog::DestroyAllWindows();
    }

    QComboBox* List() { return window.findChild<QComboBox*>("peerList"); }

    CTrayMainDialog window;
};
} // namespace

TEST(TrayMenuTest, WithoutPeersAnnounceAndEveryPeerMenuAreGreyed)
{
    const auto menu = BuildTrayMenu(true, {});
    ASSERT_EQ(menu.size(), 8u);
    EXPECT_EQ(Texts(menu)[0], "Open Quorvane 2000");
    EXPECT_EQ(Texts(menu)[1], "-");
    EXPECT_EQ(Texts(menu)[2], "Announce (greyed) 2001");
    for (size_t i = 3; i < 6; ++i) {
        EXPECT_EQ(
            Texts(menu[i].children), std::vector<std::string> {"None (greyed) " + std::to_string(1999 + i)});
    }
    EXPECT_EQ(menu[3].text, "Message");
    EXPECT_EQ(menu[4].text, "Chat");
    EXPECT_EQ(menu[5].text, "File");
    EXPECT_EQ(Texts(menu)[6], "-");
    EXPECT_EQ(Texts(menu)[7], "Close 2005");
    EXPECT_EQ(BuildTrayMenu(false, {})[0].text, "Hide Quorvane");
}

TEST(TrayMenuTest, CommandIdsEncodeKindAndPosition)
{
    const auto menu = BuildTrayMenu(false, {"zed (PC1)", "anna (PC2)"});
    EXPECT_EQ(Texts(menu[3].children), (std::vector<std::string> {"zed (PC1) 2002", "anna (PC2) 2012"}));
    EXPECT_EQ(Texts(menu[4].children), (std::vector<std::string> {"zed (PC1) 2003", "anna (PC2) 2013"}));
    EXPECT_EQ(Texts(menu[5].children), (std::vector<std::string> {"zed (PC1) 2004", "anna (PC2) 2014"}));
    EXPECT_TRUE(menu[2].enabled);

    const auto last = DecodeTrayCommand(2000 + 10 * 799 + 3);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->kind, TrayCommandKind::Chat);
    EXPECT_EQ(last->position, 799u);
    EXPECT_FALSE(DecodeTrayCommand(2000 + 10 * 800 + 2)) << "beyond 10000";
    EXPECT_FALSE(DecodeTrayCommand(1999));
    EXPECT_FALSE(DecodeTrayCommand(2006)) << "kinds 6 to 9 are unused";
    EXPECT_EQ(DecodeTrayCommand(2005)->kind, TrayCommandKind::Close);

    // Only the peers whose ids the main window takes are listed.
    const auto crowded = BuildTrayMenu(false, std::vector<CString>(801, "peer (PC)"));
    for (size_t i = 3; i < 6; ++i) {
        ASSERT_EQ(crowded[i].children.size(), 800u);
        EXPECT_EQ(crowded[i].children.back().id, 2000 + 10 * 799 + (i - 1));
        EXPECT_TRUE(DecodeTrayCommand(crowded[i].children.back().id));
    }
}

TEST_F(TrayTest, PeerCommandSelectsThatPeerAndOpensItsWindow)
{
    window.AddPeer("zed (PC1)", "10.0.0.1");
    window.AddPeer("anna (PC2)", "10.0.0.2");
    window.OnMenuCommand(2002); // Message to the first arrival
    EXPECT_EQ(List()->currentText(), "zed (PC1)");
    const auto windows = OpenWindowsOf<CSendMessageDialog>();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0]->m_strPeer, "zed (PC1)");
    EXPECT_EQ(windows[0]->m_strHeader, "Send Message To zed (PC1)");
}

TEST_F(TrayTest, CommandForAPositionThatNoLongerExistsDoesNothing)
{
    window.AddPeer("zed (PC1)", "10.0.0.1");
    window.AddPeer("anna (PC2)", "10.0.0.2");
    const auto menu = window.BuildCurrentTrayMenu();
    window.RemovePeer("anna (PC2)");
    window.OnMenuCommand(menu[3].children[1].id);
    EXPECT_TRUE(OpenWindowsOf<CSendMessageDialog>().empty());
}

TEST_F(TrayTest, FirstPaintAndEveryMinimiseHideTheWindowToTheTray)
{
    window.show();
    ASSERT_TRUE(WaitFor([&] { return !window.isVisible(); }, 3000));
    EXPECT_EQ(window.BuildCurrentTrayMenu()[0].text, "Open Quorvane");

    window.OnTrayNotify(TRAY_ICON_ID, QSystemTrayIcon::Trigger);
    Settle(50);
    EXPECT_FALSE(window.isVisible()) << "a single click does nothing";
    window.OnTrayNotify(TRAY_ICON_ID + 1, QSystemTrayIcon::DoubleClick);
    Settle(50);
    EXPECT_FALSE(window.isVisible()) << "another icon's events are not ours";

    window.OnTrayNotify(TRAY_ICON_ID, QSystemTrayIcon::DoubleClick);
    ASSERT_TRUE(WaitFor([&] { return window.isVisible(); }, 3000));
    EXPECT_FALSE(window.isMinimized());
    EXPECT_EQ(window.BuildCurrentTrayMenu()[0].text, "Hide Quorvane");

    window.OnMenuCommand(2000);
    EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }, 3000));
    window.OnMenuCommand(2000);
    EXPECT_TRUE(WaitFor([&] { return window.isVisible() && !window.isMinimized(); }, 3000));
}

TEST_F(TrayTest, WithoutANotificationAreaTheWindowStaysReachable)
{
    window.m_bTray = false;
    window.show();
    Settle(200);
    EXPECT_TRUE(window.isVisible()) << "not hidden at first paint";
    window.showMinimized();
    Settle(200);
    EXPECT_TRUE(window.isVisible()) << "a normal minimised window";

    // A notification area that appears later brings the hiding rules with it.
    window.m_bTray = true;
    window.showNormal();
    window.showMinimized();
    EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }, 3000));
}

TEST_F(TrayTest, CloseAsksAndOnlyYesEndsTheRun)
{
    std::vector<MessageBoxRequest> questions;
    int answer = IDNO;
    SetMessageBoxHandler([&](const MessageBoxRequest& request) {
        questions.push_back(request);
        return answer;
    });
    bool visibleAfterNo = false;
    QTimer::singleShot(0, &window, [&] {
        window.OnMenuCommand(2005);
        visibleAfterNo = window.isVisible();
        answer = IDYES;
        window.OnMenuCommand(2005);
    });
    QTimer::singleShot(10000, &window, [&] { window.EndDialog(IDOK); });
    EXPECT_EQ(window.DoModal(), IDCANCEL);
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0].text, "Are you sure?");
    EXPECT_EQ(questions[0].caption, "Close");
    EXPECT_EQ(questions[0].style, unsigned(MB_YESNO));
}

TEST_F(TrayTest, OnAStatusNotifierPanelActivationRestoresAndTheHandedMenuStaysCurrent)
{
    window.m_eKind = CMainDialog::TrayKind::StatusNotifierItem;
    window.AddTrayIcon();
    QMenu* menu = window.GetTrayMenu();
    ASSERT_TRUE(menu);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return !window.isVisible(); }, 3000));
    EXPECT_TRUE(WaitFor([&] { return Texts(menu)[0] == "Open Quorvane 2000"; }, 3000));

    window.AddPeer("zed (PC1)", "10.0.0.1");
    window.AddPeer("anna_b (PC2)", "10.0.0.2");
    QMenu* message = menu->actions()[3]->menu();
    ASSERT_TRUE(message);
    EXPECT_TRUE(WaitFor([&] { return Texts(message).size() == 2; }, 3000));
    EXPECT_EQ(Texts(message), (std::vector<std::string> {"zed (PC1) 2002", "anna__b (PC2) 2012"}))
        << "an underscore is no mnemonic";
    EXPECT_TRUE(menu->actions()[2]->isEnabled()) << "Announce";

    // A left click is an activation there.
    window.OnTrayNotify(TRAY_ICON_ID, QSystemTrayIcon::Trigger);
    ASSERT_TRUE(WaitFor([&] { return window.isVisible(); }, 3000));
    EXPECT_TRUE(WaitFor([&] { return Texts(menu)[0] == "Hide Quorvane 2000"; }, 3000));

    // Chosen inside the panel's call, run after it.
    message->actions()[1]->trigger();
    EXPECT_TRUE(OpenWindowsOf<CSendMessageDialog>().empty());
    ASSERT_TRUE(WaitFor([&] { return OpenWindowsOf<CSendMessageDialog>().size() == 1; }, 3000));
    EXPECT_EQ(OpenWindowsOf<CSendMessageDialog>()[0]->m_strPeer, "anna_b (PC2)");

    window.RemovePeer("zed (PC1)");
    EXPECT_TRUE(
        WaitFor([&] { return Texts(message) == std::vector<std::string> {"anna__b (PC2) 2002"}; }, 3000));
    window.RemovePeer("anna_b (PC2)");
    EXPECT_TRUE(WaitFor([&] { return Texts(message) == std::vector<std::string> {"None 2002"}; }, 3000));
    EXPECT_FALSE(message->actions()[0]->isEnabled());
}
