#pragma once
// A program a test starts, its standard input and output on pipes served by
// the test's event loop.
//
// Not QProcess: Qt 6.4 starts a child with clone(CLONE_VM | CLONE_VFORK),
// and ThreadSanitizer's clone hook then runs in the child on the parent's
// own thread state (same memory, same TLS). Its fork bookkeeping is undone
// twice, once in the child and once in the parent, and from then on the
// thread that started the child has its locks and atomics ignored and its
// races never reported. posix_spawn clones inside the C library, where no
// hook runs.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include <sys/types.h>

class QSocketNotifier;

namespace relvane::test {

class ChildProcess {
public:
    enum class ErrorOutput { Captured, Inherited };
    // `env` entries ("NAME=value") are set on top of this process's environment.
    ChildProcess(const QString& program, const QStringList& args, ErrorOutput err,
                 const QStringList& env = {});
    // A child still running is killed.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    [[nodiscard]] bool Started() const { return Pid > 0; }
    [[nodiscard]] pid_t ProcessId() const { return Pid; }

    // Queued and written as the pipe takes it.
    void Write(const QByteArray& bytes);
    // The end of input, once everything queued is written.
    void CloseWrite();
    [[nodiscard]] qsizetype BytesToWrite() const { return Pending.size() - PendingAt; }

    // Everything printed so far; OnOutput runs after either grew.
    QByteArray Out;
    QByteArray Err;
    std::function<void()> OnOutput;

    // The child has ended and what it printed is read to the end.
    [[nodiscard]] bool Finished();
    // The exit code; -1 when a signal ended it.
    [[nodiscard]] int ExitCode() const { return Code; }
    // Waits until Finished() or the deadline, reading but dispatching no events.
    bool WaitFinished(int timeoutMs);
    void Kill();

private:
    void ReadFrom(int& fd, QByteArray& into, std::unique_ptr<QSocketNotifier>& notifier);
    void WriteSome();
    void CloseInput();

    pid_t Pid = -1;
    bool Reaped = false;
    int Code = -1;
    int InFd = -1;
    int OutFd = -1;
    int ErrFd = -1;
    std::unique_ptr<QSocketNotifier> InNotifier;
    std::unique_ptr<QSocketNotifier> OutNotifier;
    std::unique_ptr<QSocketNotifier> ErrNotifier;
    QByteArray Pending;
    qsizetype PendingAt = 0;
    bool CloseWhenWritten = false;
};

} // namespace relvane::test
