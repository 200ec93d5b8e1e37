#include "app/SendClient.h"

#include "app/SendListener.h"
#include "app/SendRequestParser.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QLocalSocket>

#include <cstdio>

bool HandFilesOver(const CString& socketPath, const std::vector<CString>& paths, int timeoutMs)
{
    if (socketPath.empty()) {
        return false;
    }
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    socket.connectToServer(QFile::decodeName(QByteArray::fromStdString(socketPath)));
    if (!socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
        return false;
    }
    const CString request = sendwire::EncodeRequest(paths);
    if (socket.write(request.data(), static_cast<qint64>(request.size())) != qint64(request.size())) {
        return false;
    }
    while (socket.bytesToWrite() > 0) {
        if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime()))) {
            return false;
        }
    }
    constexpr qint64 answerSize = sizeof sendwire::ANSWER - 1;
    QByteArray answer;
    while (answer.size() < answerSize) {
        if (socket.bytesAvailable() == 0
            && !socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
            return false;
        }
        answer += socket.read(answerSize - answer.size());
    }
    return answer == sendwire::ANSWER;
}

int RunSendCommand(std::vector<CString> files)
{
    for (const CString& file : files) {
        if (file.front() != '/') {
            std::fprintf(stderr, "quorvane: %s: the working directory is unknown\n", file.c_str());
            return 1;
        }
        if (file.size() > sendwire::MAX_PATH_LENGTH) {
            std::fprintf(stderr, "quorvane: %s: the path is longer than %zu bytes\n", file.c_str(),
                sendwire::MAX_PATH_LENGTH);
            return 1;
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
        std::fprintf(stderr, "quorvane: %s, so no running copy can be reached\n", problem.c_str());
        return 1;
    }
    if (!HandFilesOver(socketPath, files)) {
        std::fputs("quorvane: no running copy of Quorvane answered\n", stderr);
        return 1;
    }
    return 0;
}
