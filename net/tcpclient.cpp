#include "net/socket.h"
#include "net/socket_internal.h"

#include <QMetaObject>
#include <QSocketNotifier>

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
using socket_internal::Text;

int StartConnect(int fd, const sockaddr_in& to) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return 0;
    // A non-blocking connect interrupted by a signal goes on in the background.
    return errno == EINTR ? EINPROGRESS : errno;
}

} // namespace

TcpClient::TcpClient(QObject* parent)
    : QObject(parent), FSocket(std::make_shared<TcpConnection>()) {}

TcpClient::~TcpClient() {
    // No events from a dying endpoint; the worker may keep the object, closed.
    FSocket->Release(true);
    delete Notifier;
    if (Epoll >= 0) ::close(Epoll);
}

void TcpClient::Raise(const ESocketError& error) {
    if (OnError)
        OnError(error);
    else
        RaiseToApplication(error);
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

void TcpClient::EnsureEpoll() {
    if (Epoll >= 0) return;
    Epoll = CreateEpoll();
    Notifier = new QSocketNotifier(Epoll, QSocketNotifier::Read, this);
    connect(Notifier, &QSocketNotifier::activated, this, &TcpClient::Notified);
}

void TcpClient::Open() {
    if (FState != TState::Closed) return;
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
                Raise(AsyncSocketError(error));
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
        if (!std::exchange(FSocket->Held, false)) FSocket->Release(true);
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
        Raise(AsyncSocketError(error));
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

} // namespace relvane
