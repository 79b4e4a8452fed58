#include "net/socket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace relvane {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a gracefully closed descriptor may wait for the peer's FIN.
constexpr auto DrainTime = std::chrono::seconds(1);
// A send that has started a frame gives up when the peer takes nothing for this long.
constexpr auto SendStallLimit = std::chrono::seconds(30);

int PollOne(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, std::max(timeoutMs, 0));
    return r > 0 ? p.revents : 0;
}

// Finishes graceful closes off the caller's thread. After our FIN the peer may
// still send; closing while its bytes lie unread would answer with a reset and
// destroy our own last frames on their way. So each descriptor is drained
// until the peer's FIN, or a short deadline, and only then closed.
class TCloser {
public:
    static TCloser& Instance() {
        // Never destroyed: sockets in static objects may still hand descriptors
        // over during exit; once stopped they are closed directly.
        static TCloser* closer = [] {
            auto* c = new TCloser;
            std::atexit([] { Instance().Stop(); });
            return c;
        }();
        return *closer;
    }

    void Hand(int fd) {
        std::lock_guard guard(Mutex);
        if (Stopped || (Wake < 0 && (Wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) < 0)) {
            ::close(fd);
            return;
        }
        if (!Thread.joinable()) Thread = std::thread([this] { Run(); });
        Incoming.push_back({fd, Clock::now() + DrainTime});
        Signal();
    }

    void Stop() {
        {
            std::lock_guard guard(Mutex);
            Stopping = true;
            if (Wake >= 0) Signal();
        }
        if (Thread.joinable()) Thread.join();
        std::lock_guard guard(Mutex);
        Stopped = true;
    }

private:
    struct TItem {
        int Fd;
        Clock::time_point Deadline;
    };

    void Signal() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(Wake, &one, sizeof one);
    }

    // True when the descriptor is done: the peer's FIN or a failure.
    static bool Drain(int fd) {
        char sink[4096];
        for (int i = 0; i < 64; ++i) {
            const ssize_t r = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
            if (r > 0) continue;
            if (r == 0) return true;
            if (errno == EINTR) continue;
            return errno != EAGAIN && errno != EWOULDBLOCK;
        }
        return false;
    }

    void Run() {
        std::vector<TItem> pending;
        std::vector<pollfd> fds;
        for (;;) {
            {
                std::lock_guard guard(Mutex);
                pending.insert(pending.end(), Incoming.begin(), Incoming.end());
                Incoming.clear();
                if (pending.empty() && Stopping) {
                    Stopped = true;
                    return;
                }
            }
            fds.assign(1, pollfd{Wake, POLLIN, 0});
            auto first = Clock::time_point::max();
            for (const auto& item : pending) {
                fds.push_back(pollfd{item.Fd, POLLIN | POLLRDHUP, 0});
                first = std::min(first, item.Deadline);
            }
            int timeout = -1;
            if (!pending.empty()) {
                const auto left = std::chrono::ceil<milliseconds>(first - Clock::now()).count();
                timeout = static_cast<int>(std::max<decltype(left)>(left, 0));
            }
            ::poll(fds.data(), fds.size(), timeout);
            if (fds[0].revents != 0) {
                std::uint64_t count;
                [[maybe_unused]] const auto n = ::read(Wake, &count, sizeof count);
            }
            const auto now = Clock::now();
            std::size_t kept = 0;
            for (std::size_t i = 0; i < pending.size(); ++i) {
                const bool done =
                    now >= pending[i].Deadline || (fds[i + 1].revents != 0 && Drain(pending[i].Fd));
                if (done)
                    ::close(pending[i].Fd);
                else
                    pending[kept++] = pending[i];
            }
            pending.resize(kept);
        }
    }

    std::mutex Mutex;
    std::vector<TItem> Incoming;
    int Wake = -1;
    std::thread Thread;
    bool Stopping = false;
    bool Stopped = false;
};

} // namespace

TcpConnection::TcpConnection() = default;

TcpConnection::~TcpConnection() {
    Release(true);
}

void TcpConnection::Attach(int fd) {
    std::lock_guard guard(Lock);
    Release(true);
    Fd = fd;
    DisconnectReported = false;
}

