#pragma once
// One connection session, shared by the desktop program and the headless
// peer: the server and client endpoints, the one-peer rule, the worker of the
// connection in use, the connect stage, the peer's name, the disconnect
// notice and the frames a user sends (chat, the send request). It re-emits
// the worker's transfer events as signals; the front ends decide what to
// show. Everything here runs on the thread that owns the session (the
// user-interface thread), and nothing here runs a nested event loop: every
// wait is a state, ended by a socket event, a worker event, a timer or the
// user.

#include "platform/error.h"
#include "protocol/progress.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace relvane {

class ConnectionWorker;
class TcpClient;
class TcpConnection;
class TcpServer;

enum class SessionState : std::uint8_t {
    Idle,        // no attempt (a server whose peer left may still listen)
    Listening,   // a server attempt waits for a peer
    Handshaking, // a server attempt drives the handshake with a peer
    Connecting,  // a client attempt: connecting, or waiting for the peer's handshake
    Connected,   // stage 4: files and chat may go
};

// What the peers agree on in the handshake and where files arrive: taken
// by each connection when it comes about.
struct SessionSettings {
    QString UserName; // empty goes on the wire as "NoName"
    bool UseCompress = true;
    bool UseResume = true;
    QString ReceiveFolder;
    int CompressionThreads = 0;     // for the files sent; 0: one per core, at least 2
    bool OverwriteExisting = false; // a received file replaces one of the same name
    // With a copy of this program: files of any size, folders, verification.
    // Off for a peer that cannot bear frames it does not know.
    bool Extensions = true;
};

// "接続されてません", "中止しました", "切断しました"
[[nodiscard]] QString NotConnectedText();
[[nodiscard]] QString CancelledText();
[[nodiscard]] QString DisconnectedText();
// A chat line cut, at a character boundary, to what one frame can carry.
[[nodiscard]] QString CutChatText(const QString& text);

class Session : public QObject {
    Q_OBJECT
public:
    explicit Session(QObject* parent = nullptr);
    // Ends whatever is in use and waits for the workers to stop.
    ~Session() override;

    [[nodiscard]] const SessionSettings& Settings() const { return FSettings; }
    void SetSettings(const SessionSettings& settings) { FSettings = settings; }
    [[nodiscard]] int Port() const;
    // Fails with "ソケットを使用中は値を変更できません" while an endpoint is open.
    void SetPort(int port);
    // How long a peer that connected to a listening session may take for the
    // whole handshake, counted from its arrival, before it is dropped.
    void SetHandshakeLimitMs(int ms) { HandshakeLimit = std::chrono::milliseconds(ms); }
    // A listening session drops a peer that failed the handshake and serves
    // the next, instead of ending the attempt (the headless peer).
    void SetServeNextAfterFailedHandshake(bool on) { ServeNextAfterFailure = on; }

    // ---- Attempts (each only from Idle; otherwise nothing happens).
    // Opens the server (fails with the socket error) and waits for a peer; a
    // peer that connected since the last peer left is taken at once.
    void Listen();
    // Connects to a dotted IPv4 address; the peer drives the handshake.
    void Connect(const QString& address);
    // The same at another port than the one this session listens on.
    void Connect(const QString& address, int port);
    // Closes the peers that connected since the last peer left (peerWaiting).
    void RefusePending();
    // The user gives the attempt up: attemptEnded(Cancelled) follows, after
    // connectionLost() when a connection had been made.
    void Cancel();

    // ---- The connection in use.
    // Sends the lines still queued and the disconnect notice (bounded), then
    // releases the connection (a server stops listening too); connectionLost()
    // follows.
    void Disconnect();
    // Queues a chat line (cut to one frame); false when nothing is connected.
    bool SendChat(const QString& text);
    // The name a file goes by on the wire: what follows its last separator.
    [[nodiscard]] static QString SentName(const QString& path);
    // Why `paths` cannot go as one list, or empty when they can: to any peer,
    // or (`toThisProgram`) to a copy of this program with its extensions.
    [[nodiscard]] static QString CheckFiles(const QStringList& paths, bool toThisProgram = false);
    // What the user is told once when names of `paths` go in their Windows
    // forms ("〜" as "～", ...); empty when none do.
    [[nodiscard]] static QString NameNotice(const QStringList& paths);
    // Offers `paths` to the peer. Fails with the reason when the list cannot
    // go (see CheckSendList) or nothing is connected.
    void SendFiles(const QStringList& paths);
    // Ends everything quietly: no signal follows. For the program's exit.
    // The peer gets the lines still queued and the disconnect notice.
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
    // The peer is a copy of this program and both verify every file.
    [[nodiscard]] bool VerifyOn() const;
    // What both copies agreed on beyond the catalogue (Capabilities); 0
    // until the peer's offer came, and for good with other peers.
    [[nodiscard]] std::uint8_t Agreed() const { return FAgreed; }
    // The counters of the connection in use, while there is one.
    [[nodiscard]] std::shared_ptr<TransferProgress> Progress() const;
    // Whether a list is under way in that direction.
    [[nodiscard]] bool ListOpen(Direction direction) const {
        return OpenLists[static_cast<int>(direction)];
    }
    // The files of the send list that ended last which did not arrive: those
    // after its last fileEnded(Send), as listStarted(Send) named them. Set
    // before listEnded(Send).
    [[nodiscard]] const QStringList& Undelivered() const { return FUndelivered; }
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
    // A peer connected to this idle session, which still listens after its
    // last peer left: Listen() serves it, RefusePending() turns it away.
    void peerWaiting(const QString& address);
    void connected();
    // The attempt is over without a connection (cancelled, the handshake
    // failed); the front end's wait ends.
    void attemptEnded(relvane::ErrorKind kind, const QString& text);
    // A connection that had been made ended; its resources are released and
    // every list under way has ended (listEnded came first).
    void connectionLost();
    // An error that ended the connection; connectionLost() follows.
    void failure(relvane::ErrorKind kind, const QString& text);
    // An endpoint's error found outside any call (a refused connect): the
    // wait goes on.
    void socketError(const relvane::ESocketError& error);

