#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <functional>

// Runs the event loop until condition holds or the time runs out; returns the condition. The
// loop sleeps until something happens, so replies are handled the moment they arrive.
inline bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    QTimer tick;
    tick.start(5);
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.hasExpired(timeoutMs)) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

// Runs the event loop for a while, for checks that something does not happen.
inline void Settle(int ms = 200)
{
    WaitFor([] { return false; }, ms);
}
