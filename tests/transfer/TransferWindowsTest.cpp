// The file transfer windows over real connections in one process: the sending window on one
// side, the listener with the real File Request window on the other, files on disk, scripted
// file dialogs and message boxes.
#include "transfer/TransferWindows.h"
#include "chat/DeclinedDialog.h"
#include "framework/FileDialog.h"
#include "framework/QtText.h"
#include "tests/support/FakeMainWindow.h"
#include "tests/support/Windows.h"
#include "tests/transfer/TransferTestSupport.h"
#include "transfer/FileProgressDialog.h"
#include "transfer/FileRequestDialog.h"
#include "transfer/SendFileRequestDialog.h"

#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QKeyEvent>
#include <QLocale>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>
#include <filesystem>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <utility>

#include <sys/stat.h>

namespace {

struct Box
{
    std::string text;
    std::string caption;
    unsigned style = 0;
    std::string ownerHeader;
    bool byPeer = false;
};

const char* const SENDER = "tester (testhost)";
const char* const RECEIVER = "bob (PC2)";

class TransferWindowsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_LAN(2);
        main.AddPeer(RECEIVER, lan::Address(1));
        RegisterFileWindows();
        ASSERT_TRUE(listener.CreateListener());
        ASSERT_TRUE(listener.Listen(5));
        SetMessageBoxHandler([this](const MessageBoxRequest& request) {
            boxes.push_back({request.text, request.caption, request.style,
                request.owner ? LabelText(request.owner, "headerLabel").toStdString() : "", request.byPeer});
            if (answers.empty()) {
                return int(IDOK);
            }
            const int answer = answers.front();
            answers.pop_front();
            return answer;
        });
        SetFileDialogHandler([this](FileDialogKind kind) -> std::optional<std::vector<CString>> {
            if (kind == FileDialogKind::OpenFiles) {
                return selection;
            }
            if (whileChoosing) {
                std::exchange(whileChoosing, nullptr)();
            }
            return directory;
        });
    }
    void TearDown() override
    {
        SetMessageBoxHandler({});
        SetFileDialogHandler({});
        SetFileWindowFactory(nullptr);
        CDialog::DestroyAllWindows();
        Settle(50);
        // The files of a stopped transfer are closed before their directory goes.
        EXPECT_TRUE(CFileReceiveWorker::WaitForAll(std::chrono::seconds(5)));
        // QDir cannot remove names that are not UTF-8; the byte-wise removal can.
        std::error_code ignored;
        std::filesystem::remove_all(In(), ignored);
        std::filesystem::remove_all(Out(), ignored);
    }

    std::string In() const { return source.path().toStdString() + "/"; }
    std::string Out() const { return target.path().toStdString() + "/"; }

    // Escape reaches OnCancel, as the close box does.
    static void PressEscape(QWidget* window)
    {
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(window, &escape);
    }
    template<typename Button = QPushButton> static void Click(QWidget* window, const char* name)
    {
        auto* button = window->findChild<Button*>(name);
        ASSERT_NE(button, nullptr) << name;
        button->click();
    }

    // A sending window for the receiver, with these files selected from the source directory.
    CSendFileRequestDialog* Compose(const std::vector<std::pair<std::string, std::string>>& files)
    {
        selection = std::vector<CString>();
        for (const auto& [name, bytes] : files) {
            WriteFile(In() + name, bytes);
            selection->push_back(In() + name);
        }
        auto* window = new CSendFileRequestDialog;
        window->m_strPeer = RECEIVER;
        window->m_strHeader = std::string("Send File Transmission Request To ") + RECEIVER;
        window->Create();
        Click(window, "selectButton");
        return window;
    }
    CFileRequestDialog* WaitForRequest()
    {
        CFileRequestDialog* request = nullptr;
        WaitFor([&] {
            const auto open = OpenWindowsOf<CFileRequestDialog>();
            request = open.empty() ? nullptr : open.front();
            return request != nullptr;
        });
        return request;
    }
    std::vector<std::string> Texts() const
    {
        std::vector<std::string> texts;
        for (const Box& box : boxes) {
            texts.push_back(box.text);
        }
        return texts;
    }

    FakeMainWindow main;
    CFileListenSocket listener;
    QTemporaryDir source;
    QTemporaryDir target;
    std::vector<Box> boxes;
    std::deque<int> answers;
    std::optional<std::vector<CString>> selection;
    std::optional<std::vector<CString>> directory;
    // Runs while the directory is being chosen, as a real dialog's event loop would.
    std::function<void()> whileChoosing;
};

