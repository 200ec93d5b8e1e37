#include "app/MainDialog.h"
#include "app/AboutDialog.h"
#include "app/SendFilesDialog.h"
#include "chat/ChatDialog.h"
#include "chat/ChatRequestDialog.h"
#include "chat/DeclineDialog.h"
#include "chat/DeclinedDialog.h"
#include "chat/SendChatRequestDialog.h"
#include "framework/MessageBox.h"
#include "net/ReceiveMessageDialog.h"
#include "net/SendMessageDialog.h"
#include "tests/support/Windows.h"
#include "transfer/FileProgressDialog.h"
#include "transfer/FileProtocol.h"
#include "transfer/FileRequestDialog.h"
#include "transfer/SendFileRequestDialog.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QKeySequence>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>

namespace {
// The main window's list and buttons, without its sockets.
class MainDialogTest : public ::testing::Test
{
protected:
    void TearDown() override { CDialog::DestroyAllWindows(); }

    QComboBox* List() { return window.findChild<QComboBox*>("peerList"); }
    QPushButton* Button(const char* name) { return window.findChild<QPushButton*>(name); }
    QStringList Shown()
    {
        QStringList items;
        for (int i = 0; i < List()->count(); ++i) {
            items << List()->itemText(i);
        }
        return items;
    }
    QString Selected() { return List()->currentIndex() < 0 ? QString() : List()->currentText(); }
    std::vector<std::pair<CString, CString>> Peers()
    {
        std::vector<std::pair<CString, CString>> peers;
        for (const auto& peer : window.GetPeers()) {
            peers.emplace_back(peer->GetName(), peer->GetAddress());
        }
        return peers;
    }
    // Message, Chat, File and Announce, as enabled (1) or not (0).
    std::string Buttons()
    {
        std::string states;
        for (const char* name : {"messageButton", "chatButton", "fileButton", "announceButton"}) {
            states += Button(name)->isEnabled() ? '1' : '0';
        }
        return states;
    }

    CMainDialog window;
};
} // namespace

TEST_F(MainDialogTest, StartsEmptyWithEveryButtonDisabled)
{
    EXPECT_EQ(window.windowTitle(), "Quorvane");
    EXPECT_FALSE(List()->isEditable());
    EXPECT_EQ(List()->count(), 0);
    EXPECT_EQ(Buttons(), "0000");
    EXPECT_TRUE(Button("messageButton")->isDefault());
}

TEST_F(MainDialogTest, ListShowsSortedIgnoringCaseWhilePeersKeepArrivalOrder)
{
    window.AddPeer("zed (PC1)", "10.0.0.1");
    window.AddPeer("Anna (PC2)", "10.0.0.2");
    window.AddPeer("bob (PC3)", "10.0.0.3");
    EXPECT_EQ(Shown(), (QStringList {"Anna (PC2)", "bob (PC3)", "zed (PC1)"}));
    EXPECT_EQ(Peers()[0].first, "zed (PC1)");
    EXPECT_EQ(Peers()[2].first, "bob (PC3)");
    EXPECT_EQ(Selected(), "bob (PC3)") << "the latest arrival is selected";
    EXPECT_EQ(Buttons(), "1111");
}

TEST_F(MainDialogTest, DuplicateIsListedTwiceAndOneLeaveRemovesTheFirstOnly)
{
    window.AddPeer("bob (PC2)", "10.0.0.2");
    window.AddPeer("bob (PC2)", "10.0.0.9");
    EXPECT_EQ(Shown(), (QStringList {"bob (PC2)", "bob (PC2)"}));
    window.RemovePeer("bob (PC2)");
    EXPECT_EQ(Shown(), (QStringList {"bob (PC2)"}));
    ASSERT_EQ(Peers().size(), 1u);
    EXPECT_EQ(Peers()[0].second, "10.0.0.9");
}

