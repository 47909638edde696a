#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <chrono>
#include <functional>

namespace korvane::test {

// Spins the main event loop until pred() holds or the timeout runs out.
// Returns pred()'s last value. Use instead of fixed sleeps.
inline bool waitUntil(const std::function<bool()> &pred,
                      std::chrono::milliseconds timeout = std::chrono::seconds(5))
{
    QDeadlineTimer deadline(timeout);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

// Spins the event loop for a fixed short time (for "nothing happens" checks).
inline void spinFor(std::chrono::milliseconds duration)
{
    QDeadlineTimer deadline(duration);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

} // namespace korvane::test