TEST_F(TransferWindowsTest, BatchGoesFromTheSendingWindowIntoTheChosenDirectory)
{
    const std::vector<std::pair<std::string, std::string>> files = {
        {"a.txt", "abc"}, {"README", Pattern(1023, 'r')}, {"empty", ""}, {"big.bin", Pattern(300000, 'B')}};
    CSendFileRequestDialog* sending = Compose(files);
    EXPECT_EQ(LabelText(sending, "fileNameLabel"), "4 Files");
    EXPECT_EQ(LabelText(sending, "fileSizeLabel").toStdString(), FormatSize(301026));
    sending->findChild<QPlainTextEdit*>("descriptionEdit")->setPlainText("two\nlines");
    Click(sending, "sendButton");
    EXPECT_FALSE(sending->findChild<QPushButton*>("selectButton")->isEnabled());

    CFileRequestDialog* request = WaitForRequest();
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(LabelText(request, "headerLabel").toStdString(),
        std::string("Received File Transmission Request From ") + SENDER);
    EXPECT_EQ(LabelText(request, "fileNameLabel"), "4 Files");
    EXPECT_EQ(request->findChild<QPlainTextEdit*>("descriptionEdit")->toPlainText(), "two\nlines\n");

    directory = std::vector<CString> {target.path().toStdString()};
    Click(request, "saveAsButton");
    ASSERT_TRUE(WaitFor([&] { return boxes.size() == 2; }));
    for (const Box& box : boxes) {
        EXPECT_EQ(box.text, "Finished");
        EXPECT_TRUE(box.byPeer) << "the end comes while the user may be typing elsewhere";
    }
    EXPECT_EQ(boxes[0].ownerHeader == "Receiving Files From tester (testhost)"
            || boxes[1].ownerHeader == "Receiving Files From tester (testhost)",
        true);
    EXPECT_EQ(boxes[0].ownerHeader == "Sending Files To bob (PC2)"
            || boxes[1].ownerHeader == "Sending Files To bob (PC2)",
        true);
    for (const auto& [name, bytes] : files) {
        EXPECT_EQ(ReadFile(Out() + name), bytes) << name;
    }
    EXPECT_TRUE(WaitFor([] { return OpenWindowsOf<CFileProgressDialog>().empty(); }));
    Settle(100);
    EXPECT_EQ(boxes.size(), 2u) << "nothing more once both ends finished";
}

TEST_F(TransferWindowsTest, StopOnTheReceivingEndIsReportedOnTheSendingEnd)
{
    const std::string big = In() + "big";
    CSendFileRequestDialog* sending = Compose({{"big", ""}});
    ASSERT_EQ(truncate(big.c_str(), 50'000'000), 0);
    Click(sending, "selectButton");
    Click(sending, "sendButton");
    CFileRequestDialog* request = WaitForRequest();
    ASSERT_NE(request, nullptr);
    directory = std::vector<CString> {Out()};
    Click(request, "saveAsButton");

    CFileProgressDialog* receiving = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        for (CFileProgressDialog* window : OpenWindowsOf<CFileProgressDialog>()) {
            if (window->m_strHeader.starts_with("Receiving")
                && window->findChild<QProgressBar*>("batchBar")->value() > 0) {
                receiving = window;
            }
        }
        return receiving != nullptr;
    }));
    answers = {IDNO};
    PressEscape(receiving);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Are you sure?");
    EXPECT_EQ(boxes[0].caption, "Stop");
    EXPECT_EQ(boxes[0].style, unsigned(MB_YESNO | MB_ICONQUESTION));
    EXPECT_TRUE(receiving->isVisible() && receiving->HasConnection()) << "No leaves the transfer running";

    answers = {IDYES};
    PressEscape(receiving);
    ASSERT_TRUE(WaitFor([&] { return boxes.size() == 3; }));
    EXPECT_EQ(boxes[2].text, std::string(RECEIVER) + " Terminated The Process");
    EXPECT_EQ(boxes[2].ownerHeader, std::string("Sending Files To ") + RECEIVER);
    const auto kept = ReadFile(Out() + "big.incomplete");
    ASSERT_TRUE(kept);
    EXPECT_GT(kept->size(), 0u);
    EXPECT_LT(kept->size(), 50'000'000u);
    EXPECT_TRUE(WaitFor([] { return OpenWindowsOf<CFileProgressDialog>().empty(); }));
}