TEST_F(MainDialogTest, SelectedPeerLeavingLeavesNoSelectionAndDisablesItsCommands)
{
    window.AddPeer("anna (PC1)", "10.0.0.1");
    window.AddPeer("bob (PC2)", "10.0.0.2");
    QTemporaryDir files;
    ASSERT_TRUE(files.isValid());
    const CString file = files.filePath("a.txt").toStdString();
    QFile(QString::fromStdString(file)).open(QIODevice::WriteOnly);
    // Files that cannot go are refused before any peer is chosen: a file manager offers folders.
    std::vector<CString> told;
    SetMessageBoxHandler([&](const MessageBoxRequest& request) {
        told.push_back(request.text);
        return IDOK;
    });
    window.OpenSendFiles({file, files.path().toStdString()});
    SetMessageBoxHandler({});
    EXPECT_EQ(told, std::vector<CString> {DescribeFileError(files.path().toStdString(), EISDIR)});
    EXPECT_TRUE(OpenWindowsOf<CSendFilesDialog>().empty());
    // "Send Files" shows the same list, and a choice that leaves must not pass to a neighbour.
    window.OpenSendFiles({file});
    ASSERT_EQ(OpenWindowsOf<CSendFilesDialog>().size(), 1u);
    CSendFilesDialog* sendFiles = OpenWindowsOf<CSendFilesDialog>().front();
    auto* choice = sendFiles->findChild<QComboBox*>("peerList");
    EXPECT_EQ(choice->currentText(), "bob (PC2)");
    EXPECT_TRUE(sendFiles->findChild<QPushButton*>("sendButton")->isEnabled());
    window.RemovePeer("bob (PC2)");
    EXPECT_EQ(Selected(), "");
    EXPECT_EQ(Buttons(), "0001");
    EXPECT_EQ(choice->currentIndex(), -1);
    EXPECT_EQ(choice->count(), 1);
    EXPECT_FALSE(sendFiles->findChild<QPushButton*>("sendButton")->isEnabled());

    window.RemovePeer("anna (PC1)");
    EXPECT_EQ(Buttons(), "0000");
    // Nor does the first to arrive in the emptied list become the choice by itself.
    window.AddPeer("carl (PC3)", "10.0.0.3");
    EXPECT_EQ(choice->currentIndex(), -1);
    EXPECT_FALSE(sendFiles->findChild<QPushButton*>("sendButton")->isEnabled());
}

TEST_F(MainDialogTest, UnselectedPeerLeavingKeepsTheSelection)
{
    window.AddPeer("anna (PC1)", "10.0.0.1");
    window.AddPeer("bob (PC2)", "10.0.0.2");
    window.RemovePeer("anna (PC1)");
    EXPECT_EQ(Selected(), "bob (PC2)");
    EXPECT_EQ(Buttons(), "1111");
}

TEST_F(MainDialogTest, RemovalComparesExactlyButTheListIgnoresCase)
{
    window.AddPeer("Bob (PC2)", "10.0.0.2");
    window.RemovePeer("bob (PC2)");
    EXPECT_EQ(Peers().size(), 1u) << "no exact match: nothing changes";
    window.AddPeer("bob (PC2)", "10.0.0.3");
    window.RemovePeer("bob (PC2)");
    ASSERT_EQ(Peers().size(), 1u);
    EXPECT_EQ(Peers()[0].first, "Bob (PC2)");
    EXPECT_EQ(Shown(), QStringList {"Bob (PC2)"}) << "the line of the peer that left goes";
}

// A name in another 8-bit encoding is shown as best it can be, and addressed by its own bytes.
TEST_F(MainDialogTest, NamesThatAreNotUtf8KeepTheirBytes)
{
    const CString name = "Ren\xE9 (PC1)";
    window.AddPeer(name, "10.0.0.1");
    Button("messageButton")->click();
    const auto windows = OpenWindowsOf<CSendMessageDialog>();
    ASSERT_EQ(windows.size(), 1u);
    EXPECT_EQ(windows[0]->m_strPeer, name);
    window.RemovePeer(name);
    EXPECT_EQ(List()->count(), 0);
}

