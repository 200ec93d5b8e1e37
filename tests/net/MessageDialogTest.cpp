#include "app/MainDialog.h"
#include "framework/Alert.h"
#include "net/ReceiveMessageDialog.h"
#include "net/SendMessageDialog.h"
#include "tests/support/FakeMainWindow.h"
#include "tests/support/Wait.h"
#include "tests/support/Windows.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QWindow>
#include <gtest/gtest.h>

#include <set>

namespace {
class MessageDialogTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        CDialog::DestroyAllWindows();
        SetAlertSound({});
    }

    QPushButton* Button(QWidget* window, const char* name) { return window->findChild<QPushButton*>(name); }
    QPlainTextEdit* Text(QWidget* window) { return window->findChild<QPlainTextEdit*>("messageEdit"); }
    // The frame of every other window: a task-bar entry, minimise and close boxes, no owner.
    static void ExpectOwnFrame(QWidget* window)
    {
        EXPECT_EQ(window->windowType(), Qt::Window);
        EXPECT_TRUE(
            window->windowFlags().testFlags(Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint));
        EXPECT_EQ(window->parentWidget(), nullptr);
        ASSERT_NE(window->windowHandle(), nullptr);
        EXPECT_EQ(window->windowHandle()->transientParent(), nullptr);
    }
};
} // namespace

TEST_F(MessageDialogTest, EveryMessageOpensItsOwnWindowAfterTheAlertSound)
{
    std::vector<std::string> events;
    SetAlertSound([&] {
        events.push_back("beep with " + std::to_string(OpenWindowsOf<CReceiveMessageDialog>().size()));
    });
    CMainDialog mainWindow;
    mainWindow.ShowReceivedMessage("bob (PC2)", "first", "10.77.0.2");
    mainWindow.ShowReceivedMessage("", "second\r\nline", "10.77.0.3");

    EXPECT_EQ(events, (std::vector<std::string> {"beep with 0", "beep with 1"}));
    const auto windows = OpenWindowsOf<CReceiveMessageDialog>();
    ASSERT_EQ(windows.size(), 2u);
    std::set<std::string> shown;
    for (auto* window : windows) {
        EXPECT_EQ(window->windowTitle(), "Receive Message");
        ExpectOwnFrame(window);
        EXPECT_TRUE(Text(window)->isReadOnly());
        shown.insert((LabelText(window, "headerLabel") + "|" + Text(window)->toPlainText()).toStdString());
    }
    EXPECT_EQ(shown,
        (std::set<std::string> {
            "Received Message From |second\nline", "Received Message From bob (PC2)|first"}));

    // One host keeps at most ten open; beyond them its messages go without a sound, and a closed
    // window gives its place back.
    events.clear();
    for (int i = 0; i < 12; ++i) {
        mainWindow.ShowReceivedMessage("", "again", "10.77.0.9");
    }
    EXPECT_EQ(events.size(), 10u);
    EXPECT_EQ(OpenWindowsOf<CReceiveMessageDialog>().size(), 12u);
    for (auto* window : OpenWindowsOf<CReceiveMessageDialog>()) {
        if (window->m_strMessage == "again") {
            Button(window, "closeButton")->click();
            break;
        }
    }
    mainWindow.ShowReceivedMessage("", "again", "10.77.0.9");
    EXPECT_EQ(events.size(), 11u);
    EXPECT_EQ(OpenWindowsOf<CReceiveMessageDialog>().size(), 12u);
}

TEST_F(MessageDialogTest, ReplyClosesTheReceivedMessageAndOpensAReplyToItsSender)
{
    FakeMainWindow mainWindow;
    auto* received = new CReceiveMessageDialog;
    received->m_strPeer = "bob (PC2)";
    received->m_strHeader = "Received Message From bob (PC2)";
    received->Create();
    // The message takes focus so that it can be read, and Enter there still replies.
    auto* message = received->findChild<QPlainTextEdit*>("messageEdit");
    message->setFocus();
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(message, &enter);

    EXPECT_TRUE(OpenWindowsOf<CReceiveMessageDialog>().empty());
    const auto replies = OpenWindowsOf<CSendMessageDialog>();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0]->windowTitle(), "Send Message");
    ExpectOwnFrame(replies[0]);
    EXPECT_EQ(LabelText(replies[0], "headerLabel"), "Reply Message To bob (PC2)");

    // A reply to a sender who was not listed goes to everybody.
    Text(replies[0])->setPlainText("thanks");
    Button(replies[0], "sendButton")->click();
    ASSERT_EQ(mainWindow.sent.size(), 1u);
    EXPECT_EQ(mainWindow.sent[0], std::make_pair(CString("bob (PC2)"), CString("thanks")));
    EXPECT_TRUE(OpenWindowsOf<CSendMessageDialog>().empty());
}

TEST_F(MessageDialogTest, SendPassesAddresseeAndTextEvenWhenEmptyAndCancelSendsNothing)
{
    FakeMainWindow mainWindow;
    auto* empty = new CSendMessageDialog;
    empty->Create();
    Button(empty, "sendButton")->click();
    ASSERT_EQ(mainWindow.sent.size(), 1u);
    EXPECT_EQ(mainWindow.sent[0], std::make_pair(CString(), CString()));

    auto* cancelled = new CSendMessageDialog;
    cancelled->m_strPeer = "bob (PC2)";
    cancelled->Create();
    Text(cancelled)->setPlainText("never sent");
    Button(cancelled, "cancelButton")->click();
    EXPECT_EQ(mainWindow.sent.size(), 1u);
    EXPECT_TRUE(OpenWindowsOf<CSendMessageDialog>().empty());
}

TEST_F(MessageDialogTest, MessageBoxStopsAt2000BytesAndLineBreaksGoAsCrLf)
{
    FakeMainWindow mainWindow;
    auto* window = new CSendMessageDialog;
    window->Create();
    Text(window)->insertPlainText(QString(1998, QLatin1Char('a')) + "\nmore");
    Button(window, "sendButton")->click();
    ASSERT_EQ(mainWindow.sent.size(), 1u);
    EXPECT_EQ(mainWindow.sent[0].second, std::string(1998, 'a') + "\r\n");
}

TEST_F(MessageDialogTest, WindowsReleaseThemselvesOnceClosed)
{
    QPointer<CReceiveMessageDialog> window = new CReceiveMessageDialog;
    window->Create();
    window->close();
    WaitFor([&] { return window.isNull(); }, 1000);
    EXPECT_TRUE(window.isNull());
}