void TcpConnection::MarkConnected() {
    std::lock_guard guard(Lock);
    if (Fd < 0) return;
    // Every frame is handed over whole and the protocol waits for replies
    // after small frames (Ack, End): holding them back for the peer's delayed
    // acknowledgement would cost tens of milliseconds per file.
    int one = 1;
    ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Connected = true;
}

int TcpConnection::PendingError() {
    std::lock_guard guard(Lock);
    if (Fd < 0) return ENOTCONN;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(Fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

bool TcpConnection::Watch(int epoll, std::uint64_t key, std::uint32_t events) {
    std::lock_guard guard(Lock);
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    if (Fd < 0 || ::epoll_ctl(epoll, EPOLL_CTL_ADD, Fd, &event) != 0) return false;
    WatchEpoll = epoll;
    WatchKey = key;
    return true;
}

void TcpConnection::Rewatch(std::uint32_t events) {
    std::lock_guard guard(Lock);
    if (WatchEpoll < 0 || Fd < 0) return;
    epoll_event event{};
    event.events = events;
    event.data.u64 = WatchKey;
    ::epoll_ctl(WatchEpoll, EPOLL_CTL_MOD, Fd, &event);
}

void TcpConnection::Unwatch() {
    std::lock_guard guard(Lock);
    // Removed explicitly: the closer keeps the descriptor open a while, and an
    // epoll set tracks the open file, not the descriptor number.
    if (WatchEpoll >= 0 && Fd >= 0) ::epoll_ctl(WatchEpoll, EPOLL_CTL_DEL, Fd, nullptr);
    WatchEpoll = -1;
}

void TcpConnection::SetHardCloseHook(std::function<void()> hook) {
    std::lock_guard guard(Lock);
    OnHardClose = std::move(hook);
}

void TcpConnection::Release(bool graceful) {
    std::lock_guard guard(Lock);
    const bool wasConnected = Connected.exchange(false);
    Unwatch();
    OnHardClose = nullptr;
    if (Fd < 0) return;
    const int fd = std::exchange(Fd, -1);
    if (graceful && wasConnected && ::shutdown(fd, SHUT_WR) == 0)
        TCloser::Instance().Hand(fd);
    else
        ::close(fd);
}

void TcpConnection::Close() {
    std::lock_guard guard(Lock);
    // A close from outside the endpoint must still reach the endpoint's events.
    auto hook = std::move(OnHardClose);
    Release(true);
    if (hook) hook();
}

void TcpConnection::HardFailure(int code, const char* api) {
    auto hook = std::move(OnHardClose);
    Release(false);
    // Runs under the lock, which the endpoint also takes to drop the hook
    // before it goes away.
    if (hook) hook();
    throw SocketApiError(code, api);
}

int TcpConnection::BytesWaiting() {
    std::lock_guard guard(Lock);
    int count = 0;
    if (!Connected || ::ioctl(Fd, FIONREAD, &count) != 0) return 0;
    return count;
}

int TcpConnection::ReceiveBytes(void* buffer, int n) {
    std::lock_guard guard(Lock);
    if (!Connected || n <= 0) return 0;
    for (;;) {
        const ssize_t r = ::recv(Fd, buffer, static_cast<std::size_t>(n), MSG_DONTWAIT);
        if (r >= 0) return static_cast<int>(r);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
        HardFailure(errno, "recv");
    }
}

bool TcpConnection::TrySendWhole(const QByteArray& frame) {
    std::unique_lock guard(Lock, std::try_to_lock);
    if (!guard.owns_lock() || !Connected || MidFrame || frame.isEmpty()) return false;
    // Room for all of it, or nothing goes: a partial frame would mix with
    // whatever the worker sends next.
    int unsent = 0;
    int room = 0;
    socklen_t size = sizeof room;
    if (::ioctl(Fd, TIOCOUTQ, &unsent) != 0 ||
        ::getsockopt(Fd, SOL_SOCKET, SO_SNDBUF, &room, &size) != 0 ||
        room - unsent < frame.size()) {
        return false;
    }
    const ssize_t r = ::send(Fd, frame.constData(), static_cast<std::size_t>(frame.size()),
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    return r == frame.size();
}

int TcpConnection::SendPart(const void* buffer, int n) {
    std::lock_guard guard(Lock);
    if (!Connected || n <= 0) return 0;
    for (;;) {
        const ssize_t r =
            ::send(Fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r >= 0) {
            MidFrame = r < n;
            return static_cast<int>(r);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        HardFailure(errno, "send");
    }
}

int TcpConnection::SendBytes(const void* buffer, int n) {
    return Send(buffer, n, 0);
}

int TcpConnection::SendBytesMore(const void* buffer, int n) {
    return Send(buffer, n, MSG_MORE);
}

int TcpConnection::Send(const void* buffer, int n, int flags) {
    std::lock_guard guard(Lock);
    if (!Connected || n <= 0) return 0;
    const auto* bytes = static_cast<const char*>(buffer);
    int sent = 0;
    auto progress = Clock::now();
    while (sent < n) {
        const ssize_t r = ::send(Fd, bytes + sent, static_cast<std::size_t>(n - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT | flags);
        if (r > 0) {
            sent += static_cast<int>(r);
            progress = Clock::now();
            continue;
        }
        const int error = r < 0 ? errno : EAGAIN;
        if (error == EINTR) continue;
        if (error != EAGAIN && error != EWOULDBLOCK) HardFailure(error, "send");
        if (sent == 0) return -1;
        // Part of the frame is out: finish it here, still holding the lock, so
        // no other frame can get between its bytes. Callers never see a
        // partial count.
        const auto left =
            std::chrono::ceil<milliseconds>(SendStallLimit - (Clock::now() - progress));
        if (left.count() <= 0) HardFailure(ETIMEDOUT, "send");
        PollOne(Fd, POLLOUT, static_cast<int>(left.count())); // failures show in the next send
    }
    return n;
}

int TcpConnection::PollFd(short events, int timeoutMs) {
    int fd;
    {
        std::lock_guard guard(Lock);
        if (!Connected) return 0;
        fd = Fd;
    }
    // Not under the lock: the other thread's sends must go on meanwhile. Should
    // the descriptor be closed in between, the wait is still bounded.
    return PollOne(fd, events, timeoutMs);
}

void TcpConnection::WaitReadable(int timeoutMs) {
    [[maybe_unused]] const int events = PollFd(POLLIN | POLLRDHUP, timeoutMs);
}

bool TcpConnection::WaitReady(int timeoutMs, int wakeFd, bool writable) {
    int fd;
    {
        std::lock_guard guard(Lock);
        if (!Connected) return false;
        fd = Fd;
    }
    const short events = POLLIN | POLLRDHUP | (writable ? POLLOUT : 0);
    pollfd p[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    // Not under the lock, as in PollFd; an interrupted wait simply ends early.
    return ::poll(p, wakeFd >= 0 ? 2 : 1, timeoutMs < 0 ? -1 : timeoutMs) > 0 &&
           (p[1].revents & POLLIN) != 0;
}

bool TcpConnection::WaitWritable(int timeoutMs) {
    return (PollFd(POLLOUT, timeoutMs) & POLLOUT) != 0;
}

QString TcpConnection::PeerHostName() {
    sockaddr_in peer{};
    {
        std::lock_guard guard(Lock);
        if (!Connected) return {};
        socklen_t length = sizeof peer;
        if (::getpeername(Fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
            if (errno == ENOTCONN) return {};
            throw SocketApiError(errno, "getpeername");
        }
    }
    // The lookup may take long; it needs no socket, so the worker is not held up.
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&peer), sizeof peer, host, sizeof host,
                      nullptr, 0, NI_NAMEREQD) != 0)
        return {};
    return QString::fromLocal8Bit(host);
}

QString TcpConnection::PeerAddress() {
    std::lock_guard guard(Lock);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    char text[INET_ADDRSTRLEN];
    if (!Connected || ::getpeername(Fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text) == nullptr)
        return {};
    return QString::fromLatin1(text);
}

} // namespace relvane
