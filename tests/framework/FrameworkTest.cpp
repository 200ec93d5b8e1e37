#include "framework/Dialog.h"
#include "framework/DroppedFiles.h"
#include "framework/MessageBox.h"
#include "framework/TextLimit.h"
#include "net/WindowQuota.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <gtest/gtest.h>

namespace {
constexpr int IDABORT_FOR_TEST = 3;

void ReleaseClosedWindows()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// A window with a label and a text box, bound to two members.
class CProbeDialog : public CDialog
{
public:
    CProbeDialog()
    {
        auto* layout = new QVBoxLayout(this);
        layout->addWidget(m_pLabel);
        layout->addWidget(m_pEdit);
    }

    CString m_strLabel;
    CString m_strText;
    int m_nCancels = 0;
    int m_nDestroys = 0;
    QLabel* m_pLabel = new QLabel;
    QPlainTextEdit* m_pEdit = new QPlainTextEdit;

protected:
    void DoDataExchange(bool bSave) override
    {
        DDX_Text(bSave, m_pLabel, m_strLabel);
        DDX_Text(bSave, m_pEdit, m_strText);
    }
    void OnCancel() override
    {
        ++m_nCancels;
        CDialog::OnCancel();
    }
    void OnDestroy() override { ++m_nDestroys; }
};
} // namespace

TEST(MessageBoxTest, ScriptedAnswersSeeTextCaptionStyleAndOwner)
{
    std::vector<MessageBoxRequest> asked;
    SetMessageBoxHandler([&](const MessageBoxRequest& request) {
        asked.push_back(request);
        return IDNO;
    });
    CProbeDialog owner;
    EXPECT_EQ(owner.MessageBox("Are you sure?", "Close", MB_YESNO), IDNO);
    EXPECT_EQ(AfxMessageBox("Windows sockets initialization failed.", MB_OK | MB_ICONWARNING), IDNO);
    SetMessageBoxHandler({});

    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].text, "Are you sure?");
    EXPECT_EQ(asked[0].caption, "Close");
    EXPECT_EQ(asked[0].owner, &owner);
    EXPECT_EQ(asked[1].caption, QCoreApplication::applicationName().toStdString());
    EXPECT_EQ(asked[1].style, unsigned(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(asked[1].owner, nullptr);
}

TEST(MessageBoxTest, RealBoxShowsMarkupAsPlainTextAndAnswersYes)
{
    QString shownText;
    Qt::TextFormat format = Qt::RichText;
    QString title;
    QMessageBox::Icon icon = QMessageBox::Warning;
    QTimer::singleShot(0, [&] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                shownText = box->text();
                format = box->textFormat();
                title = box->windowTitle();
                icon = box->icon();
                box->button(QMessageBox::Yes)->click();
            }
        }
    });
    MessageBoxRequest request;
    request.text = "<img src=x>";
    request.caption = "Stop";
    request.style = MB_YESNO | MB_ICONQUESTION;
    EXPECT_EQ(ShowMessageBox(request), IDYES);
    EXPECT_EQ(shownText, "<img src=x>");
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(title, "Stop");
    EXPECT_EQ(icon, QMessageBox::Question);
}

TEST(WindowQuotaTest, BoundsEachSourceAndAllTogetherAndTakesBackOnRelease)
{
    CWindowQuota quota(2, 3);
    auto a1 = quota.TryAcquire("10.0.0.1");
    auto a2 = quota.TryAcquire("10.0.0.1");
    EXPECT_TRUE(a1 && a2);
    EXPECT_FALSE(quota.TryAcquire("10.0.0.1")) << "a third from one source";
    auto b1 = quota.TryAcquire("10.0.0.2");
    EXPECT_TRUE(b1);
    EXPECT_FALSE(quota.TryAcquire("10.0.0.3")) << "beyond the total";
    EXPECT_EQ(quota.GetCount(), 3u);

    CWindowQuota::CSlot moved = std::move(a1);
    EXPECT_FALSE(a1);
    EXPECT_EQ(quota.GetCount("10.0.0.1"), 2u) << "a moved slot is held once";
    moved.Release();
    moved.Release();
    EXPECT_EQ(quota.GetCount("10.0.0.1"), 1u);
    {
        const auto c1 = quota.TryAcquire("10.0.0.3");
        EXPECT_TRUE(c1);
    }
    EXPECT_EQ(quota.GetCount("10.0.0.3"), 0u) << "given back when destroyed";
    a2 = quota.TryAcquire("10.0.0.1");
    EXPECT_EQ(quota.GetCount(), 2u) << "the overwritten slot was given back";
}