    void chatReceived(const QString& peerName, const QString& text);
    // The transfers, each direction on its own.
    void listStarted(relvane::Direction direction, int count, const QStringList& files);
    void fileStarted(relvane::Direction direction, const relvane::FileStart& file);
    void fileEnded(relvane::Direction direction, int index, const QString& path);
    void listEnded(relvane::Direction direction, const relvane::ListEnd& end);
    // A file both copies hashed: its digest (XXH3-128 or SHA-256) in hex,
    // before fileEnded.
    void fileVerified(relvane::Direction direction, int index, const QString& path,
                      const QString& digest);
    // The peer is a copy of this program: what both take beyond the catalogue.
    void capabilitiesAgreed(int caps);

private:
    class WorkerLink;
    struct WorkerEntry;
    friend class WorkerLink;
    struct PendingPeer {
        std::shared_ptr<TcpConnection> Socket;
        std::chrono::steady_clock::time_point Since; // arrival, or the server attempt
        bool VersionSent = false;
    };

    void SetState(SessionState state);
    void SetStage(ConnectStage stage);

    // Endpoint events.
    void Accepted(const std::shared_ptr<TcpConnection>& socket);
    void PeerClosedConnection(const std::shared_ptr<TcpConnection>& socket);
    void ClientConnected(const std::shared_ptr<TcpConnection>& socket);

    // The listening side.
    void TakeNextPendingPeer();
    void StartHandshake(const PendingPeer& peer);
    void DropCandidate();
    void ClosePending();

    // The worker's events (through its link).
    void WorkerStage(ConnectStage stage, const QString& peerName);
    void WorkerHandshakeFailed(int why);
    void WorkerFailed(ErrorKind kind, const QString& text);
    void WorkerPeerClosed();
    void WorkerList(Direction direction, bool open);
    void WorkerOfferUnanswered() { OfferRejected = true; }

    // The worker of the connection in use.
    void StartWorker(const std::shared_ptr<TcpConnection>& socket, Role role,
                     std::chrono::steady_clock::time_point since, bool versionSent);
    void StopWorker();
    void Reap(ConnectionWorker* worker);
    // Closes the connection in use without a signal but the open lists'
    // ends; a server stops listening when `stopListening`.
    void Release(bool sendNotice, bool stopListening);
    // The peer closed and what it sent last is handled (or the wait for it
    // ran out): the connection goes.
    void FinishPeerClose();
    // The worker in use may still have events on their way here.
    [[nodiscard]] bool WorkerStillTelling() const;
    void EndOpenLists();
    // Keeps the files of a send list that ended without all of them.
    void NoteSendEnd(bool done);

    SessionSettings FSettings;
    std::unique_ptr<TcpServer> Server;
    std::unique_ptr<TcpClient> Client;
    SessionState FState = SessionState::Idle;
    ConnectStage FStage = ConnectStage::Idle;
    bool FHandshakeFailed = false;
    QString FPeerName;
    std::chrono::milliseconds HandshakeLimit{10000};
    bool ServeNextAfterFailure = false;

    // The connection in use: the accepted peer (server) or the client's.
    std::shared_ptr<TcpConnection> Connection;
    bool ServerSide = false;
    // The peer closed the connection in use; its last frames are handled.
    bool PeerClosing = false;
    QTimer PeerCloseTimer;
    // Peers that connected while no server attempt could take them.
    std::vector<PendingPeer> Pending;
    std::array<bool, 2> OpenLists{};
    std::uint8_t FAgreed = 0;
    bool OfferRejected = false; // the peer closed right after our offer
    // The send list under way and how many of its files arrived.
    QStringList SendList;
    int SendDelivered = 0;
    QStringList FUndelivered;

    std::vector<std::unique_ptr<WorkerEntry>> Workers;
    WorkerEntry* Current = nullptr;
};

} // namespace relvane
