#include "framework/MessageBox.h"

#include "framework/QtText.h"
#include "net/WindowQuota.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>

#include <map>
#include <utility>

namespace {
MessageBoxHandler& Handler()
{
    static MessageBoxHandler handler;
    return handler;
}

void CompleteCaption(MessageBoxRequest& request)
{
    if (request.caption.empty()) {
        request.caption = FromQString(QCoreApplication::applicationName());
    }
}

bool IsYesNo(const MessageBoxRequest& request)
{
    return (request.style & 0xF) == MB_YESNO;
}

QMessageBox* MakeBox(const MessageBoxRequest& request)
{
    auto* box = new QMessageBox(request.owner);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    box->setWindowTitle(ToQString(request.caption));
    box->setText(ToQString(request.text));
    switch (request.style & 0xF0) {
    case MB_ICONWARNING:
        box->setIcon(QMessageBox::Warning);
        break;
    case MB_ICONQUESTION:
        box->setIcon(QMessageBox::Question);
        break;
    default:
        box->setIcon(QMessageBox::NoIcon);
        break;
    }
    if (IsYesNo(request)) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton((request.style & MB_DEFBUTTON2) ? QMessageBox::No : QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    // A box blocks its owner and nothing else: other chats and transfers go on meanwhile. One a
    // peer caused blocks nothing, as Qt activates every modal window it shows; its owner has lost
    // its connection already, so nothing in it can act meanwhile.
    box->setWindowModality(request.owner && !request.byPeer ? Qt::WindowModal : Qt::NonModal);
    if (request.byPeer) {
        box->setAttribute(Qt::WA_ShowWithoutActivating);
    }
    return box;
}

int AnswerOf(QMessageBox* box, bool yesNo)
{
    if (yesNo) {
        return box && box->clickedButton() == box->button(QMessageBox::Yes) ? IDYES : IDNO;
    }
    return IDOK;
}

int RunMessageBox(const MessageBoxRequest& request)
{
    const bool yesNo = IsYesNo(request);
    QPointer<QMessageBox> box = MakeBox(request);
    // A local loop instead of exec(), so that a window-modal box blocks its owner alone.
    int answer = yesNo ? IDNO : IDOK;
    QEventLoop loop;
    QObject::connect(box, &QMessageBox::finished, &loop, [&](int) {
        answer = AnswerOf(box, yesNo);
        loop.quit();
    });
    QObject::connect(box, &QObject::destroyed, &loop, &QEventLoop::quit);
    box->show();
    loop.exec();
    if (box) {
        box->close();
    }
    return answer;
}

// The ownerless notices on screen, by text.
struct OpenNotice
{
    QPointer<QMessageBox> box;
    int nTimes = 1;
    CWindowQuota::CSlot slot;
};
std::map<QString, OpenNotice>& OpenNotices()
{
    static std::map<QString, OpenNotice> notices;
    return notices;
}
} // namespace

int ShowMessageBox(MessageBoxRequest request)
{
    CompleteCaption(request);
    if (Handler()) {
        return Handler()(request);
    }
    return RunMessageBox(request);
}

void ShowMessageBoxAsync(MessageBoxRequest request, MessageBoxDone done)
{
    CompleteCaption(request);
    if (Handler()) {
        const int answer = Handler()(request);
        if (done) {
            done(answer);
        }
        return;
    }
    const bool yesNo = IsYesNo(request);
    QMessageBox* box = MakeBox(request);
    // The box is its owner's child: when the owner goes first, so does the box, and the
    // follow-up, which acts on the owner, never runs.
    QObject::connect(box, &QMessageBox::finished, box, [box, yesNo, done = std::move(done)](int) {
        if (done) {
            done(AnswerOf(box, yesNo));
        }
    });
    box->show();
}

void ShowNetworkNotice(const CString& text, const CString& source)
{
    MessageBoxRequest request;
    request.text = text;
    request.byPeer = true;
    CompleteCaption(request);
    if (Handler()) {
        Handler()(request);
        return;
    }
    const QString key = ToQString(text);
    auto& notices = OpenNotices();
    if (const auto open = notices.find(key); open != notices.end() && open->second.box) {
        open->second.box->setInformativeText(QStringLiteral("Repeated %1 times").arg(++open->second.nTimes));
        return;
    }
    if (notices.size() >= static_cast<size_t>(MAX_OPEN_NOTICES)) {
        return;
    }
    CWindowQuota::CSlot slot = NetworkWindows().TryAcquire(source);
    if (!slot) {
        return;
    }
    QMessageBox* box = MakeBox(request);
    notices[key] = {box, 1, std::move(slot)};
    // Its place is given back as soon as it closes, not when the object goes.
    QObject::connect(box, &QMessageBox::finished, [key] { OpenNotices().erase(key); });
    QObject::connect(box, &QObject::destroyed, [key, box] {
        const auto open = OpenNotices().find(key);
        if (open != OpenNotices().end() && (!open->second.box || open->second.box == box)) {
            OpenNotices().erase(open);
        }
    });
    box->show();
}

int AfxMessageBox(const CString& text, unsigned style)
{
    MessageBoxRequest request;
    request.text = text;
    request.style = style;
    return ShowMessageBox(std::move(request));
}

void SetMessageBoxHandler(MessageBoxHandler handler)
{
    Handler() = std::move(handler);
}
