#include "session/session.h"

#include "net/socket.h"
#include "platform/sjis.h"
#include "protocol/capabilities.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/sendlist.h"
#include "protocol/sendplan.h"
#include "protocol/texts.h"
#include "protocol/worker.h"

#include <QDeadlineTimer>

#include <algorithm>

namespace relvane {

namespace {

using Clock = std::chrono::steady_clock;

// The lines queued and the disconnect notice get this long before a close.
constexpr int LastFramesLimitMs = 1000;

} // namespace

QString NotConnectedText() {
    return texts::NotConnected();
}

QString CancelledText() {
    return texts::Cancelled();
}

QString DisconnectedText() {
    return texts::Disconnected();
}

QString CutChatText(const QString& text) {
    const QByteArray payload = TextPayload(text);
    if (payload.size() <= MaxPayload) return text;
    // The peer drops the connection on a longer frame: send what fits.
    return FromShiftJis(CutShiftJis(payload, MaxPayload));
}

// The worker's events for one connection. While the connection is in use it
// passes every event to the session; once the connection has been released
// it is detached, and whatever the ended worker still reports reaches nothing.
class Session::WorkerLink final : public IWorkerEvents {
public:
    explicit WorkerLink(Session& session) : S(session) {}
    void Detach() { Attached = false; }

