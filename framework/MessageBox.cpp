#include "framework/MessageBox.h"

#include "framework/QtText.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>

#include <utility>

namespace {
MessageBoxHandler& Handler()
{
    static MessageBoxHandler handler;
    return handler;
}

int RunMessageBox(const MessageBoxRequest& request)
{
    const bool yesNo = (request.style & 0xF) == MB_YESNO;
    QPointer<QMessageBox> box = new QMessageBox(request.owner);
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
    if (yesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton((request.style & MB_DEFBUTTON2) ? QMessageBox::No : QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    const bool ownerOnly = request.modality == MessageBoxModality::Owner && request.owner;
    box->setWindowModality(ownerOnly ? Qt::WindowModal : Qt::ApplicationModal);

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
    loop.exec();
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
