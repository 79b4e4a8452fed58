#include "net/socket.h"

#include <QMetaObject>
#include <QSocketNotifier>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

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
constexpr int ListenBacklog = 5;
constexpr std::uint64_t ListenerKey = 0;

QString Text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

ESocketError CannotCreate() {
    return ESocketError(Text("ソケットが作成できません"));
}
ESocketError InUse() {
    return ESocketError(Text("ソケットを使用中は値を変更できません"));
}

template <class F> class TAtExit {
public:
    explicit TAtExit(F f) : Fn(std::move(f)) {}
    ~TAtExit() { Fn(); }
    TAtExit(const TAtExit&) = delete;
    TAtExit& operator=(const TAtExit&) = delete;

private:
    F Fn;
};

int PollOne(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, std::max(timeoutMs, 0));
    return r > 0 ? p.revents : 0;
}

int CreateEpoll() {
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) throw CannotCreate();
    return epoll;
}

int StartConnect(int fd, const sockaddr_in& to) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    // A non-blocking connect interrupted by a signal goes on in the background.
    return errno == EINTR ? EINPROGRESS : errno;
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

std::mutex HandlerMutex;
TSocketErrorHandler ErrorHandler;

} // namespace

// ---------------------------------------------------------------------------
// Errors

ESocketError SocketApiError(int code, const char* api) {
    char buffer[256];
    const char* description = ::strerror_r(code, buffer, sizeof buffer); // GNU variant
    return ESocketError(Text("Windows ソケットエラー： %1 (%2) [API '%3']")
                            .arg(QString::fromLocal8Bit(description), QString::number(code),
                                 QString::fromLatin1(api)),
                        code, QString::fromLatin1(api));
}

ESocketError AsyncSocketError(int code) {
    return ESocketError(Text("非同期ソケットエラー %1").arg(code), code, QStringLiteral("async"));
}

void SetSocketErrorHandler(TSocketErrorHandler handler) {
    std::lock_guard guard(HandlerMutex);
    ErrorHandler = std::move(handler);
}

void RaiseToApplication(const ESocketError& error) {
    TSocketErrorHandler handler;
    {
        std::lock_guard guard(HandlerMutex);
        handler = ErrorHandler;
    }
    if (handler)
        handler(error);
    else
        qWarning("%s", error.what());
}

