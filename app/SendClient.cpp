#include "app/SendClient.h"

#include "app/SendListener.h"
#include "app/SendRequestParser.h"
#include "framework/DesktopNotice.h"
#include "framework/QtText.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>

#include <cstdio>

#include <unistd.h>

namespace {
// Says why the files were not sent, on standard error and, when that is no terminal (the run came
// from a file manager's menu, whose user never sees it), as a desktop notification too: a menu
// entry that does nothing visible would leave the user guessing.
int Fail(const CString& reason, const QString& advice = {})
{
    std::fprintf(stderr, "quorvane: %s\n", reason.c_str());
    if (isatty(STDERR_FILENO)) {
        return 1;
    }
    QString body = "The files were not sent: " + ToQString(reason) + ".";
    if (!advice.isEmpty()) {
        body += ' ' + advice;
    }
    ShowDesktopNotice(body, NoticeDelivery::Wait);
    return 1;
}
} // namespace

HandOver HandRequestOver(const CString& socketPath, const CString& request, int timeoutMs)
{
    if (socketPath.empty()) {
        return HandOver::NoAnswer;
    }
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(QFile::decodeName(QByteArray::fromStdString(socketPath)));
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
        return HandOver::NoAnswer;
    }
    if (socket.write(request.data(), static_cast<qint64>(request.size())) != qint64(request.size())) {
        return HandOver::NoAnswer;
    }
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
            return HandOver::NoAnswer;
        }
    }
    constexpr qint64 answerSize = sizeof sendwire::ANSWER - 1;
    QByteArray answer;
    while (answer.size() < answerSize) {
        if (socket.bytesAvailable() == 0
            && !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            return socket.state() == QLocalSocket::UnconnectedState && answer.isEmpty() ? HandOver::Refused
                                                                                        : HandOver::NoAnswer;
        }
        answer += socket.read(answerSize - answer.size());
    }
    return answer == sendwire::ANSWER ? HandOver::Answered : HandOver::NoAnswer;
}

bool HandFilesOver(const CString& socketPath, const std::vector<CString>& paths, int timeoutMs)
{
    return HandRequestOver(socketPath, sendwire::EncodeRequest(paths), timeoutMs) == HandOver::Answered;
}

int ShowRunningCopy(const CString& socketPath, const CString& startupId)
{
    // An id the request cannot carry is not passed on; the window still comes.
    const bool usable
        = startupId.size() <= sendwire::MAX_PATH_LENGTH && startupId.find('\0') == CString::npos;
    switch (HandRequestOver(socketPath, sendwire::EncodeShowRequest(usable ? startupId : CString()))) {
    case HandOver::Answered:
        return 0;
    case HandOver::Refused:
        std::fprintf(stderr,
            "quorvane: Quorvane is already running for this user, in a version that cannot be asked to show "
            "its window; find it in the notification area\n");
        return 1;
    case HandOver::NoAnswer:
        break;
    }
    std::fprintf(stderr, "quorvane: Quorvane is already running for this user, but did not answer\n");
    return 1;
}

int RunSendCommand(std::vector<CString> files)
{
    for (const CString& file : files) {
        if (file.front() != '/') {
            return Fail(file + ": the working directory is unknown");
        }
        if (file.size() > sendwire::MAX_PATH_LENGTH) {
            return Fail(
                file + ": the path is longer than " + std::to_string(sendwire::MAX_PATH_LENGTH) + " bytes");
        }
    }
    // The copy keeps no more than these and tells the user there are too many; the rest would
    // only make the request longer.
    if (files.size() > sendwire::MAX_KEPT_PATHS) {
        files.resize(sendwire::MAX_KEPT_PATHS);
    }
    CString problem;
    const CString socketPath = CSendListener::DefaultSocketPath(&problem);
    if (socketPath.empty()) {
        return Fail(problem + ", so no running copy can be reached");
    }
    if (!HandFilesOver(socketPath, files)) {
        return Fail("no running copy of Quorvane answered", "Start Quorvane, then send them again.");
    }
    return 0;
}
