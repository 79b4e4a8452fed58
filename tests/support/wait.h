#pragma once
// Waiting in tests: dispatch events until a condition holds or a deadline passes.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

namespace relvane::test {

// Dispatches the event queue until pred() holds; false when the deadline passed.
inline bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 5000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(200); // yields the core to the peer thread between dispatches
    }
    return true;
}

} // namespace relvane::test