    void StageChanged(ConnectStage stage, const QString& peerName) override {
        if (Attached) S.WorkerStage(stage, peerName);
    }
    void HandshakeFailed(HandshakeFailure why) override {
        if (Attached) S.WorkerHandshakeFailed(static_cast<int>(why));
    }
    void ChatReceived(const QString& text) override {
        if (Attached) emit S.chatReceived(S.FPeerName, text);
    }
    void ListStarted(Direction direction, int count, const QStringList& files) override {
        if (!Attached) return;
        S.WorkerList(direction, true);
        if (direction == Direction::Send) {
            S.SendList = files;
            S.SendDelivered = 0;
        }
        emit S.listStarted(direction, count, files);
    }
    void FileStarted(Direction direction, const FileStart& file) override {
        if (Attached) emit S.fileStarted(direction, file);
    }
    void FileEnded(Direction direction, int index, const QString& path) override {
        if (!Attached) return;
        if (direction == Direction::Send) S.SendDelivered = index + 1;
        emit S.fileEnded(direction, index, path);
    }
    void ListEnded(Direction direction, const ListEnd& end) override {
        if (!Attached) return;
        S.WorkerList(direction, false);
        if (direction == Direction::Send) S.NoteSendEnd(end.Result == Outcome::Done);
        emit S.listEnded(direction, end);
    }
    void ConnectionFailed(ErrorKind kind, const QString& text) override {
        if (Attached) S.WorkerFailed(kind, text);
    }
    void PeerClosed() override {
        if (Attached) S.WorkerPeerClosed();
    }
    void FileVerified(Direction direction, int index, const QString& path,
                      const QByteArray& digest) override {
        if (Attached)
            emit S.fileVerified(direction, index, path, QString::fromLatin1(digest.toHex()));
    }
    void CapabilitiesAgreed(std::uint8_t caps) override {
        if (!Attached) return;
        S.FAgreed = caps;
        emit S.capabilitiesAgreed(caps);
    }
    void OfferUnanswered() override {
        if (Attached) S.WorkerOfferUnanswered();
    }

private:
    Session& S;
    bool Attached = true;
};

struct Session::WorkerEntry {
    std::unique_ptr<WorkerLink> Link;
    std::unique_ptr<ConnectionWorker> Thread; // declared last: destroyed before its link
    bool PeerDone = false;                    // it handled everything up to the peer's close
};

Session::Session(QObject* parent)
    : QObject(parent), Server(std::make_unique<TcpServer>()),
      Client(std::make_unique<TcpClient>()) {
    qRegisterMetaType<relvane::ConnectStage>();
    qRegisterMetaType<relvane::Direction>();
    qRegisterMetaType<relvane::ListEnd>();
    qRegisterMetaType<relvane::FileStart>();
    Server->OnAccept = [this](QObject*, const std::shared_ptr<TcpConnection>& socket) {
        Accepted(socket);
    };
    Server->OnClientDisconnect = [this](QObject*, const std::shared_ptr<TcpConnection>& socket) {
        PeerClosedConnection(socket);
    };
    Client->OnConnect = [this](QObject*, const std::shared_ptr<TcpConnection>& socket) {
        ClientConnected(socket);
    };
    Client->OnDisconnect = [this](QObject*, const std::shared_ptr<TcpConnection>& socket) {
        PeerClosedConnection(socket);
    };
    const auto raise = [this](const ESocketError& error) { emit socketError(error); };
    Server->OnError = raise;
    Client->OnError = raise;
    PeerCloseTimer.setSingleShot(true);
    connect(&PeerCloseTimer, &QTimer::timeout, this, &Session::FinishPeerClose);
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

std::shared_ptr<TransferProgress> Session::Progress() const {
    return Current ? Current->Thread->SharedProgress() : nullptr;
}

bool Session::CompressOn() const {
    return Current && Current->Thread->CompressOn();
}

bool Session::ResumeOn() const {
    return Current && Current->Thread->ResumeOn();
}

bool Session::VerifyOn() const {
    return Current && (FAgreed & CapVerify) != 0;
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
    if (!Server->Active()) Server->Open(); // a failure leaves everything idle
    ServerSide = true;
    SetState(SessionState::Listening);
    // Peers that came while no attempt ran are timed from now on.
    for (PendingPeer& peer : Pending) {
        if (!peer.VersionSent) peer.Since = Clock::now();
    }
    TakeNextPendingPeer();
}

void Session::Connect(const QString& address) {
    Connect(address, Port());
}

void Session::Connect(const QString& address, int port) {
    if (FState != SessionState::Idle) return;
    FHandshakeFailed = false;
    ServerSide = false;
    Client->SetPort(port);
    Client->SetAddress(address);
    SetState(SessionState::Connecting);
    try {
        Client->Open();
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
        DropCandidate();
        ClosePending();
        Server->Close();
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
    if (!Current || !Connection || !Connection->IsConnected() || PeerClosing) return false;
    Current->Thread->QueueFrame(ChatFrame(CutChatText(text)));
    return true;
}

QString Session::SentName(const QString& path) {
    return SendFileName(path);
}

QString Session::CheckFiles(const QStringList& paths, bool toThisProgram) {
    return PlanSend(paths, toThisProgram ? AllCapabilities : 0).Refusal;
}

QString Session::NameNotice(const QStringList& paths) {
    return WindowsFormsNotice(paths);
}

void Session::SendFiles(const QStringList& paths) {
    const SendPlan plan = PlanSend(paths, FAgreed);
    if (!plan.Refusal.isEmpty()) throw Error(plan.Refusal, ErrorKind::Refused);
    if (!Current || FState != SessionState::Connected || PeerClosing)
        throw Error(NotConnectedText(), ErrorKind::Disconnected);
    Current->Thread->RequestSend(plan.Files, plan.Names);
}

void Session::Shutdown() {
    const QSignalBlocker quiet(this);
    PeerCloseTimer.stop();
    if (Connection) Release(true, true);
    ClosePending();
    Server->Close();
    Client->Close();
    FState = SessionState::Idle;
    FStage = ConnectStage::Idle;
    // The workers need nothing of this thread to end.
    for (const auto& entry : Workers)
        entry->Thread->RequestTerminate();
    Workers.clear();
    Current = nullptr;
}

// ---- The worker's events

void Session::WorkerStage(ConnectStage stage, const QString& peerName) {
    if (stage == ConnectStage::NamesExchanged) FPeerName = peerName;
    SetStage(stage);
    if (stage == ConnectStage::Connected &&
        (FState == SessionState::Handshaking || FState == SessionState::Connecting)) {
        // Peers that waited meanwhile are not served by this copy.
        ClosePending();
        SetState(SessionState::Connected);
        emit connected();
    }
}

void Session::WorkerHandshakeFailed(int why) {
    const auto reason = static_cast<HandshakeFailure>(why);
    if (FState != SessionState::Handshaking && FState != SessionState::Connecting) return;
    if (ServerSide && (reason != HandshakeFailure::Disagreed || ServeNextAfterFailure)) {
        // A peer that stalls, asks back or speaks another version is dropped
        // like a port probe, and the next one is served.
        DropCandidate();
        emit peerDropped();
        TakeNextPendingPeer();
        return;
    }
    FHandshakeFailed = true;
    // The connection is closed before anyone reads the failure.
    Release(false, true);
    SetStage(ConnectStage::Idle);
    SetState(SessionState::Idle);
    emit attemptEnded(ErrorKind::HandshakeFailed, HandshakeFailedText());
}

void Session::WorkerFailed(ErrorKind kind, const QString& text) {
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
    PeerCloseTimer.stop();
    PeerClosing = false;
    Release(false, ServerSide);
    if (!attempt) SetState(SessionState::Idle);
    emit failure(kind, text);
    emit connectionLost();
}

void Session::WorkerPeerClosed() {
    if (Current) Current->PeerDone = true;
    if (PeerClosing) FinishPeerClose();
}

void Session::WorkerList(Direction direction, bool open) {
    OpenLists[static_cast<int>(direction)] = open;
}

void Session::NoteSendEnd(bool done) {
    FUndelivered = done ? QStringList() : SendList.mid(SendDelivered);
    SendList.clear();
    SendDelivered = 0;
}

void Session::EndOpenLists() {
    for (const Direction d : {Direction::Send, Direction::Receive}) {
        if (!std::exchange(OpenLists[static_cast<int>(d)], false)) continue;
        if (d == Direction::Send) NoteSendEnd(false);
        emit listEnded(d, {Outcome::Failed, ErrorKind::Disconnected, DisconnectedText(), false});
    }
}

// ---- Workers

void Session::StartWorker(const std::shared_ptr<TcpConnection>& socket, Role role,
                          Clock::time_point since, bool versionSent) {
    auto entry = std::make_unique<WorkerEntry>();
    entry->Link = std::make_unique<WorkerLink>(*this);
    WorkerSettings settings;
    settings.Handshake = {FSettings.UserName, FSettings.UseCompress, FSettings.UseResume};
    settings.ReceiveFolder = FSettings.ReceiveFolder;
    settings.CompressionThreads = FSettings.CompressionThreads;
    settings.HandshakeLimit = HandshakeLimit;
    settings.AcceptedAt = since;
    settings.VersionSent = versionSent;
    settings.Offer = FSettings.Extensions ? AllCapabilities : 0;
    settings.OverwriteExisting = FSettings.OverwriteExisting;
    entry->Thread =
        std::make_unique<ConnectionWorker>(*entry->Link, this, socket, role, std::move(settings));
    ConnectionWorker* thread = entry->Thread.get();
    connect(
        thread, &QThread::finished, this, [this, thread] { Reap(thread); }, Qt::QueuedConnection);
    Current = entry.get();
    Workers.push_back(std::move(entry));
    FPeerName.clear();
    PeerClosing = false;
    OpenLists = {};
    FAgreed = 0;
    OfferRejected = false;
    thread->Start();
    SetStage(ConnectStage::Opened);
}

bool Session::WorkerStillTelling() const {
    return Current && !Current->PeerDone;
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
    const bool current = Current == at->get();
    // Out of the list before it is destroyed.
    std::unique_ptr<WorkerEntry> ended = std::move(*at);
    Workers.erase(at);
    if (current) {
        // Everything it reported is in: a peer's close can be finished.
        Current = nullptr;
        ended->Link->Detach();
        if (PeerClosing) FinishPeerClose();
    }
    ended->Thread->wait();
    ended.reset();
}

void Session::Release(bool sendNotice, bool stopListening) {
    PeerCloseTimer.stop();
    PeerClosing = false;
    const std::shared_ptr<TcpConnection> connection = std::move(Connection);
    Connection.reset();
    if (connection && sendNotice && Current && Current->Thread->isRunning()) {
        // The lines typed last, then the notice, after the frame being
        // written: a peer must never see a cut frame and no notice.
        Current->Thread->FinishWith(DisconnectFrame());
        Current->Thread->wait(QDeadlineTimer(LastFramesLimitMs));
    } else if (connection && sendNotice) {
        // A courtesy: the close tells the peer anyway, so it never waits.
        [[maybe_unused]] const bool sent = connection->TrySendWhole(DisconnectFrame());
    }
    StopWorker();
    EndOpenLists();
    if (ServerSide) {
        if (stopListening) {
            ClosePending();
            Server->Close(); // closes the peer too; no event follows
        }
        if (connection) connection->Close();
    } else {
        Client->Close(); // its disconnect event finds nothing in use
        if (connection) connection->Close();
    }
    SetStage(ConnectStage::Idle);
}

} // namespace relvane