// ---------------------------------------------------------------------------
// Connection object

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
        const ssize_t r = ::send(Fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
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

void TcpConnection::WaitReady(int timeoutMs, int wakeFd, bool writable) {
    int fd;
    {
        std::lock_guard guard(Lock);
        if (!Connected) return;
        fd = Fd;
    }
    const short events = POLLIN | POLLRDHUP | (writable ? POLLOUT : 0);
    pollfd p[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    // Not under the lock, as in PollFd; an interrupted wait simply ends early.
    ::poll(p, wakeFd >= 0 ? 2 : 1, timeoutMs < 0 ? -1 : timeoutMs);
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

// ---------------------------------------------------------------------------
// Client endpoint

TcpClient::TcpClient(QObject* parent)
    : QObject(parent), FSocket(std::make_shared<TcpConnection>()) {}

TcpClient::~TcpClient() {
    // No events from a dying endpoint; the worker may keep the object, closed.
    FSocket->Release(true);
    delete Notifier;
    if (Epoll >= 0) ::close(Epoll);
}

void TcpClient::SetPort(int port) {
    if (port == FPort) return;
    if (Active()) throw InUse();
    FPort = port;
}

void TcpClient::SetAddress(const QString& address) {
    if (address.compare(FAddress, Qt::CaseInsensitive) == 0) return;
    if (Active()) throw InUse();
    FAddress = address;
}

void TcpClient::SetActive(bool active) {
    if (!active)
        Close();
    else if (FState == TState::Closed)
        Open();
}

void TcpClient::EnsureEpoll() {
    if (Epoll >= 0) return;
    Epoll = CreateEpoll();
    Notifier = new QSocketNotifier(Epoll, QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TcpClient::Notified);
}

void TcpClient::Open() {
    EnsureEpoll();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw CannotCreate();
    FSocket->Attach(fd);
    const std::uint64_t attempt = ++Attempt;
    FState = TState::Connecting;

    if (FAddress.isEmpty()) FailOpen(ESocketError(Text("アドレスが指定されていません")));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(FPort));
    // Numeric only, as inet_addr would take it; no name lookup.
    if (::inet_aton(FAddress.toLatin1().constData(), &to.sin_addr) == 0)
        FailOpen(SocketApiError(EINVAL, "connect"));

    const int error = StartConnect(fd, to);
    switch (error) {
    case 0: // even an at-once connection is reported from the event queue
    case EINPROGRESS:
        if (!FSocket->Watch(Epoll, attempt, EPOLLOUT)) FailOpen(SocketApiError(errno, "connect"));
        return;
    case ECONNREFUSED:
    case ETIMEDOUT:
    case ENETUNREACH:
    case EHOSTUNREACH:
        // The same outcome as a refusal that arrives later: reported from the
        // event queue, unless the attempt is abandoned first.
        FSocket->CloseNow();
        QMetaObject::invokeMethod(
            this,
            [this, attempt, error] {
                if (FState != TState::Connecting || Attempt != attempt) return;
                FState = TState::Closed;
                RaiseToApplication(AsyncSocketError(error));
            },
            Qt::QueuedConnection);
        return;
    default:
        FailOpen(SocketApiError(error, "connect"));
    }
}

void TcpClient::FailOpen(const ESocketError& error) {
    // The half-opened socket goes the way of a local close: one OnDisconnect,
    // then the error reaches the code that set Active.
    RaiseDisconnect();
    throw error;
}

void TcpClient::Close() {
    switch (FState) {
    case TState::Closed:
    case TState::Disconnecting: // closing again from inside OnDisconnect
        return;
    case TState::Connecting:
        FState = TState::Closed;
        FSocket->CloseNow();
        return;
    case TState::Connected:
        RaiseDisconnect();
        return;
    }
}

void TcpClient::RaiseDisconnect() {
    FSocket->Unwatch(); // a peer's close stays signalled; no repeats during the handler
    FState = TState::Disconnecting;
    TAtExit finish([this] {
        FState = TState::Closed;
        FSocket->Release(true);
    });
    if (OnDisconnect) OnDisconnect(this, FSocket);
}

void TcpClient::Notified() {
    epoll_event event{};
    if (::epoll_wait(Epoll, &event, 1, 0) != 1 || event.data.u64 != Attempt) return;
    switch (FState) {
    case TState::Connecting:
        ConnectFinished(event.events);
        return;
    case TState::Connected:
        // The peer's FIN or a reset: either way the connection has ended, and
        // it is reported as the peer's close, without an error message.
        RaiseDisconnect();
        return;
    case TState::Closed:
    case TState::Disconnecting:
        return;
    }
}

void TcpClient::ConnectFinished(std::uint32_t events) {
    int error = FSocket->PendingError();
    if (error == 0 && (events & EPOLLOUT) == 0) {
        if ((events & (EPOLLERR | EPOLLHUP)) == 0) return;
        error = ECONNREFUSED;
    }
    if (error != 0) {
        FState = TState::Closed;
        FSocket->CloseNow();
        RaiseToApplication(AsyncSocketError(error));
        return;
    }
    FSocket->Rewatch(EPOLLRDHUP);
    FSocket->MarkConnected();
    FSocket->SetHardCloseHook([this] {
        QMetaObject::invokeMethod(
            this, [this] { HardClosed(); }, Qt::QueuedConnection);
    });
    FState = TState::Connected;
    if (OnConnect) OnConnect(this, FSocket);
}

void TcpClient::HardClosed() {
    if (FState == TState::Connected && !FSocket->IsConnected()) RaiseDisconnect();
}

// ---------------------------------------------------------------------------
// Server endpoint

TcpServer::TcpServer(QObject* parent) : QObject(parent) {}

TcpServer::~TcpServer() {
    OnAccept = nullptr;
    OnClientDisconnect = nullptr;
    Close();
    delete Notifier;
    if (Epoll >= 0) ::close(Epoll);
}

void TcpServer::SetPort(int port) {
    if (port == FPort) return;
    if (FActive) throw InUse();
    FPort = port;
}

void TcpServer::SetActive(bool active) {
    if (!active)
        Close();
    else if (!FActive)
        Open();
}

int TcpServer::ConnectionCount() const {
    std::lock_guard guard(ListLock);
    return static_cast<int>(Connections.size());
}

std::shared_ptr<TcpConnection> TcpServer::ConnectionAt(int index) const {
    std::lock_guard guard(ListLock);
    if (index < 0 || index >= static_cast<int>(Connections.size())) return nullptr;
    return Connections[static_cast<std::size_t>(index)];
}

std::shared_ptr<TcpConnection> TcpServer::FindByKey(std::uint64_t key) const {
    std::lock_guard guard(ListLock);
    for (const auto& socket : Connections)
        if (socket->WatchKey == key) return socket;
    return nullptr;
}

void TcpServer::Open() {
    if (Epoll < 0) {
        Epoll = CreateEpoll();
        Notifier = new QSocketNotifier(Epoll, QSocketNotifier::Read, this);
        connect(Notifier, &QSocketNotifier::activated, this, &TcpServer::Notified);
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) throw CannotCreate();
    auto fail = [fd](const char* api) {
        const int error = errno;
        ::close(fd);
        return SocketApiError(error, api);
    };
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(static_cast<std::uint16_t>(FPort));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) throw fail("bind");
    if (::listen(fd, ListenBacklog) != 0) throw fail("listen");
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = ListenerKey;
    if (::epoll_ctl(Epoll, EPOLL_CTL_ADD, fd, &event) != 0) throw fail("listen");
    Listener = fd;
    FActive = true;
}

void TcpServer::Close() {
    if (!FActive) return;
    std::vector<std::shared_ptr<TcpConnection>> closing;
    {
        std::lock_guard guard(ListLock);
        closing = Connections;
    }
    for (const auto& socket : closing) {
        socket->DisconnectReported = true; // no OnClientDisconnect for these
        socket->Release(true);
    }
    {
        std::lock_guard guard(ListLock);
        Connections.clear();
    }
    ::epoll_ctl(Epoll, EPOLL_CTL_DEL, Listener, nullptr);
    ::close(Listener);
    Listener = -1;
    FActive = false;
}

void TcpServer::Notified() {
    epoll_event events[16];
    const int n = ::epoll_wait(Epoll, events, 16, 0);
    for (int i = 0; i < n; ++i) {
        // Handlers may run nested event loops; each event is checked against
        // the state as it is now, not as it was when the batch was read.
        if (events[i].data.u64 == ListenerKey) {
            if (FActive) AcceptPending();
            continue;
        }
        const auto socket = FindByKey(events[i].data.u64);
        // The peer's FIN or a reset: both are reported as the peer's close.
        if (socket && !socket->DisconnectReported && socket->IsConnected()) ClientClosed(socket);
    }
}

void TcpServer::AcceptPending() {
    for (;;) {
        const int fd = ::accept4(Listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            switch (errno) {
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
                return;
            // Failures of one pending connection, not of the listener: skip it.
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
            case ENETDOWN:
            case ENOPROTOOPT:
            case EHOSTDOWN:
            case ENONET:
            case EHOSTUNREACH:
            case EOPNOTSUPP:
            case ENETUNREACH:
                continue;
            default:
                RaiseToApplication(AsyncSocketError(errno));
                return;
            }
        }
        auto socket = std::make_shared<TcpConnection>();
        socket->Attach(fd);
        if (!socket->Watch(Epoll, NextKey++, EPOLLRDHUP)) {
            const int error = errno;
            socket->CloseNow();
            RaiseToApplication(AsyncSocketError(error));
            continue;
        }
        socket->MarkConnected();
        socket->SetHardCloseHook([this, weak = std::weak_ptr(socket)] {
            QMetaObject::invokeMethod(
                this, [this, weak] { HardClosed(weak); }, Qt::QueuedConnection);
        });
        {
            std::lock_guard guard(ListLock);
            Connections.push_back(socket);
        }
        if (OnAccept) OnAccept(this, socket);
        if (!FActive) return; // closed from inside the handler
    }
}

void TcpServer::HardClosed(const std::weak_ptr<TcpConnection>& weak) {
    const auto socket = weak.lock();
    if (!socket || socket->DisconnectReported) return;
    {
        std::lock_guard guard(ListLock);
        if (std::find(Connections.begin(), Connections.end(), socket) == Connections.end()) return;
    }
    ClientClosed(socket);
}

void TcpServer::ClientClosed(const std::shared_ptr<TcpConnection>& socket) {
    socket->DisconnectReported = true;
    socket->Unwatch(); // a peer's close stays signalled; no repeats during the handler
    TAtExit finish([this, socket] {
        socket->Release(true);
        // Leaves the list at a later dispatch, so the handler still counts it.
        QMetaObject::invokeMethod(
            this,
            [this, weak = std::weak_ptr(socket)] {
                const auto closed = weak.lock();
                if (!closed) return;
                std::lock_guard guard(ListLock);
                Connections.erase(std::remove(Connections.begin(), Connections.end(), closed),
                                  Connections.end());
            },
            Qt::QueuedConnection);
    });
    if (OnClientDisconnect) OnClientDisconnect(this, socket);
}

} // namespace relvane