TEST_F(TransferWindowsTest, DeclineCancelAndDismissReachTheOtherEnd)
{
    // Declined with a reason: the sender shows it in the declined window.
    CSendFileRequestDialog* sending = Compose({{"a", "1"}});
    Click(sending, "sendButton");
    CFileRequestDialog* request = WaitForRequest();
    ASSERT_NE(request, nullptr);
    Click(request, "declineButton");
    QWidget* decline = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible() && widget->objectName() == "DeclineDialog") {
                decline = widget;
            }
        }
        return decline != nullptr;
    }));
    // The reason must come in a read of its own after the decline marker.
    Settle(200);
    decline->findChild<QPlainTextEdit*>("reasonEdit")->setPlainText("not now");
    Click(decline, "sendButton");
    ASSERT_TRUE(WaitFor([] { return OpenWindowsOf<CDeclinedDialog>().size() == 1; }));
    EXPECT_EQ(OpenWindowsOf<CDeclinedDialog>()[0]->findChild<QPlainTextEdit*>("reasonEdit")->toPlainText(),
        "not now");
    EXPECT_TRUE(OpenWindowsOf<CSendFileRequestDialog>().empty());

    // Cancelled by the sender while the request is pending.
    sending = Compose({{"a", "1"}});
    Click(sending, "sendButton");
    ASSERT_NE(WaitForRequest(), nullptr);
    Click(sending, "cancelButton");
    ASSERT_TRUE(WaitFor([&] { return !boxes.empty(); }));
    EXPECT_EQ(Texts(), (std::vector<std::string> {std::string("Request Cancelled By ") + SENDER}));
    EXPECT_TRUE(WaitFor([] { return OpenWindowsOf<CFileRequestDialog>().empty(); }));

    // Cancelled by the sender while the receiver chooses a directory: the request window's object
    // outlives the choice, then goes without accepting anything.
    boxes.clear();
    sending = Compose({{"a", "1"}});
    Click(sending, "sendButton");
    QPointer<CFileRequestDialog> choosing = WaitForRequest();
    ASSERT_TRUE(choosing);
    directory = std::vector<CString> {Out()};
    bool outlived = false;
    whileChoosing = [&] {
        Click(sending, "cancelButton");
        QEventLoop dialogLoop;
        QTimer::singleShot(300, &dialogLoop, &QEventLoop::quit);
        dialogLoop.exec();
        outlived = !choosing.isNull() && !boxes.empty();
    };
    Click(choosing.data(), "saveAsButton");
    EXPECT_TRUE(outlived);
    EXPECT_EQ(Texts(), (std::vector<std::string> {std::string("Request Cancelled By ") + SENDER}));
    EXPECT_TRUE(WaitFor([&] { return choosing.isNull(); }));
    EXPECT_TRUE(OpenWindowsOf<CFileProgressDialog>().empty());
    directory.reset();

    // Dismissed by the receiver: the sender is told and its window closes.
    boxes.clear();
    sending = Compose({{"a", "1"}});
    Click(sending, "sendButton");
    request = WaitForRequest();
    ASSERT_NE(request, nullptr);
    PressEscape(request);
    ASSERT_TRUE(WaitFor([&] { return !boxes.empty(); }));
    EXPECT_EQ(Texts(), (std::vector<std::string> {"Request Declined Without Reason"}));
    EXPECT_TRUE(WaitFor([] { return OpenWindowsOf<CSendFileRequestDialog>().empty(); }));
}

