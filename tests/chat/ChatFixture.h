#pragma once

#include "chat/ChatDialog.h"
#include "chat/ChatListenSocket.h"
#include "chat/ChatRequestDialog.h"
#include "chat/ChatWindowFactory.h"
#include "chat/ChatWindows.h"
#include "framework/Alert.h"
#include "framework/MessageBox.h"
#include "tests/chat/ChatPeer.h"
#include "tests/support/FakeMainWindow.h"
#include "tests/support/Lan.h"
#include "tests/support/Wait.h"
#include "tests/support/Windows.h"

#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace chattest {

constexpr const char* BOB = "bob (hostB)";
constexpr const char* ALICE = "alice (hostA)";

struct Box
{
    std::string text;
    std::string caption;
    unsigned style = 0;
    bool byPeer = false;
};

// Real chat windows on host 1; message boxes and the alert sound are scripted and recorded.
class ChatTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_LAN(2);
        mainWindow.localName = ALICE;
        mainWindow.added.emplace_back(BOB, lan::Address(2));
        RegisterChatWindows();
        SetAlertSound([this] { ++beeps; });
        SetMessageBoxHandler([this](const MessageBoxRequest& request) {
            boxes.push_back({request.text, request.caption, request.style, request.byPeer});
            if (onBox) {
                onBox();
            }
            if (answers.empty()) {
                return (request.style & MB_YESNO) ? int(IDYES) : int(IDOK);
            }
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        });
    }

    void TearDown() override
    {
        CDialog::DestroyAllWindows();
        Settle(50);
        SetMessageBoxHandler({});
        SetAlertSound({});
        SetChatWindowFactory(nullptr);
    }

    static QPushButton* Button(QWidget* window, const char* name)
    {
        return window->findChild<QPushButton*>(name);
    }
    static QPlainTextEdit* TextBox(QWidget* window, const char* name)
    {
        return window->findChild<QPlainTextEdit*>(name);
    }
    static std::string Text(QWidget* window, const char* name)
    {
        return TextBox(window, name)->toPlainText().toStdString();
    }
    static std::string Label(QWidget* window, const char* name = "headerLabel")
    {
        return LabelText(window, name).toStdString();
    }
    // The caption of a message box that names none.
    static std::string AppName() { return QCoreApplication::applicationName().toStdString(); }
    static void PressEscape(QWidget* window)
    {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(window, &escape);
    }
    static std::string Transcript(QWidget* chat) { return Text(chat, "transcriptEdit"); }
    static void SendLine(QWidget* chat, const QString& line)
    {
        chat->findChild<QLineEdit*>("inputEdit")->setText(line);
        Button(chat, "sendButton")->click();
    }

    template<typename Window> static Window* WaitForWindow(size_t count = 1)
    {
        WaitFor([&] { return OpenWindowsOf<Window>().size() >= count; });
        const auto windows = OpenWindowsOf<Window>();
        return windows.size() == count ? windows.back() : nullptr;
    }

    bool WaitForBoxes(size_t count)
    {
        return WaitFor([&] { return boxes.size() >= count; });
    }

    FakeMainWindow mainWindow;
    int beeps = 0;
    std::vector<Box> boxes;
    std::deque<int> answers;
    std::function<void()> onBox;
};

// The real chat listener on host 1 port 101; requests come from plain sockets on host 2.
class AccepterFixture : public ChatTest
{
protected:
    void SetUp() override
    {
        ChatTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        listener = std::make_unique<CChatListenSocket>();
        ASSERT_TRUE(listener->CreateListener());
        ASSERT_TRUE(listener->Listen(CHAT_LISTEN_BACKLOG));
    }

    void TearDown() override
    {
        ChatTest::TearDown();
        listener.reset();
    }

    // Sends the identity and waits for the receipt.
    RawPeer Introduce(const std::string& identity = BOB)
    {
        RawPeer peer = RawPeer::ConnectFromHost2();
        EXPECT_TRUE(peer.IsOpen());
        peer.Send(identity);
        EXPECT_EQ(peer.Take(2), "OK");
        return peer;
    }

    CChatRequestDialog* Request(RawPeer& peer, const std::string& subject = "lunch?\r\n", size_t count = 1)
    {
        peer.Send(subject);
        return WaitForWindow<CChatRequestDialog>(count);
    }

    std::unique_ptr<CChatListenSocket> listener;
};

} // namespace chattest
