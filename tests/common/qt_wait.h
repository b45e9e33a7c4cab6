// Bounded waits that keep the Qt event loop turning, for tests whose code
// under test gets its work as queued events and timers.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <functional>

// Turns the event loop until fnDone() holds or nTimeoutMs pass; returns fnDone().
inline bool WaitUntil(const std::function<bool()>& fnDone, int nTimeoutMs)
{
    QDeadlineTimer deadline(nTimeoutMs);
    while (!fnDone()) {
        if (deadline.hasExpired())
            return fnDone();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// Turns the event loop for nMs.
inline void PumpFor(int nMs)
{
    WaitUntil([] { return false; }, nMs);
}
