#pragma once
// Waiting in tests: dispatch events until a condition holds or a deadline passes.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <functional>

namespace relvane::test {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool UnderThreadSanitizer = true;
#else
inline constexpr bool UnderThreadSanitizer = false;
#endif
// Under ThreadSanitizer everything runs several times slower: a limit within
// which a peer must answer is this many times as long there.
inline constexpr int SlowBuildFactor = UnderThreadSanitizer ? 5 : 1;

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
