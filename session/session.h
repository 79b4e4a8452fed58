#pragma once
// One connection session, shared by the desktop program and the headless
// peer: the server and client endpoints, the one-peer rule, the worker of the
// connection in use, the connect stage, the peer's name, the listening side's
// handshake, the disconnect notice and the frames a user sends (chat, the
// send request). The session is the worker's host; what a front end shows
// it passes on as signals. Everything here runs on the thread that owns the
// session (the user-interface thread), and nothing here waits in a nested
// event loop: every wait is a state, ended by a socket event, a stage change,
// a timer or the user.

#include "platform/error.h"
#include "protocol/host.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace relvane {

class ConnectionWorker;
class TcpClient;
class TcpConnection;
class TcpServer;
struct TransferProgress;

enum class SessionState : std::uint8_t {
    Idle,        // no attempt (a server whose peer left may still listen)
    Listening,   // a server attempt waits for a peer
    Handshaking, // a server attempt drives the handshake with a peer
    Connecting,  // a client attempt: connecting, or waiting for the peer's handshake
    Connected,   // stage 4: files and chat may go
};

// What the peers agree on in the handshake and where files arrive.
struct SessionSettings {
    QString UserName; // empty goes on the wire as "NoName"
    bool UseCompress = true;
    bool UseResume = true;
    QString ReceiveFolder;
    int CompressionThreads = 0; // for the files sent; 0: one per core, at least 2
};

// "接続されてません"
[[nodiscard]] QString NotConnectedText();
// "中止しました"
[[nodiscard]] QString CancelledText();
// The name sent for `userName`: a peer never sees an empty name.
[[nodiscard]] QString WireUserName(const QString& userName);
// A chat line cut, at a character boundary, to what one frame can carry.
[[nodiscard]] QString CutChatText(const QString& text);

class Session : public QObject {
    Q_OBJECT
public:
    explicit Session(QObject* parent = nullptr);
    // Ends whatever is in use and waits (bounded) for the workers to stop.
    ~Session() override;

    [[nodiscard]] const SessionSettings& Settings() const { return FSettings; }
    void SetSettings(const SessionSettings& settings) { FSettings = settings; }
    [[nodiscard]] int Port() const;
    // Fails with "ソケットを使用中は値を変更できません" while an endpoint is open.
    void SetPort(int port);
    // How long a peer that connected to a listening session may take to
    // answer the first handshake step before the session drops it.
    void SetFirstAnswerLimitMs(int ms) { FirstAnswerLimitMs = ms; }

    // ---- Attempts (each only from Idle; otherwise nothing happens).
    // Opens the server (fails with the socket error) and waits for a peer; a
    // peer that connected since the last peer left is taken at once.
    void Listen();
    // Connects to a dotted IPv4 address; the peer drives the handshake.
    void Connect(const QString& address);
    // The user gives the attempt up: attemptEnded(Cancelled) follows, after
    // connectionLost() when a connection had been made.
    void Cancel();

    // ---- The connection in use.
    // Sends the disconnect notice and releases the connection at once
    // (a server stops listening too); connectionLost() follows.
    void Disconnect();
    // Queues a chat line (cut to one frame); false when nothing is connected.
    bool SendChat(const QString& text);
    // The same for a Chat frame built by the chat window.
    bool SendChatFrame(const QByteArray& frame);
    // Offers `paths` to the peer. Fails with the reason when the list cannot
    // go (see CheckSendList) or nothing is connected.
    void SendFiles(const QStringList& paths);
    // Ends everything quietly: no signal follows. For the program's exit.
    void Shutdown();