// A peer that cancels request after request on its own must neither pile up boxes nor hide
// anything else: equal notices become one box that counts them, only so many are open, each
// counts among the windows of its source, and none waits or blocks another window.
TEST(MessageBoxTest, CancelNoticesAreMergedCappedAndCounted)
{
    const size_t before = NetworkWindows().GetCount();
    for (int i = 0; i < 1000; ++i) {
        ShowNetworkNotice(
            "Request Cancelled By peer " + std::to_string(i % 40), "10.0.1." + std::to_string(i % 40));
    }
    std::vector<QMessageBox*> notices;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
            notices.push_back(box);
        }
    }
    ASSERT_EQ(notices.size(), size_t(MAX_OPEN_NOTICES));
    EXPECT_EQ(NetworkWindows().GetCount(), before + MAX_OPEN_NOTICES);
    for (QMessageBox* box : notices) {
        EXPECT_EQ(box->windowModality(), Qt::NonModal);
        EXPECT_TRUE(box->text().startsWith("Request Cancelled By peer "));
        EXPECT_EQ(box->informativeText(), "Repeated 25 times") << box->text().toStdString();
    }
    notices.front()->button(QMessageBox::Ok)->click();
    EXPECT_EQ(NetworkWindows().GetCount(), before + MAX_OPEN_NOTICES - 1)
        << "a closed notice frees its place";
    ShowNetworkNotice("Request Cancelled By peer 39", "10.0.1.39");
    EXPECT_EQ(NetworkWindows().GetCount(), before + MAX_OPEN_NOTICES);
    for (QMessageBox* box : notices) {
        box->close();
    }
    ReleaseClosedWindows();
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget)) {
            box->close();
        }
    }
    ReleaseClosedWindows();
    EXPECT_EQ(NetworkWindows().GetCount(), before);
}

TEST(DialogTest, LabelsShowMarkupAsPlainTextAndLongTextsKeepTheWindowOnScreen)
{
    QPointer<CProbeDialog> dialog = new CProbeDialog;
    dialog->m_strLabel = "<b>bold</b>";
    dialog->Create();
    EXPECT_EQ(dialog->m_pLabel->textFormat(), Qt::PlainText);
    EXPECT_EQ(dialog->m_pLabel->text(), "<b>bold</b>");
    dialog->DestroyWindow();

    // A 2000-byte identity, once in one line and once in many, in a window of fixed size.
    for (const CString& text : {CString(2000, 'W'), [] {
                                    CString lines;
                                    while (lines.size() < 2000) {
                                        lines += "a\r\n";
                                    }
                                    return lines;
                                }()}) {
        dialog = new CProbeDialog;
        dialog->layout()->setSizeConstraint(QLayout::SetFixedSize);
        dialog->m_strLabel = text;
        dialog->Create();
        QCoreApplication::processEvents();
        EXPECT_LT(dialog->width(), 600);
        EXPECT_LT(dialog->height(), 600);
        dialog->DestroyWindow();
    }
    ReleaseClosedWindows();
}

TEST(DialogTest, ModelessWindowIsReleasedOnceDestroyedAndOnlyOnce)
{
    QPointer<CProbeDialog> dialog = new CProbeDialog;
    dialog->Create();
    EXPECT_TRUE(dialog->isVisible());
    dialog->DestroyWindow();
    dialog->DestroyWindow();
    ASSERT_TRUE(dialog);
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(dialog->m_nDestroys, 1);
    ReleaseClosedWindows();
    EXPECT_FALSE(dialog);
}

TEST(DialogTest, EscapeAndCloseBoxReachOnCancelWhichDestroysAModelessWindow)
{
    QPointer<CProbeDialog> dialog = new CProbeDialog;
    dialog->Create();
    dialog->close();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->m_nCancels, 1);
    EXPECT_FALSE(dialog->isVisible());
    ReleaseClosedWindows();
    EXPECT_FALSE(dialog);
}