TEST_F(MainDialogTest, LookupsAreExactAndFirstMatch)
{
    window.AddPeer("bob (PC2)", "10.0.0.2");
    window.AddPeer("bob (PC2)", "10.0.0.9");
    EXPECT_EQ(window.FindAddressByName("bob (PC2)"), "10.0.0.2");
    EXPECT_EQ(window.FindAddressByName("BOB (PC2)"), "");
    EXPECT_EQ(window.FindNameByAddress("10.0.0.9"), "bob (PC2)");
    EXPECT_EQ(window.FindNameByAddress("10.0.0.1"), "");
    // After a leave the next in arrival order answers, also for an address it shares.
    window.AddPeer("ann (PC1)", "10.0.0.2");
    window.RemovePeer("bob (PC2)");
    window.AddPeer("bob (PC2)", "10.0.0.5");
    EXPECT_EQ(window.FindAddressByName("bob (PC2)"), "10.0.0.9");
    EXPECT_EQ(window.FindNameByAddress("10.0.0.2"), "ann (PC1)");
    // A pair is listed while an entry holds both halves together.
    EXPECT_FALSE(window.IsListed("bob (PC2)", "10.0.0.2"));
    EXPECT_TRUE(window.IsListed("bob (PC2)", "10.0.0.9"));
    EXPECT_FALSE(window.IsListed("ann (PC1)", "10.0.0.9"));
    EXPECT_EQ(Shown(), (QStringList {"ann (PC1)", "bob (PC2)", "bob (PC2)"}));
    EXPECT_EQ(Selected(), "bob (PC2)");
}

TEST_F(MainDialogTest, UserSelectionAppliesTheButtonRule)
{
    window.AddPeer("anna (PC1)", "10.0.0.1");
    window.AddPeer("bob (PC2)", "10.0.0.2");
    List()->setCurrentIndex(-1);
    emit List()->activated(-1);
    EXPECT_EQ(Buttons(), "0001");
    List()->setCurrentIndex(0);
    emit List()->activated(0);
    EXPECT_EQ(Buttons(), "1111");
}

TEST_F(MainDialogTest, MessageAndAnnounceOpenSendWindowsWithTheirHeaders)
{
    window.AddPeer("anna (PC1)", "10.0.0.1");
    Button("messageButton")->click();
    Button("announceButton")->click();
    auto windows = OpenWindowsOf<CSendMessageDialog>();
    ASSERT_EQ(windows.size(), 2u);
    QStringList headers {LabelText(windows[0], "headerLabel"), LabelText(windows[1], "headerLabel")};
    headers.sort();
    EXPECT_EQ(headers, (QStringList {"Announce", "Send Message To anna (PC1)"}));
    for (auto* sendWindow : windows) {
        EXPECT_EQ(sendWindow->m_strPeer, sendWindow->m_strHeader == "Announce" ? "" : "anna (PC1)");
    }
}

TEST_F(MainDialogTest, AboutBoxShowsTheVersionAndOkClosesIt)
{
    QString title;
    QString version;
    QTimer::singleShot(0, [&] {
        QWidget* about = QApplication::activeModalWidget();
        ASSERT_NE(about, nullptr);
        title = about->windowTitle();
        version = LabelText(about, "versionLabel");
        about->findChild<QPushButton*>("okButton")->click();
    });
    window.OnSysCommand(CMainDialog::IDM_ABOUTBOX + 3); // the low four bits do not count
    EXPECT_EQ(title, "About Quorvane");
    EXPECT_EQ(version, "Quorvane Version 1.21");
}

namespace {
// What a keyboard and screen reader user needs of a shown window: a mnemonic on every button and
// caption, none twice; a Tab order that follows the layout (rows from the top, each from the
// left); a name for every control that takes focus; read-only texts among them. A window that a
// peer opens never takes focus and is an alert.
void ExpectUsableWithoutMouse(CDialog* window, bool openedByPeer)
{
    SCOPED_TRACE(window->windowTitle().toStdString());
    std::set<QKeySequence> keys;
    const auto expectMnemonic = [&](const QString& text) {
        const QKeySequence key = QKeySequence::mnemonic(text);
        EXPECT_FALSE(key.isEmpty()) << "no mnemonic: " << text.toStdString();
        EXPECT_TRUE(key.isEmpty() || keys.insert(key).second)
            << "mnemonic taken twice: " << text.toStdString();
    };
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
        expectMnemonic(button->text());
    }
    for (QLabel* label : window->findChildren<QLabel*>()) {
        // Labels without a buddy show texts from the network, where & is just a character.
        if (label->buddy()) {
            expectMnemonic(label->text());
        }
    }