TEST_F(TransferWindowsTest, ChoicesThatCannotBeUsedAreRefused)
{
    CSendFileRequestDialog* sending = Compose({{"huge", ""}, {"half1", ""}, {"half2", ""}});
    boxes.clear();
    ASSERT_EQ(truncate((In() + "huge").c_str(), 4294967296LL), 0);
    ASSERT_EQ(truncate((In() + "half1").c_str(), 2147483648LL), 0);
    ASSERT_EQ(truncate((In() + "half2").c_str(), 2147483648LL), 0);

    selection = std::vector<CString> {In() + "huge"};
    Click(sending, "selectButton");
    selection = std::vector<CString> {In() + "half1", In() + "half2"};
    Click(sending, "selectButton");
    selection = std::vector<CString> {In() + "missing"};
    Click(sending, "selectButton");
    // Files from anywhere (a drop, the command line) are judged the same way.
    WriteFile(Out() + "half1", "");
    EXPECT_FALSE(sending->SelectFiles({In() + "half1", Out() + "half1"}));
    EXPECT_FALSE(sending->SelectFiles({Out()}));
    EXPECT_EQ(Texts(),
        (std::vector<std::string> {In() + "huge is 4 GB or larger; files of that size cannot be sent.",
            "The selected files come to 4 GB or more; a batch of that size cannot be sent.",
            In() + "missing was not found.",
            "More than one of the selected files is named half1; the receiver would save one over the other. "
            "Send them in separate batches.",
            Out() + " is a directory."}));
    EXPECT_EQ(LabelText(sending, "fileNameLabel"), "3 Files") << "the earlier selection stands";
    EXPECT_TRUE(sending->findChild<QPushButton*>("sendButton")->isEnabled());

    // A name that is not UTF-8 comes back from a dialog altered, and what the altered name
    // names (here another file) is never sent nor written to in its place.
    const std::string raw = "caf\xE9";
    const auto altered = [](const std::string& path) { return FromQString(QFile::decodeName(path.c_str())); };
    ASSERT_NE(altered(In() + raw).find("\xEF\xBF\xBD"), CString::npos);
    WriteFile(In() + raw, "latin-1");
    WriteFile(altered(In() + raw), "another file");
    boxes.clear();
    selection = std::vector<CString> {altered(In() + raw)};
    Click(sending, "selectButton");
    EXPECT_EQ(Texts(),
        (std::vector<std::string> {altered(In() + raw)
            + " cannot be used: its name is not valid UTF-8, so the file dialog gives it back altered. "
              "Rename "
              "the file and select it again."}));
    EXPECT_EQ(LabelText(sending, "fileNameLabel"), "3 Files");

    CSendFileRequestDialog* pending = Compose({{"a", "1"}});
    Click(pending, "sendButton");
    CFileRequestDialog* request = WaitForRequest();
    ASSERT_NE(request, nullptr);
    ASSERT_EQ(mkdir((Out() + raw).c_str(), 0700), 0);
    const CString alteredDirectory = altered(Out() + raw) + "/";
    ASSERT_EQ(mkdir(alteredDirectory.c_str(), 0700), 0);
    boxes.clear();
    for (const CString& chosen : {alteredDirectory, Out() + "gone/", In() + "a"}) {
        directory = std::vector<CString> {chosen};
        Click(request, "saveAsButton");
    }
    EXPECT_EQ(Texts(),
        (std::vector<std::string> {alteredDirectory
                + " cannot be used: its name is not valid UTF-8, so the file dialog gives it back altered. "
                  "Rename the directory or choose another one.",
            Out() + "gone/ was not found.", In() + "a/ is not a directory."}));
    EXPECT_TRUE(OpenWindowsOf<CFileProgressDialog>().empty()) << "the request stays pending";
    directory = std::vector<CString> {Out()};
    Click(request, "saveAsButton");
    ASSERT_TRUE(WaitFor([&] { return boxes.size() == 5; }));
    EXPECT_EQ(ReadFile(Out() + "a"), "1");
    EXPECT_FALSE(ReadFile(alteredDirectory + "a"));
}

