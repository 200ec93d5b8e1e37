#include "app/TerminationSignals.h"

#include <QSocketNotifier>

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {
int g_signalPipe[2] = {-1, -1};

void HandleSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &byte, 1);
    errno = savedErrno;
}

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
} // namespace

CTerminationSignals::CTerminationSignals(QObject* parent)
    : QObject(parent)
{
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    m_pNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &CTerminationSignals::OnSignalArrived);

    struct sigaction action
    {
    };
    action.sa_handler = HandleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : kSignals) {
        sigaction(signalNumber, &action, nullptr);
    }
}

CTerminationSignals::~CTerminationSignals()
{
    for (int signalNumber : kSignals) {
        std::signal(signalNumber, SIG_DFL);
    }
    delete m_pNotifier;
    for (int& end : g_signalPipe) {
        if (end >= 0) {
            close(end);
            end = -1;
        }
    }
}

void CTerminationSignals::OnSignalArrived()
{
    char bytes[16];
    while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) { }
    emit terminationRequested();
}
