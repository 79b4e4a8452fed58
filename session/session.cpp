#include "session/session.h"

#include "net/socket.h"
#include "platform/sjis.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/sendlist.h"
#include "protocol/worker.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>

namespace relvane {

namespace {

// Peers kept while no server attempt can take them; more are turned away.
constexpr std::size_t MaxPendingPeers = 4;
// A worker reports one stage change per call; it needs no more than this to
// see its stop request once its connection is closed.
constexpr int WorkerEndLimitMs = 10000;
// Chat lines still queued when the user disconnects go first, for this long.
constexpr int LastLinesLimitMs = 500;
// What a closing peer sent last is read for at most this long.
constexpr int LastFramesLimitMs = 2000;

} // namespace

QString NotConnectedText() {
    return QStringLiteral("接続されてません");
}

QString CancelledText() {
    return QStringLiteral("中止しました");
}

QString WireUserName(const QString& userName) {
    // A name frame of length 0 is never dispatched by the peer's receive
    // loop, and both sides would wait at the name step for ever.
    return userName.isEmpty() ? QStringLiteral("NoName") : userName;
}

QString CutChatText(const QString& text) {
    const QByteArray payload = TextPayload(text);
    if (payload.size() <= MaxPayload) return text;
    // The peer drops the connection on a longer frame: send what fits.
    return FromShiftJis(CutShiftJis(payload, MaxPayload));
}

// The worker's host for one connection. While the connection is in use it
// passes every call to the session; once the connection has been released
// it is detached, and whatever the ended worker still asks reaches nothing.
class Session::WorkerLink final : public IWorkerHost {
public:
    explicit WorkerLink(Session& session) : S(session) {}
    void Detach() { Attached = false; }

