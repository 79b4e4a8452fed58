#include "tests/support/childprocess.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace relvane::test {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Null-terminated pointers into `strings`, which must outlive them.
std::vector<char*> Pointers(std::vector<QByteArray>& strings) {
    std::vector<char*> p;
    for (QByteArray& s : strings)
        p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

} // namespace

ChildProcess::ChildProcess(const QString& program, const QStringList& args, ErrorOutput err,
                           const QStringList& env) {
    // Writing to a child that is gone must fail, not end the test program.
    std::signal(SIGPIPE, SIG_IGN);

    int in[2], out[2], errPipe[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    if (err == ErrorOutput::Captured && ::pipe2(errPipe, O_CLOEXEC) != 0) return;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (err == ErrorOutput::Captured)
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
    // The child starts with default signal handling and nothing blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<QByteArray> argStrings{program.toLocal8Bit()};
    for (const QString& a : args)
        argStrings.push_back(a.toLocal8Bit());
    std::vector<QByteArray> envStrings;
    for (char** e = environ; *e != nullptr; ++e) {
        const QByteArray entry(*e);
        const QByteArray name = entry.left(entry.indexOf('=') + 1);
        bool replaced = false;
        for (const QString& own : env)
            replaced = replaced || (!name.isEmpty() && own.toLocal8Bit().startsWith(name));
        if (!replaced) envStrings.push_back(entry);
    }
    for (const QString& own : env)
        envStrings.push_back(own.toLocal8Bit());
    std::vector<char*> argv = Pointers(argStrings);
    std::vector<char*> envp = Pointers(envStrings);

    pid_t pid = -1;
    if (::posix_spawn(&pid, argStrings[0].constData(), &actions, &attr, argv.data(), envp.data()) ==
        0)
        Pid = pid;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(in[0]);
    ::close(out[1]);
    if (errPipe[1] >= 0) ::close(errPipe[1]);
    InFd = in[1];
    OutFd = out[0];
    ErrFd = errPipe[0];
    if (Pid <= 0) {
        CloseFd(InFd);
        CloseFd(OutFd);
        CloseFd(ErrFd);
        return;
    }

    for (const int fd : {InFd, OutFd, ErrFd}) {
        if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    OutNotifier = std::make_unique<QSocketNotifier>(OutFd, QSocketNotifier::Read);
    QObject::connect(OutNotifier.get(), &QSocketNotifier::activated,
                     [this] { ReadFrom(OutFd, Out, OutNotifier); });
    if (ErrFd >= 0) {
        ErrNotifier = std::make_unique<QSocketNotifier>(ErrFd, QSocketNotifier::Read);
        QObject::connect(ErrNotifier.get(), &QSocketNotifier::activated,
                         [this] { ReadFrom(ErrFd, Err, ErrNotifier); });
    }
    InNotifier = std::make_unique<QSocketNotifier>(InFd, QSocketNotifier::Write);
    InNotifier->setEnabled(false);
    QObject::connect(InNotifier.get(), &QSocketNotifier::activated, [this] { WriteSome(); });
}

ChildProcess::~ChildProcess() {
    if (Pid > 0 && !Reaped) {
        Kill();
        int status = 0;
        ::waitpid(Pid, &status, 0); // SIGKILL cannot be caught: this returns
    }
    CloseInput();
    OutNotifier.reset();
    ErrNotifier.reset();
    CloseFd(OutFd);
    CloseFd(ErrFd);
}

void ChildProcess::ReadFrom(int& fd, QByteArray& into, std::unique_ptr<QSocketNotifier>& notifier) {
    bool grew = false;
    while (fd >= 0) {
        char chunk[65536];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            into.append(chunk, n);
            grew = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        notifier.reset(); // the end, or an error that is one
        CloseFd(fd);
    }
    if (grew && OnOutput) OnOutput();
}

void ChildProcess::Write(const QByteArray& bytes) {
    if (InFd < 0 || CloseWhenWritten) return;
    Pending.append(bytes);
    WriteSome();
}

void ChildProcess::CloseWrite() {
    CloseWhenWritten = true;
    if (BytesToWrite() == 0) CloseInput();
}

void ChildProcess::WriteSome() {
    while (InFd >= 0 && BytesToWrite() > 0) {
        const ssize_t n =
            ::write(InFd, Pending.constData() + PendingAt, static_cast<size_t>(BytesToWrite()));
        if (n > 0) {
            PendingAt += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) break;
        // The child closed its input: what is left can never go.
        Pending.clear();
        PendingAt = 0;
        CloseInput();
        return;
    }
    if (BytesToWrite() == 0) {
        Pending.clear();
        PendingAt = 0;
        if (CloseWhenWritten) CloseInput();
    }
    if (InNotifier) InNotifier->setEnabled(BytesToWrite() > 0);
}

void ChildProcess::CloseInput() {
    InNotifier.reset();
    CloseFd(InFd);
}

bool ChildProcess::Finished() {
    if (Pid <= 0) return true;
    if (!Reaped) {
        int status = 0;
        if (::waitpid(Pid, &status, WNOHANG) != Pid) return false;
        Reaped = true;
        Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Whatever it printed last is still in the pipes.
    ReadFrom(OutFd, Out, OutNotifier);
    ReadFrom(ErrFd, Err, ErrNotifier);
    return true;
}

bool ChildProcess::WaitFinished(int timeoutMs) {
    // Reads while it waits (a child blocked on a full pipe never ends), but
    // dispatches nothing: callers may be tearing their objects down.
    QDeadlineTimer deadline(timeoutMs);
    while (!Finished()) {
        if (deadline.hasExpired()) return false;
        pollfd fds[2] = {{OutFd, POLLIN, 0}, {ErrFd, POLLIN, 0}};
        // The end of a child has no descriptor to wait on: short slices.
        ::poll(fds, 2, static_cast<int>(std::min<qint64>(deadline.remainingTime(), 10)));
        ReadFrom(OutFd, Out, OutNotifier);
        ReadFrom(ErrFd, Err, ErrNotifier);
    }
    return true;
}

void ChildProcess::Kill() {
    if (Pid > 0 && !Reaped) ::kill(Pid, SIGKILL);
}

} // namespace relvane::test