    [[nodiscard]] SessionState State() const { return FState; }
    [[nodiscard]] ConnectStage Stage() const { return FStage; }
    [[nodiscard]] bool IsConnected() const { return FState == SessionState::Connected; }
    [[nodiscard]] bool HandshakeFailed() const { return FHandshakeFailed; }
    [[nodiscard]] bool Listening() const;
    [[nodiscard]] const QString& PeerName() const { return FPeerName; }
    // The peer's host name by reverse lookup, or its address.
    [[nodiscard]] QString PeerHostName() const;
    [[nodiscard]] QString PeerAddress() const;
    [[nodiscard]] bool CompressOn() const;
    [[nodiscard]] bool ResumeOn() const;
    // The worker of the connection in use and its counters, while there is one.
    [[nodiscard]] ConnectionWorker* Worker() const;
    [[nodiscard]] std::shared_ptr<TransferProgress> Progress() const;
    // Workers still running, the one in use included.
    [[nodiscard]] int RunningWorkers() const { return static_cast<int>(Workers.size()); }

signals:
    void stateChanged(relvane::SessionState state);
    void stageChanged(relvane::ConnectStage stage);
    // A listening session found a peer and checks it ("接続情報チェック中・・・").
    void handshakeStarted();
    // A listening session dropped a peer before the handshake completed and
    // waits for the next one.
    void peerDropped();
    void connected();
    // The attempt is over without a connection (cancelled, the handshake
    // failed); the front end's wait ends.
    void attemptEnded(relvane::ErrorKind kind, const QString& text);
    // A connection that had been made ended; its resources are released.
    void connectionLost();
    // A failure to show (from the worker or the handshake). When it ended the
    // connection, connectionLost() follows once the slot has returned.
    void failure(relvane::ErrorKind kind, const QString& text);

    // The worker's calls for the windows.
    void chatReceived(const QString& peerName, const QString& text);
    void receiveStarted();
    void receiveEnded();
    void receiveCountKnown(int fileCount);
    void receiveNameKnown(const QString& name);
    void sendStarted(const QStringList& files);
    void sendNameKnown(const QString& path);
    void sendEnded();
    void sendAllowed();
    void fileReceived(const QString& path);
    void listSent();
    void listReceived();

private:
    class WorkerLink;
    struct WorkerEntry;
    friend class WorkerLink;

    void SetState(SessionState state);
    void SetStage(ConnectStage stage);

    // Endpoint events.
    void Accepted(const std::shared_ptr<TcpConnection>& socket);
    void ServerPeerClosed(const std::shared_ptr<TcpConnection>& socket);
    void ClientConnected(const std::shared_ptr<TcpConnection>& socket);
    void ClientClosed();

    // The listening side.
    void TakeNextPendingPeer();
    void StartHandshake(const std::shared_ptr<TcpConnection>& socket);
    void DropCandidate();
    void FirstAnswerMissing();

    // The worker's calls (through its link).
    void WorkerStage(ConnectStage stage);
    void WorkerHandshakeFailed();
    void WorkerError(const Error& error);

    // The worker of the connection in use.
    void StartWorker(const std::shared_ptr<TcpConnection>& socket, int side);
    void StopWorker();
    void Reap(ConnectionWorker* worker);
    // Closes the connection in use without a signal; a server stops
    // listening when `stopListening`.
    void Release(bool sendNotice, bool stopListening);
    void Queue(const QByteArray& frame);
    // The peer closed: what it sent last (often the reply that completes a
    // list) is handled first, for a bounded time, then `done` runs.
    void AfterPeersLastFrames(std::function<void()> done);

    SessionSettings FSettings;
    std::unique_ptr<TcpServer> Server;
    std::unique_ptr<TcpClient> Client;
    SessionState FState = SessionState::Idle;
    ConnectStage FStage = ConnectStage::Idle;
    bool FHandshakeFailed = false;
    QString FPeerName;

    // The connection in use: the accepted peer (server) or the client's.
    std::shared_ptr<TcpConnection> Connection;
    bool ServerSide = false;
    // Peers that connected while no server attempt could take them.
    std::vector<std::shared_ptr<TcpConnection>> Pending;
    QTimer FirstAnswerTimer;
    int FirstAnswerLimitMs = 10000;


    std::vector<std::unique_ptr<WorkerEntry>> Workers;
    WorkerEntry* Current = nullptr;
    bool ShuttingDown = false;
};

} // namespace relvane
