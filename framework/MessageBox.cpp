#include "framework/MessageBox.h"

#include "framework/QtText.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>

#include <set>
#include <utility>

namespace {
MessageBoxHandler& Handler()
{
    static MessageBoxHandler handler;
    return handler;
}

// Boxes waiting for their answer on this thread, and the notices shown meanwhile.
int g_nWaiting = 0;
std::set<QString>& OpenNotices()
{
    static std::set<QString> notices;
    return notices;
}
// Beyond this many notices on screen at once, a further one is dropped.
constexpr size_t MAX_OPEN_NOTICES = 32;

QMessageBox* MakeBox(const MessageBoxRequest& request, QWidget* parent)
{
    auto* box = new QMessageBox(parent);
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
    return box;
}

// A notice that comes while another box waits is shown without waiting, on its own: otherwise
// every peer that cancels a request would stack one more waiting box (and one more event loop)
// on the last, without end. The same notice is not shown twice at once.
void ShowNotice(const MessageBoxRequest& request)
{
    const QString key = ToQString(request.caption) + QLatin1Char('\n') + ToQString(request.text);
    if (OpenNotices().contains(key) || OpenNotices().size() >= MAX_OPEN_NOTICES) {
        return;
    }
    QMessageBox* box = MakeBox(request, nullptr);
    box->setStandardButtons(QMessageBox::Ok);
    box->setWindowModality(Qt::NonModal);
    OpenNotices().insert(key);
    QObject::connect(box, &QObject::destroyed, [key] { OpenNotices().erase(key); });
    box->show();
}

int RunMessageBox(const MessageBoxRequest& request)
{
    const bool yesNo = (request.style & 0xF) == MB_YESNO;
    if (!yesNo && g_nWaiting > 0) {
        ShowNotice(request);
        return IDOK;
    }
    QPointer<QMessageBox> box = MakeBox(request, request.owner);
    if (yesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton((request.style & MB_DEFBUTTON2) ? QMessageBox::No : QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    box->setWindowModality(request.owner ? Qt::WindowModal : Qt::ApplicationModal);

    // A local loop instead of exec(), so that a window-modal box blocks its owner alone.
    int answer = yesNo ? IDNO : IDOK;
    QEventLoop loop;
    QObject::connect(box, &QMessageBox::finished, &loop, [&](int) {
        if (box && box->clickedButton() == box->button(QMessageBox::Yes)) {
            answer = IDYES;
        }
        loop.quit();
    });
    QObject::connect(box, &QObject::destroyed, &loop, &QEventLoop::quit);
    box->show();
    ++g_nWaiting;
    loop.exec();
    --g_nWaiting;
    if (box) {
        box->close();
    }
    return answer;
}
} // namespace

int ShowMessageBox(MessageBoxRequest request)
{
    if (request.caption.empty()) {
        request.caption = FromQString(QCoreApplication::applicationName());
    }
    if (Handler()) {
        return Handler()(request);
    }
    return RunMessageBox(request);
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