TEST_F(TransferWindowsTest, ProgressFiguresAreExactAndFinishedShowsOnce)
{
    // A locale with digits of its own shows the percentages in ours all the same.
    QLocale::setDefault(QLocale(QLocale::Arabic, QLocale::Egypt));
    auto* progress = new CFileProgressDialog;
    QLocale::setDefault(QLocale::system());
    progress->m_strPeer = RECEIVER;
    progress->m_strHeader = "Sending Files To bob (PC2)";
    progress->Create();
    auto* fileBar = progress->findChild<QProgressBar*>("fileBar");
    auto* batchBar = progress->findChild<QProgressBar*>("batchBar");
    progress->ShowFile("f", 5000);
    progress->SetBatchTotal(100000000);
    progress->ShowProgress(2000, 50000000);
    EXPECT_EQ(LabelText(progress, "fileNameLabel"), "f");
    EXPECT_EQ(LabelText(progress, "fileProgressLabel"), "2000 / 5000");
    EXPECT_EQ(fileBar->value(), 40);
    EXPECT_EQ(fileBar->text(), "40%");
    EXPECT_EQ(LabelText(progress, "batchProgressLabel"), "50000000 / 100000000");
    EXPECT_EQ(batchBar->value(), 50);
    // Figures that gain digits do not widen the window under the user's eyes.
    Settle(300);
    const QSize size = progress->size();
    progress->ShowProgress(5000, 100000000);
    Settle(300);
    EXPECT_EQ(LabelText(progress, "batchProgressLabel"), "100000000 / 100000000");
    EXPECT_EQ(progress->size(), size);
    progress->ShowFile("empty", 0);
    EXPECT_EQ(fileBar->value(), 100) << "an empty file is complete";
    progress->OnFinished();
    progress->OnFinished();
    progress->OnTerminated();
    EXPECT_EQ(Texts(), (std::vector<std::string> {"Finished"}));
}

// Real boxes: a report about the user's own transfer reaches the user whatever else is open.
TEST_F(TransferWindowsTest, ReportsAreShownWhileAQuestionWaitsAndWhileCancelNoticesFillTheScreen)
{
    SetMessageBoxHandler({});
    auto open = [](const QString& header) {
        auto* progress = new CFileProgressDialog;
        progress->m_strPeer = RECEIVER;
        progress->m_strHeader = header.toStdString();
        progress->Create();
        return QPointer<CFileProgressDialog>(progress);
    };
    auto boxesSaying = [](const QString& text) {
        std::vector<QMessageBox*> found;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget);
                box && box->isVisible() && box->text() == text) {
                found.push_back(box);
            }
        }
        return found;
    };
    const QPointer<CFileProgressDialog> asking = open("Sending Files To one");
    const QPointer<CFileProgressDialog> first = open("Sending Files To two");
    const QPointer<CFileProgressDialog> second = open("Sending Files To three");
    std::vector<QMessageBox*> finished;
    QTimer::singleShot(0, [&] {
        first->OnFinished();
        second->OnFinished();
        finished = boxesSaying("Finished");
        const auto question = boxesSaying("Are you sure?");
        ASSERT_EQ(question.size(), 1u);
        question.front()->button(QMessageBox::No)->click();
    });
    PressEscape(asking);
    ASSERT_EQ(finished.size(), 2u) << "each transfer says Finished, once";
    EXPECT_NE(finished[0]->parentWidget(), finished[1]->parentWidget());
    for (QMessageBox* box : finished) {
        // On top of its own progress window, and modal to none: Qt would activate a modal box.
        EXPECT_EQ(box->windowModality(), Qt::NonModal) << "it blocks no window";
        EXPECT_TRUE(box->testAttribute(Qt::WA_ShowWithoutActivating)) << "it must leave the keys alone";
        box->button(QMessageBox::Ok)->click();
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(!first && !second) << "each window closes once its Finished is dismissed";
    EXPECT_TRUE(asking && asking->isVisible()) << "the transfer the question was about goes on";

    // A host fills the screen with distinct cancel notices; a file error still shows.
    for (int i = 0; i < 40; ++i) {
        ShowNetworkNotice("Request Cancelled By mallory " + std::to_string(i), "10.0.2." + std::to_string(i));
    }
    asking->OnTransferFailed("/in/f: No space left on device");
    const auto error = boxesSaying("/in/f: No space left on device");
    ASSERT_EQ(error.size(), 1u);
    EXPECT_EQ(error.front()->parentWidget(), asking.data());
    error.front()->button(QMessageBox::Ok)->click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(asking);
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget)) {
            box->close();
        }
    }
}

