#include "framework/DBusMenuExporter.h"
#include "framework/Dialog.h"
#include "framework/DroppedFiles.h"
#include "framework/MessageBox.h"
#include "framework/TextLimit.h"
#include "net/WindowQuota.h"
#include "tests/support/Wait.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusMetaType>
#include <QLabel>
#include <QMenu>
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

TEST(DBusMenuTest, LabelsTakeThePanelsMnemonicsAndTheLayoutTypeNestsItsChildrenAsVariants)
{
    EXPECT_EQ(ToDBusMenuLabel("&Open Quorvane"), "_Open Quorvane");
    EXPECT_EQ(ToDBusMenuLabel("anna_b (PC2)"), "anna__b (PC2)") << "an underscore is no mnemonic";
    EXPECT_EQ(ToDBusMenuLabel("Tom && Jerry"), "Tom & Jerry");
    EXPECT_EQ(ToDBusMenuLabel("&a &b&"), "_a b&") << "one mnemonic; a last '&' stays";

    RegisterDBusMenuTypes();
    EXPECT_STREQ(QDBusMetaType::typeToSignature(QMetaType::fromType<DBusMenuLayoutItem>()), "(ia{sv}av)");
    EXPECT_STREQ(QDBusMetaType::typeToSignature(QMetaType::fromType<DBusMenuItemList>()), "a(ia{sv})");
    EXPECT_STREQ(QDBusMetaType::typeToSignature(QMetaType::fromType<DBusMenuEventList>()), "a(isvu)");
}

TEST(DBusMenuTest, ExportedMenuFollowsItsChangesAndClicksOnlyKnownEnabledItemsAfterTheCall)
{
    QMenu menu;
    QAction* open = menu.addAction("Open Quorvane");
    menu.addSeparator();
    QMenu* message = menu.addMenu("Message");
    QAction* peer = message->addAction("zed (PC1)");
    CDBusMenuExporter exporter(&menu);

    DBusMenuLayoutItem root;
    const uint revision = exporter.GetLayout(0, -1, {}, root);
    ASSERT_EQ(root.children.size(), 3);
    EXPECT_EQ(root.children[1].properties.value("type"), "separator");
    EXPECT_EQ(root.children[2].properties.value("children-display"), "submenu");
    ASSERT_EQ(root.children[2].children.size(), 1);
    const int peerId = root.children[2].children[0].id;
    EXPECT_EQ(exporter.ActionOf(peerId), peer);
    DBusMenuLayoutItem top;
    exporter.GetLayout(0, 1, {"label"}, top);
    EXPECT_TRUE(top.children[2].children.isEmpty()) << "only as deep as asked";
    EXPECT_EQ(top.children[0].properties, (QVariantMap {{"label", "Open Quorvane"}}));

    // Each change reaches the panel once the loop runs again: properties, then the layout.
    DBusMenuItemList updated;
    std::vector<std::pair<uint, int>> layouts;
    QObject::connect(&exporter, &CDBusMenuExporter::ItemsPropertiesUpdated,
        [&](const DBusMenuItemList& items, const DBusMenuItemKeysList&) { updated += items; });
    QObject::connect(&exporter, &CDBusMenuExporter::LayoutUpdated,
        [&](uint newRevision, int parent) { layouts.emplace_back(newRevision, parent); });
    peer->setEnabled(false);
    open->setText("Hide Quorvane");
    message->addAction("anna (PC2)");
    EXPECT_TRUE(updated.isEmpty());
    ASSERT_TRUE(WaitFor([&] { return !layouts.empty(); }, 3000));
    ASSERT_EQ(updated.size(), 2);
    for (const DBusMenuItem& item : updated) {
        EXPECT_EQ(item.properties.value("enabled").toBool(), item.id != peerId);
    }
    EXPECT_EQ(layouts, (std::vector<std::pair<uint, int>> {{revision + 1, root.children[2].id}}));
    peer->setEnabled(true);
    ASSERT_TRUE(WaitFor([&] { return updated.size() == 3; }, 3000));
    EXPECT_TRUE(updated.back().properties.value("enabled").toBool()) << "enabled again is said too";

    int triggered = 0;
    QObject::connect(peer, &QAction::triggered, [&] { ++triggered; });
    exporter.Event(peerId, "clicked", QDBusVariant(0), 0);
    EXPECT_EQ(triggered, 0) << "not inside the panel's call";
    ASSERT_TRUE(WaitFor([&] { return triggered == 1; }, 3000));
    const QList<int> errors = exporter.EventGroup({{peerId + 1000, "clicked", QDBusVariant(0), 0},
        {root.children[2].id, "clicked", QDBusVariant(0), 0}, {peerId, "hovered", QDBusVariant(0), 0}});
    EXPECT_EQ(errors, QList<int> {peerId + 1000});
    Settle(50);
    EXPECT_EQ(triggered, 1) << "a submenu, or an event that is no click, triggers nothing";

    delete message;
    EXPECT_EQ(exporter.ActionOf(peerId), nullptr) << "the ids of items gone are forgotten";
}
