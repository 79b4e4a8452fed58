#include "net/socket.h"
#include "net/socket_internal.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace relvane {
namespace {

using socket_internal::CannotCreate;
using socket_internal::CreateEpoll;
using socket_internal::InUse;
using socket_internal::TAtExit;

constexpr int ListenBacklog = 5;
constexpr std::uint64_t ListenerKey = 0;

} // namespace

TcpServer::TcpServer(QObject* parent) : QObject(parent) {}

TcpServer::~TcpServer() {
    OnAccept = nullptr;
    OnClientDisconnect = nullptr;
    Close();
    delete Notifier;
    if (Epoll >= 0) ::close(Epoll);
}

void TcpServer::Raise(const ESocketError& error) {
    if (OnError)
        OnError(error);
    else
        RaiseToApplication(error);
}

void TcpServer::SetPort(int port) {
    if (port == FPort) return;
    if (FActive) throw InUse();
    FPort = port;
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
    if (FActive) return;
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
                Raise(AsyncSocketError(errno));
                return;
            }
        }
        auto socket = std::make_shared<TcpConnection>();
        socket->Attach(fd);
        if (!socket->Watch(Epoll, NextKey++, EPOLLRDHUP)) {
            const int error = errno;
            socket->CloseNow();
            Raise(AsyncSocketError(error));
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
        if (!std::exchange(socket->Held, false)) socket->Release(true);
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