TEST_F(TransferWindowsTest, RealDialogsShowEveryFileAndYieldADirectoryEndingInASeparator)
{
    SetFileDialogHandler({});
    WriteFile(In() + "README", "x");
    QString filter;
    QStringList nameFilters;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        filter = dialog->findChild<QComboBox*>("fileTypeCombo")->currentText();
        nameFilters = dialog->findChild<QFileSystemModel*>()->nameFilters();
        dialog->reject();
    });
    EXPECT_FALSE(SelectFilesToOpen(nullptr));
    EXPECT_EQ(filter, "All Files (*.*)");
    EXPECT_EQ(nameFilters, QStringList {"*"}) << "names without a dot are listed";

    QString caption;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        caption = dialog->windowTitle();
        dialog->setDirectory(source.path());
        dialog->selectFile(source.path());
        QMetaObject::invokeMethod(dialog, "accept");
    });
    const auto chosen = SelectDirectory(nullptr);
    EXPECT_EQ(caption, "Select Directory");
    ASSERT_TRUE(chosen);
    EXPECT_EQ(*chosen, In());
}

TEST_F(TransferWindowsTest, FilesDroppedOnTheDescriptionReplaceTheSelectionAndAreOnlyCopied)
{
    CSendFileRequestDialog* sending = Compose({{"a.txt", "abc"}});
    WriteFile(Out() + "b.txt", "bb");
    QMimeData files;
    files.setData(
        "text/uri-list", QUrl::fromLocalFile(QString::fromStdString(Out() + "b.txt")).toEncoded() + "\r\n");
    files.setText(QString::fromStdString(Out() + "b.txt"));
    QWidget* box = sending->findChild<QPlainTextEdit*>("descriptionEdit")->viewport();
    const QPointF centre = QRectF(box->rect()).center();

    // A file manager proposes a move when Shift is held; the source would then remove the file.
    QDragEnterEvent moveOnly(centre.toPoint(), Qt::MoveAction, &files, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(box, &moveOnly);
    EXPECT_FALSE(moveOnly.isAccepted());
    QDragEnterEvent enter(
        centre.toPoint(), Qt::MoveAction | Qt::CopyAction, &files, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(box, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QDropEvent drop(centre, Qt::MoveAction | Qt::CopyAction, &files, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(box, &drop);
    EXPECT_TRUE(drop.isAccepted());
    EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
    EXPECT_EQ(LabelText(sending, "fileNameLabel"), "b.txt");
    EXPECT_EQ(sending->findChild<QPlainTextEdit*>("descriptionEdit")->toPlainText(), "") << "no path as text";
    EXPECT_EQ(sending->m_paths, std::vector<CString> {Out() + "b.txt"});
}

} // namespace
