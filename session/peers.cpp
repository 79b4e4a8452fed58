// Who is served: the peers the server accepts, the one checked and those
// that wait meanwhile, and a peer's close of the connection in use.

#include "net/socket.h"
#include "protocol/handshake.h"
#include "protocol/texts.h"
#include "protocol/worker.h"
#include "session/session.h"

#include <algorithm>

namespace relvane {

namespace {

using Clock = std::chrono::steady_clock;

// Peers kept while no server attempt can take them; more are turned away.
constexpr std::size_t MaxPendingPeers = 4;
// What a closing peer sent last is handled within this time.
constexpr int PeerCloseLimitMs = 2000;

} // namespace

// ---- Endpoint events

void Session::Accepted(const std::shared_ptr<TcpConnection>& socket) {
    const Clock::time_point now = Clock::now();
    if (FState == SessionState::Listening && !Connection) {
        StartHandshake({socket, now, false});
        return;
    }
    // One peer at a time. A peer that comes while another is being checked
    // is asked the first question at once, so that its time runs with the
    // candidate's: a row of silent connections delays it by one limit at
    // most. One that comes while no attempt runs (the last peer left) waits
    // for the next server attempt, as it would for any server.
    const bool checking = FState == SessionState::Handshaking;
    if (!checking && !(FState == SessionState::Idle && !Connection)) {
        socket->Close();
        return;
    }
    if (Pending.size() >= MaxPendingPeers) {
        // Room is made by the oldest that has not answered.
        const auto silent = std::find_if(Pending.begin(), Pending.end(), [](const PendingPeer& p) {
            return p.VersionSent && p.Socket->BytesWaiting() == 0;
        });
        if (silent == Pending.end()) {
            socket->Close();
            return;
        }
        silent->Socket->Close();
        Pending.erase(silent);
    }
    if (checking) {
        const QByteArray request = VersionRequestFrame();
        Pending.push_back({socket, now, socket->TrySendWhole(request)});
    } else {
        Pending.push_back({socket, now, false});
        // Its user waits in front of a copy that looks idle: tell this one's.
        emit peerWaiting(socket->PeerAddress());
    }
}

void Session::RefusePending() {
    if (FState == SessionState::Idle) ClosePending();
}

void Session::PeerClosedConnection(const std::shared_ptr<TcpConnection>& socket) {
    const auto pending = std::find_if(Pending.begin(), Pending.end(),
                                      [&](const PendingPeer& p) { return p.Socket == socket; });
    if (pending != Pending.end()) {
        Pending.erase(pending);
        return;
    }
    if (!Connection || socket != Connection) return; // an attempt that never connected
    if (ServerSide && FState == SessionState::Handshaking) {
        // A port probe, or a peer that gave up: wait for the next.
        DropCandidate();
        emit peerDropped();
        TakeNextPendingPeer();
        return;
    }
    if (PeerClosing) return;
    PeerClosing = true;
    if (WorkerStillTelling()) {
        // What the peer sent last (often the reply that completes a list)
        // may still be on its way here: the worker reads on until the close
        // and says so, or ends, and either comes after all it reported
        // before (a socket's event can overtake those); the connection stays
        // open until then.
        socket->HoldAfterPeerClose();
        PeerCloseTimer.start(PeerCloseLimitMs);
        return;
    }
    FinishPeerClose();
}

void Session::FinishPeerClose() {
    if (!PeerClosing) return;
    PeerCloseTimer.stop();
    const bool wasConnected = FState == SessionState::Connected;
    const bool rejected = std::exchange(OfferRejected, false);
    // The server goes on listening.
    Release(false, false);
    if (wasConnected) SetState(SessionState::Idle);
    if (rejected) emit failure(ErrorKind::Disconnected, texts::OfferRejected());
    // During a client attempt the wait goes on until the user gives up.
    emit connectionLost();
}

void Session::ClientConnected(const std::shared_ptr<TcpConnection>& socket) {
    if (FState != SessionState::Connecting) {
        Client->Close();
        return;
    }
    Connection = socket;
    StartWorker(socket, Role::Connecting, Clock::now(), false);
}

// ---- The listening side

void Session::TakeNextPendingPeer() {
    while (FState == SessionState::Listening && !Connection && !Pending.empty()) {
        // One that answered already goes first; one whose time ran out
        // without a word goes.
        auto next = std::find_if(Pending.begin(), Pending.end(), [](const PendingPeer& p) {
            return p.VersionSent && p.Socket->BytesWaiting() > 0;
        });
        if (next == Pending.end()) next = Pending.begin();
        const PendingPeer peer = *next;
        Pending.erase(next);
        if (!peer.Socket->IsConnected()) continue;
        const bool answered = peer.VersionSent && peer.Socket->BytesWaiting() > 0;
        if (peer.VersionSent && !answered && Clock::now() - peer.Since >= HandshakeLimit) {
            peer.Socket->Close();
            continue;
        }
        // One that answered while it waited gets the whole limit for the
        // rest; a silent one only what is left of its own.
        StartHandshake({peer.Socket, answered ? Clock::now() : peer.Since, peer.VersionSent});
    }
}

void Session::StartHandshake(const PendingPeer& peer) {
    Connection = peer.Socket;
    StartWorker(peer.Socket, Role::Listening, peer.Since, peer.VersionSent);
    SetState(SessionState::Handshaking);
    emit handshakeStarted();
}

void Session::DropCandidate() {
    if (!Connection || !ServerSide) return;
    const std::shared_ptr<TcpConnection> dropped = Connection;
    StopWorker();
    Connection.reset();
    PeerClosing = false;
    dropped->Close();
    SetStage(ConnectStage::Idle);
    if (FState == SessionState::Handshaking) SetState(SessionState::Listening);
}

void Session::ClosePending() {
    for (const PendingPeer& peer : Pending)
        peer.Socket->Close();
    Pending.clear();
}

} // namespace relvane