TEST(DialogTest, WindowsStillOpenAreDestroyedWithTheRun)
{
    QPointer<CProbeDialog> first = new CProbeDialog;
    QPointer<CProbeDialog> second = new CProbeDialog;
    first->Create();
    second->Create();
    CDialog::DestroyAllWindows();
    EXPECT_FALSE(first);
    EXPECT_FALSE(second);
}

TEST(DialogTest, ModalRunEndsWithTheCodeGivenAndInitialisesControls)
{
    CProbeDialog dialog;
    dialog.m_strText = "line one\r\nline two";
    QString shown;
    QTimer::singleShot(0, [&] {
        shown = dialog.m_pEdit->toPlainText();
        dialog.EndDialog(IDOK);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(shown, "line one\nline two");
    EXPECT_EQ(dialog.m_nDestroys, 1);
}

TEST(DialogTest, ModalRunSurvivesHidingAndLeavesOtherWindowsUsable)
{
    CProbeDialog dialog;
    QPointer<CProbeDialog> other = new CProbeDialog;
    other->Create();
    bool blocked = true;
    QTimer::singleShot(0, [&] {
        dialog.hide();
        blocked = QApplication::activeModalWidget() != nullptr;
        QTimer::singleShot(50, [&] { dialog.EndDialog(IDCANCEL); });
    });
    QTimer::singleShot(5000, [&] { dialog.EndDialog(IDABORT_FOR_TEST); });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL) << "hiding must not end the run";
    EXPECT_FALSE(blocked);
    CDialog::DestroyAllWindows();
}

TEST(DialogTest, TextBoxLineBreaksTravelAsCrLf)
{
    CProbeDialog dialog;
    dialog.m_pEdit->setPlainText("a\nb\n");
    dialog.UpdateData(true);
    EXPECT_EQ(dialog.m_strText, "a\r\nb\r\n");
}

TEST(TextLimitTest, TypingAndPastingStopAtTheByteLimitWithoutSplittingACharacter)
{
    // To a peer that writes UTF-8, "é" takes two bytes; in the code page, one.
    WireSpeech speech = WireSpeech::Utf8;
    QPlainTextEdit edit;
    LimitTextBytes(&edit, 10, [&speech] { return speech; });
    edit.insertPlainText("12345678");
    edit.insertPlainText(QString::fromUtf8("\xC3\xA9\xC3\xA9"));
    EXPECT_EQ(edit.toPlainText(), QString::fromUtf8("12345678\xC3\xA9"));
    edit.insertPlainText("x");
    EXPECT_EQ(WireByteCount(edit.toPlainText(), speech), 10);

    edit.clear();
    edit.insertPlainText(QString(3000, QLatin1Char('a')));
    EXPECT_EQ(edit.toPlainText().size(), 10);

    speech = WireSpeech::CodePage;
    const int codePage = WireCodePage();
    SetWireCodePage(1252);
    edit.clear();
    edit.insertPlainText(QString::fromUtf8("12345678\xC3\xA9\xC3\xA9\xC3\xA9"));
    EXPECT_EQ(edit.toPlainText(), QString::fromUtf8("12345678\xC3\xA9\xC3\xA9"));
    SetWireCodePage(codePage);
}

TEST(TextLimitTest, LineBreakCountsAsTheTwoBytesItTakesOnTheWire)
{
    QPlainTextEdit edit;
    LimitTextBytes(&edit, 4);
    edit.insertPlainText("ab\ncd");
    EXPECT_EQ(edit.toPlainText(), "ab\n");
}

TEST(DroppedFilesTest, OnlyAddressesThatNameALocalFileExactlyAreTaken)
{
    const auto filesOf = [](const QByteArray& list) {
        QMimeData data;
        data.setData("text/uri-list", list);
        return LocalFilesOf(&data);
    };
    // Comments are skipped, the host may be this one, and a name that is not UTF-8 stays bytes.
    EXPECT_EQ(filesOf("# from a file manager\r\nfile:///tmp/a%20b\r\nfile://localhost/tmp/x%FF\r\n"),
        (std::vector<CString> {"/tmp/a b", "/tmp/x\xff"}));
    for (const char* other : {"file:///tmp/report#1.txt", "file:///tmp/a?b.txt", "file:///tmp/a%2Fb",
             "file://server/tmp/a", "https://example.org/a", "file:///tmp/a%00b"}) {
        EXPECT_FALSE(filesOf("file:///tmp/ok\r\n" + QByteArray(other))) << other;
    }
}
