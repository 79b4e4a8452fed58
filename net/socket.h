#pragma once
// Asynchronous IPv4 TCP endpoints on POSIX sockets. Opening returns at once;
// what happens later (connected, accepted, ended, failed) is reported through
// the On* callbacks on the thread that owns the endpoint (the user-interface
// thread), while it dispatches its Qt event queue.

#include "net/connection.h"
#include "platform/error.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

class QSocketNotifier;

namespace relvane {

// "Windows ソケットエラー： %0:s (%1:d) [API '%2:s']" for errno `code`.
[[nodiscard]] ESocketError SocketApiError(int code, const char* api);
// "非同期ソケットエラー %d"
[[nodiscard]] ESocketError AsyncSocketError(int code);

// Errors found in a notification have no caller to return to; they go to the
// application's default error display. Defaults to a qWarning.
using TSocketErrorHandler = std::function<void(const ESocketError&)>;
void SetSocketErrorHandler(TSocketErrorHandler handler);
void RaiseToApplication(const ESocketError& error);

// The connection object (`TCustomWinSocket`). Shared: the protocol worker
// may hold it after the endpoint that made it has been closed.
class TcpConnection : public IConnection {
public:
    TcpConnection();
    ~TcpConnection() override;
    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;

    [[nodiscard]] int BytesWaiting() override;
    [[nodiscard]] int ReceiveBytes(void* buffer, int n) override;
    [[nodiscard]] int SendBytes(const void* buffer, int n) override;
    [[nodiscard]] int SendBytesMore(const void* buffer, int n) override;
    [[nodiscard]] int SendPart(const void* buffer, int n) override;
    [[nodiscard]] bool IsConnected() const override { return Connected.load(); }
    bool WaitReady(int timeoutMs, int wakeFd, bool writable) override;
    bool WaitWritable(int timeoutMs) override;
    // Blocks until incoming data (or a close) is noticed, or timeoutMs passed.
    void WaitReadable(int timeoutMs);

    // Reverse lookup of the peer's address; empty when not connected or no name.
    [[nodiscard]] QString PeerHostName();
    // The peer's address in dotted-quad form; empty when not connected.
    [[nodiscard]] QString PeerAddress();

    // Sends `frame` only if the kernel takes all of it at once and no other
    // thread is sending: never waits. For courtesy frames before a close.
    bool TrySendWhole(const QByteArray& frame);

    // Graceful close: half-close, drain what still arrives for a short bounded
    // time (off the calling thread), then close. IsConnected reads false at once;
    // the endpoint that made the connection reports it as ended.
    void Close();
    // Called from the endpoint's disconnect event: the connection stays open
    // after the event, with what the peer sent last still readable, until
    // its owner calls Close().
    void HoldAfterPeerClose() { Held = true; }

private:
    friend class TcpClient;
    friend class TcpServer;
    void Attach(int fd); // takes a connecting descriptor; IsConnected stays false
    void MarkConnected();
    [[nodiscard]] int PendingError(); // SO_ERROR of a connect attempt
    // Notifications of the owning endpoint: an epoll set, the key the socket
    // has in it, and how a hard failure on another thread reaches the endpoint.
    bool Watch(int epoll, std::uint64_t key, std::uint32_t events);
    void Rewatch(std::uint32_t events);
    void Unwatch();
    void SetHardCloseHook(std::function<void()> hook);
    void Release(bool graceful);
    void CloseNow() { Release(false); }
    [[noreturn]] void HardFailure(int code, const char* api); // closes, notifies, throws
    [[nodiscard]] int PollFd(short events, int timeoutMs);

    [[nodiscard]] int Send(const void* buffer, int n, int flags);

    mutable std::recursive_mutex Lock;
    // A frame sent in pieces is not complete yet: nothing may go between.
    bool MidFrame = false;
    int Fd = -1;
    std::atomic<bool> Connected{false};
    int WatchEpoll = -1;
    std::uint64_t WatchKey = 0;
    // Set by the endpoint so a hard failure inside SendBytes/ReceiveBytes can
    // report the close to the user-interface thread.
    std::function<void()> OnHardClose;
    // User-interface thread only: the server has raised (or skipped) the
    // disconnect event for this connection.
    bool DisconnectReported = false;
    bool Held = false; // see HoldAfterPeerClose
};

using TSocketNotifyEvent =
    std::function<void(QObject* sender, const std::shared_ptr<TcpConnection>& socket)>;

// Connecting endpoint (`TClientSocket`). Owns one connection object for its
// whole life.
class TcpClient : public QObject {
    Q_OBJECT
public:
    explicit TcpClient(QObject* parent = nullptr);
    ~TcpClient() override;

    [[nodiscard]] int Port() const { return FPort; }
    void SetPort(int port);
    [[nodiscard]] QString Address() const { return FAddress; }
    void SetAddress(const QString& address);
    [[nodiscard]] bool Active() const { return FState == TState::Connected; }
    // Starts connecting (no-op unless closed); the outcome arrives as an event.
    void Open();
    // Drops the connection or the attempt; no event follows.
    void Close();
    [[nodiscard]] std::shared_ptr<TcpConnection> Socket() const { return FSocket; }

    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnDisconnect;
    // Errors found in a notification; unset, they go to RaiseToApplication.
    TSocketErrorHandler OnError;

private:
    void Raise(const ESocketError& error);
    enum class TState { Closed, Connecting, Connected, Disconnecting };
    void Notified();
    void ConnectFinished(std::uint32_t events);
    void RaiseDisconnect();
    void HardClosed();
    void FailOpen(const ESocketError& error);
    void EnsureEpoll();

    int FPort = 2010;
    QString FAddress;
    TState FState = TState::Closed;
    // Identifies the current attempt, so late notifications of an abandoned
    // one are recognised and dropped.
    std::uint64_t Attempt = 0;
    std::shared_ptr<TcpConnection> FSocket;
    int Epoll = -1;
    QSocketNotifier* Notifier = nullptr;
};

// Listening endpoint (`TServerSocket`) with the list of accepted connections.
class TcpServer : public QObject {
    Q_OBJECT
public:
    explicit TcpServer(QObject* parent = nullptr);
    ~TcpServer() override;

    [[nodiscard]] int Port() const { return FPort; }
    void SetPort(int port);
    [[nodiscard]] bool Active() const { return FActive; }
    // Starts listening (no-op when listening); throws when the port is taken.
    void Open();
    // Stops listening and closes every accepted connection.
    void Close();

    [[nodiscard]] int ConnectionCount() const;
    [[nodiscard]] std::shared_ptr<TcpConnection> ConnectionAt(int index) const;

    TSocketNotifyEvent OnAccept;
    TSocketNotifyEvent OnClientDisconnect;
    // Errors found in a notification; unset, they go to RaiseToApplication.
    TSocketErrorHandler OnError;

private:
    void Notified();
    void AcceptPending();
    void ClientClosed(const std::shared_ptr<TcpConnection>& socket);
    void Raise(const ESocketError& error);
    void HardClosed(const std::weak_ptr<TcpConnection>& socket);
    [[nodiscard]] std::shared_ptr<TcpConnection> FindByKey(std::uint64_t key) const;

    int FPort = 2010;
    bool FActive = false;
    int Listener = -1;
    int Epoll = -1;
    std::uint64_t NextKey = 1; // 0 is the listener
    QSocketNotifier* Notifier = nullptr;
    mutable std::mutex ListLock;
    std::vector<std::shared_ptr<TcpConnection>> Connections;
};

} // namespace relvane