    QObject* UiContext() override { return &S; }
    QString UserName() override { return WireUserName(S.FSettings.UserName); }
    bool UseCompress() override { return S.FSettings.UseCompress; }
    bool UseResume() override { return S.FSettings.UseResume; }
    QString ReceiveFolder() override { return S.FSettings.ReceiveFolder; }
    // Idle matches no handshake step: a detached worker's handshake goes nowhere.
    ConnectStage Stage() override { return Attached ? S.FStage : ConnectStage::Idle; }
    void SetStage(ConnectStage stage) override {
        if (Attached) S.WorkerStage(stage);
    }
    void SetHandshakeFailed() override {
        if (Attached) S.WorkerHandshakeFailed();
    }
    void SetPeerName(const QString& name) override {
        if (Attached) S.FPeerName = name;
    }
    QString PeerName() override { return S.FPeerName; }
    void ShowChat(const QString& peerName, const QString& text) override {
        if (Attached) emit S.chatReceived(peerName, text);
    }
    void ShowError(const Error& error) override {
        if (Attached) S.WorkerError(error);
    }
    void ShowRecvWindow() override {
        if (Attached) emit S.receiveStarted();
    }
    void HideRecvWindow() override {
        if (Attached) emit S.receiveEnded();
    }
    void ShowRecvCount(int fileCount) override {
        if (Attached) emit S.receiveCountKnown(fileCount);
    }
    void ShowRecvName(const QString& name) override {
        if (Attached) emit S.receiveNameKnown(name);
    }
    void ShowSendWindow(const QStringList& files) override {
        if (Attached) emit S.sendStarted(files);
    }
    void ShowSendName(const QString& path) override {
        if (Attached) emit S.sendNameKnown(path);
    }
    void HideSendWindow() override {
        if (Attached) emit S.sendEnded();
    }
    void EnableSend() override {
        if (Attached) emit S.sendAllowed();
    }
    void FileReceived(const QString& path) override {
        if (Attached) emit S.fileReceived(path);
    }
    void ListSent() override {
        if (Attached) emit S.listSent();
    }
    void ListReceived() override {
        if (Attached) emit S.listReceived();
    }

private:
    Session& S;
    bool Attached = true;
};

struct Session::WorkerEntry {
    std::unique_ptr<WorkerLink> Link;
    std::unique_ptr<ConnectionWorker> Thread; // declared last: destroyed before its link
};

Session::Session(QObject* parent)
    : QObject(parent), Server(std::make_unique<TcpServer>()),
      Client(std::make_unique<TcpClient>()) {
    Server->OnAccept = [this](QObject*, const std::shared_ptr<TcpConnection>& socket) {
        Accepted(socket);
    };
    Server->OnClientDisconnect = [this](QObject*, const std::shared_ptr<TcpConnection>& socket) {
        ServerPeerClosed(socket);
    };
    Client->OnConnect = [this](QObject*, const std::shared_ptr<TcpConnection>& socket) {
        ClientConnected(socket);
    };
    Client->OnDisconnect = [this](QObject*, const std::shared_ptr<TcpConnection>&) {
        ClientClosed();
    };
    FirstAnswerTimer.setSingleShot(true);
    connect(&FirstAnswerTimer, &QTimer::timeout, this, &Session::FirstAnswerMissing);
}

Session::~Session() {
    Shutdown();
}

int Session::Port() const {
    return Server->Port();
}

void Session::SetPort(int port) {
    Server->SetPort(port);
    Client->SetPort(port);
}

bool Session::Listening() const {
    return Server->Active();
}

QString Session::PeerHostName() const {
    return Connection ? Connection->PeerHostName() : QString();
}

QString Session::PeerAddress() const {
    return Connection ? Connection->PeerAddress() : QString();
}

ConnectionWorker* Session::Worker() const {
    return Current ? Current->Thread.get() : nullptr;
}

std::shared_ptr<TransferProgress> Session::Progress() const {
    return Current ? Current->Thread->SharedProgress() : nullptr;
}

bool Session::CompressOn() const {
    return Current && Current->Thread->CompressOn();
}

bool Session::ResumeOn() const {
    return Current && Current->Thread->ResumeOn();
}

void Session::SetState(SessionState state) {
    if (FState == state) return;
    FState = state;
    emit stateChanged(state);
}

void Session::SetStage(ConnectStage stage) {
    if (FStage == stage) return;
    FStage = stage;
    emit stageChanged(stage);
}

// ---- Attempts

void Session::Listen() {
    if (FState != SessionState::Idle) return;
    FHandshakeFailed = false;
    if (!Server->Active()) Server->SetActive(true); // a failure leaves everything idle
    ServerSide = true;
    SetState(SessionState::Listening);
    TakeNextPendingPeer();
}

void Session::Connect(const QString& address) {
    if (FState != SessionState::Idle) return;
    FHandshakeFailed = false;
    ServerSide = false;
    Client->SetAddress(address);
    SetState(SessionState::Connecting);
    try {
        Client->SetActive(true);
    } catch (...) {
        SetState(SessionState::Idle);
        throw;
    }
}

void Session::Cancel() {
    switch (FState) {
    case SessionState::Idle:
    case SessionState::Connected:
        return;
    case SessionState::Listening:
    case SessionState::Handshaking:
        FirstAnswerTimer.stop();
        DropCandidate();
        for (const auto& peer : Pending)
            peer->Close();
        Pending.clear();
        Server->SetActive(false);
        break;
    case SessionState::Connecting: {
        const bool hadConnection = Connection != nullptr;
        Release(false, false);
        if (hadConnection) {
            SetState(SessionState::Idle);
            emit connectionLost();
        }
        break;
    }
    }
    SetStage(ConnectStage::Idle);
    SetState(SessionState::Idle);
    emit attemptEnded(ErrorKind::Cancelled, CancelledText());
}

// ---- The connection in use

void Session::Disconnect() {
    if (!Connection) return;
    Release(true, true);
    SetState(SessionState::Idle);
    emit connectionLost();
}

bool Session::SendChat(const QString& text) {
    return SendChatFrame(ChatFrame(CutChatText(text)));
}

bool Session::SendChatFrame(const QByteArray& frame) {
    if (!Current || !Connection || !Connection->IsConnected()) return false;
    Queue(frame);
    return true;
}

void Session::SendFiles(const QStringList& paths) {
    const QString refusal = CheckSendList(paths);
    if (!refusal.isEmpty()) throw Error(refusal);
    if (!Current || FState != SessionState::Connected) throw Error(NotConnectedText());
    Current->Thread->RequestSend(paths);
}

void Session::Shutdown() {
    if (ShuttingDown) return;
    ShuttingDown = true;
    FirstAnswerTimer.stop();
    if (Connection) Release(true, true);
    for (const auto& peer : Pending)
        peer->Close();
    Pending.clear();
    Server->SetActive(false);
    Client->SetActive(false);
    FState = SessionState::Idle;
    FStage = ConnectStage::Idle;
    // A worker may wait for a host call on this thread: keep dispatching.
    const QDeadlineTimer deadline(WorkerEndLimitMs);
    while (!Workers.empty() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        for (auto at = Workers.begin(); at != Workers.end();) {
            if ((*at)->Thread->isFinished()) {
                std::unique_ptr<WorkerEntry> ended = std::move(*at);
                at = Workers.erase(at);
                ended.reset();
            } else {
                ++at;
            }
        }
    }
    ShuttingDown = false;
}

// ---- Endpoint events

void Session::Accepted(const std::shared_ptr<TcpConnection>& socket) {
    if (FState == SessionState::Listening && !Connection) {
        StartHandshake(socket);
        return;
    }
    // One peer at a time. A peer that comes while no attempt can serve it
    // (the last peer left, or another is being checked) waits for the next
    // server attempt, as it would for any server.
    const bool canWait = FState == SessionState::Handshaking ||
                         (FState == SessionState::Idle && !Connection);
    if (canWait && Pending.size() < MaxPendingPeers) {
        Pending.push_back(socket);
        return;
    }
    socket->Close();
}

void Session::ServerPeerClosed(const std::shared_ptr<TcpConnection>& socket) {
    const auto pending = std::find(Pending.begin(), Pending.end(), socket);
    if (pending != Pending.end()) {
        Pending.erase(pending);
        return;
    }
    if (!Connection || socket != Connection || !ServerSide) return;
    if (FState == SessionState::Handshaking) {
        // A port probe, or a peer that gave up: wait for the next.
        DropCandidate();
        emit peerDropped();
        TakeNextPendingPeer();
        return;
    }
    AfterPeersLastFrames([this, socket] {
        if (Connection != socket) return;
        // The server goes on listening.
        Release(false, false);
        SetState(SessionState::Idle);
        emit connectionLost();
    });
}

void Session::ClientConnected(const std::shared_ptr<TcpConnection>& socket) {
    if (FState != SessionState::Connecting) {
        Client->SetActive(false);
        return;
    }
    Connection = socket;
    StartWorker(socket, 1);
}

void Session::ClientClosed() {
    if (!Connection || ServerSide) return; // an attempt that never connected
    const std::shared_ptr<TcpConnection> closed = Connection;
    AfterPeersLastFrames([this, closed] {
        if (Connection != closed) return;
        Release(false, false);
        if (FState == SessionState::Connected) {
            SetState(SessionState::Idle);
        }
        // During an attempt the wait goes on until the user gives up.
        emit connectionLost();
    });
}

void Session::AfterPeersLastFrames(std::function<void()> done) {
    // Inside the endpoint's close event, while the connection still holds
    // what the peer sent last: once the event returns the endpoint lets it
    // go. The worker may need this thread for a host call meanwhile, so
    // events are dispatched, for a bounded time and without user input.
    const std::shared_ptr<TcpConnection> connection = Connection;
    const QDeadlineTimer deadline(LastFramesLimitMs);
    while (Current && !Current->Thread->isFinished() && Connection == connection &&
           (connection->BytesWaiting() > 0 || Current->Thread->HandlingInput()) &&
           !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
    }
    done();
}

// ---- The listening side

void Session::TakeNextPendingPeer() {
    while (FState == SessionState::Listening && !Connection && !Pending.empty()) {
        const std::shared_ptr<TcpConnection> next = Pending.front();
        Pending.erase(Pending.begin());
        if (next->IsConnected()) StartHandshake(next);
    }
}

void Session::StartHandshake(const std::shared_ptr<TcpConnection>& socket) {
    Connection = socket;
    StartWorker(socket, 0);
    SetState(SessionState::Handshaking);
    emit handshakeStarted();
    FirstAnswerTimer.start(FirstAnswerLimitMs);
    Queue(VersionRequestFrame());
}

void Session::DropCandidate() {
    if (!Connection || !ServerSide) return;
    FirstAnswerTimer.stop();
    const std::shared_ptr<TcpConnection> dropped = Connection;
    StopWorker();
    Connection.reset();
    dropped->Close();
    SetStage(ConnectStage::Idle);
    if (FState == SessionState::Handshaking) SetState(SessionState::Listening);
}

void Session::FirstAnswerMissing() {
    if (FState != SessionState::Handshaking || FStage != ConnectStage::Opened) return;
    DropCandidate();
    emit peerDropped();
    TakeNextPendingPeer();
}

// ---- The worker's calls

void Session::WorkerStage(ConnectStage stage) {
    SetStage(stage);
    if (ServerSide && FState == SessionState::Handshaking) {
        // Each Request goes once the previous Reply has moved the stage on.
        switch (stage) {
        case ConnectStage::Idle:
        case ConnectStage::Opened:
            return;
        case ConnectStage::VersionAgreed:
            FirstAnswerTimer.stop();
            Queue(NameExchangeFrame(false, WireUserName(FSettings.UserName)));
            return;
        case ConnectStage::NamesExchanged:
            Queue(CompressFrame(false, FSettings.UseCompress));
            return;
        case ConnectStage::CompressAgreed:
            Queue(ResumeFrame(false, FSettings.UseResume));
            return;
        case ConnectStage::Connected:
            break;
        }
    }
    if (stage == ConnectStage::Connected &&
        (FState == SessionState::Handshaking || FState == SessionState::Connecting)) {
        // Peers that waited meanwhile are not served by this copy.
        for (const auto& peer : Pending)
            peer->Close();
        Pending.clear();
        SetState(SessionState::Connected);
        emit connected();
    }
}

void Session::WorkerHandshakeFailed() {
    FHandshakeFailed = true;
    if (FState != SessionState::Handshaking && FState != SessionState::Connecting) return;
    // The connection is closed before anyone reads the failure.
    FirstAnswerTimer.stop();
    Release(false, true);
    if (!ServerSide) Client->SetActive(false);
    SetStage(ConnectStage::Idle);
    SetState(SessionState::Idle);
    emit attemptEnded(ErrorKind::HandshakeFailed, HandshakeFailedText());
}

void Session::WorkerError(const Error& error) {
    const ErrorKind kind = error.Kind();
    const QString text = error.Message();
    if (error.KeepsConnection()) {
        // Shown after the worker goes on: a box must not hold a transfer.
        QMetaObject::invokeMethod(
            this, [this, kind, text] { emit failure(kind, text); }, Qt::QueuedConnection);
        return;
    }
    if (ServerSide && FState == SessionState::Handshaking) {
        // A peer that speaks something else before the handshake is done
        // (a port probe, another program) is dropped like one that closed.
        DropCandidate();
        emit peerDropped();
        TakeNextPendingPeer();
        return;
    }
    // Released before anything is shown, so the peer learns of it at once.
    const bool attempt = FState != SessionState::Connected;
    Release(false, ServerSide);
    if (!attempt) SetState(SessionState::Idle);
    QMetaObject::invokeMethod(
        this,
        [this, kind, text] {
            emit failure(kind, text);
            emit connectionLost();
        },
        Qt::QueuedConnection);
}

// ---- Workers

void Session::StartWorker(const std::shared_ptr<TcpConnection>& socket, int side) {
    auto entry = std::make_unique<WorkerEntry>();
    entry->Link = std::make_unique<WorkerLink>(*this);
    const int threads = FSettings.CompressionThreads > 0 ? FSettings.CompressionThreads
                                                         : DefaultCompressionThreads();
    entry->Thread =
        std::make_unique<ConnectionWorker>(*entry->Link, socket, side, false, false, threads);
    ConnectionWorker* thread = entry->Thread.get();
    connect(
        thread, &QThread::finished, this, [this, thread] { Reap(thread); }, Qt::QueuedConnection);
    Current = entry.get();
    Workers.push_back(std::move(entry));
    FPeerName.clear();
    thread->Start();
    SetStage(ConnectStage::Opened);
}

void Session::StopWorker() {
    if (!Current) return;
    Current->Link->Detach();
    Current->Thread->RequestTerminate();
    Current = nullptr;
}

void Session::Reap(ConnectionWorker* worker) {
    const auto at = std::find_if(Workers.begin(), Workers.end(), [worker](const auto& entry) {
        return entry->Thread.get() == worker;
    });
    if (at == Workers.end()) return;
    if (Current == at->get()) {
        // It ended by itself; the connection's own end follows as an event.
        Current->Link->Detach();
        Current = nullptr;
    }
    // Out of the list before it is destroyed: destroying a thread may
    // dispatch events, and with them the end of another worker.
    std::unique_ptr<WorkerEntry> ended = std::move(*at);
    Workers.erase(at);
    ended->Thread->wait();
    ended.reset();
}

void Session::Release(bool sendNotice, bool stopListening) {
    FirstAnswerTimer.stop();
    const std::shared_ptr<TcpConnection> connection = std::move(Connection);
    Connection.reset();
    if (connection && sendNotice) {
        // Lines the user typed last go before the close, for a short time.
        if (Current) Current->Thread->WaitQueueSent(LastLinesLimitMs);
        // A courtesy: the close tells the peer anyway, so it never waits.
        const QByteArray notice = DisconnectFrame();
        [[maybe_unused]] const bool sent = connection->TrySendWhole(notice);
    }
    StopWorker();
    if (ServerSide) {
        if (stopListening) {
            for (const auto& peer : Pending)
                peer->Close();
            Pending.clear();
            Server->SetActive(false); // closes the peer too; no event follows
        } else if (connection) {
            connection->Close();
        }
    } else {
        Client->SetActive(false); // its disconnect event finds nothing in use
    }
    SetStage(ConnectStage::Idle);
}

void Session::Queue(const QByteArray& frame) {
    if (Current) Current->Thread->QueueFrame(frame);
}

} // namespace relvane