    std::vector<QWidget*> chain;
    for (QWidget* widget = window->nextInFocusChain(); widget != window;
         widget = widget->nextInFocusChain()) {
        if (widget->isVisibleTo(window) && widget->isEnabled() && (widget->focusPolicy() & Qt::TabFocus)) {
            chain.push_back(widget);
        }
    }
    for (size_t i = 1; i < chain.size(); ++i) {
        const QRect before(chain[i - 1]->mapTo(window, QPoint()), chain[i - 1]->size());
        const QRect after(chain[i]->mapTo(window, QPoint()), chain[i]->size());
        const bool sameRow = std::abs(before.center().y() - after.center().y())
            < std::min(before.height(), after.height()) / 2 + 1;
        EXPECT_TRUE(sameRow ? before.x() < after.x() : before.center().y() < after.center().y())
            << chain[i - 1]->objectName().toStdString() << " before " << chain[i]->objectName().toStdString();
    }
    for (QWidget* control : chain) {
        EXPECT_FALSE(QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty())
            << "no name: " << control->objectName().toStdString();
    }
    for (QPlainTextEdit* edit : window->findChildren<QPlainTextEdit*>()) {
        EXPECT_NE(std::find(chain.begin(), chain.end(), edit), chain.end())
            << "out of the Tab order: " << edit->objectName().toStdString();
    }

    QAccessibleInterface* described = QAccessible::queryAccessibleInterface(window);
    EXPECT_EQ(described->text(QAccessible::Name), window->windowTitle());
    EXPECT_EQ(described->role() == QAccessible::AlertMessage, openedByPeer);
    EXPECT_EQ(window->testAttribute(Qt::WA_ShowWithoutActivating), openedByPeer);
    // The typeface is the layouts' own, its size the user's.
    EXPECT_EQ(window->font().pointSizeF(), QApplication::font().pointSizeF());
}
} // namespace

TEST_F(MainDialogTest, EveryWindowIsUsableWithoutAMouseAtTheUsersFontSize)
{
    const QFont original = QApplication::font();
    QFont large = original;
    large.setPointSize(14);
    QApplication::setFont(large);
    // A running application tells its windows itself; this one has not been started.
    QEvent fontChange(QEvent::ApplicationFontChange);
    QApplication::sendEvent(&window, &fontChange);
    ASSERT_TRUE(window.AddPeer("bob (hostB)", "10.0.0.2"));
    window.show();
    ExpectUsableWithoutMouse(&window, false);
    EXPECT_EQ(QAccessible::queryAccessibleInterface(List())->text(QAccessible::Name), "Peers")
        << "named after the selected peer";

    CAboutDialog about;
    about.show();
    ExpectUsableWithoutMouse(&about, false);
    const std::vector<std::pair<CDialog*, bool>> windows = {
        {new CSendMessageDialog, false},
        {new CReceiveMessageDialog, true},
        {new CSendChatRequestDialog, false},
        {new CChatRequestDialog(nullptr), true},
        {new CChatDialog, false},
        {new CChatDialog(CDialog::Opener::Peer), true},
        {new CDeclineDialog, false},
        {new CDeclinedDialog, true},
        {new CSendFileRequestDialog, false},
        {new CFileRequestDialog(nullptr), true},
        {new CFileProgressDialog, false},
        {new CFileProgressDialog(CDialog::Opener::Peer), true},
        {new CSendFilesDialog(List()->model(), 0, {"/tmp/a.txt"}), false},
    };
    for (const auto& [opened, byPeer] : windows) {
        opened->Create();
        ExpectUsableWithoutMouse(opened, byPeer);
    }
    QApplication::setFont(original);
}
