// The connection manager's windows: the server and connect actions with
// their wait window, disconnecting, and what the main window shows as the
// session's connection is made, used and lost. The session decides; the
// window only shows.

#include "app/consts.h"
#include "app/discoverypanel.h"
#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/peeraddress.h"
#include "app/program.h"
#include "app/waitform.h"
#include "chat/messageform.h"
#include "session/session.h"
#include "status/statusform.h"

#include <QAction>
#include <QComboBox>

#include <algorithm>

namespace relvane::app {

void TMainForm::CreateSession() {
    FSession = std::make_unique<relvane::Session>();
    FSession->setObjectName(QStringLiteral("Session"));
    relvane::Session* s = FSession.get();
    connect(s, &Session::stageChanged, this, &TMainForm::StageChanged);
    connect(s, &Session::handshakeStarted, this, [this] {
        if (FWaitForm) FWaitForm->SetMessage(MsgCheckingHandshake());
    });
    connect(s, &Session::peerDropped, this, [this] {
        if (FWaitForm) FWaitForm->SetMessage(MsgWaitingForPeer());
    });
    connect(s, &Session::connected, this, &TMainForm::ShowConnected);
    connect(s, &Session::attemptEnded, this,
            [this](ErrorKind, const QString& text) { AttemptEnded(text); });
    connect(s, &Session::connectionLost, this, &TMainForm::ReturnToIdle);
    connect(s, &Session::failure, this,
            [this](ErrorKind, const QString& text) { ShowFailure(text); });

    connect(s, &Session::chatReceived, this, [this](const QString& peer, const QString& text) {
        MessageForm->ShowChat(peer, text);
        MessageAction->setChecked(ChatWindowShowing());
    });
    connect(s, &Session::socketError, this, [this](const ESocketError& error) {
        ShowMessageBox(TMessageKind::mkError, SocketErrorText(error));
    });
    connect(s, &Session::listStarted, this,
            [this](Direction direction, int, const QStringList& files) {
                if (direction == Direction::Send)
                    SendStatusForm->BeginSendBatch(files);
                else
                    RecvStatusForm->BeginReceiveBatch();
            });
    connect(s, &Session::fileStarted, this, [this](Direction direction, const FileStart& file) {
        if (direction == Direction::Send) {
            SendStatusForm->SetCurrentFile(file.Name);
            return;
        }
        if (file.Index == 0) RecvStatusForm->AnnounceFiles(file.Count);
        RecvStatusForm->SetCurrentFile(file.Name);
    });
    connect(s, &Session::listEnded, this, &TMainForm::ListEnded);
}

SessionSettings TMainForm::ConnectionSettings() const {
    SessionSettings s;
    s.UserName = Settings.UserName;
    s.UseCompress = Settings.UseCompress;
    s.UseResume = Settings.UseResume;
    s.ReceiveFolder = Settings.ReceiveFolder;
    s.OverwriteExisting = Settings.OverwriteExisting;
    s.Extensions = Settings.Extensions;
    return s;
}

// ---- Waiting

void TMainForm::BeginWait(const QString& message) {
    // Owned by the main window: the window manager keeps it above it.
    FWaitForm = std::make_unique<TWaitForm>(this);
    FWaitForm->SetMessage(message);
    connect(FWaitForm.get(), &TWaitForm::cancelRequested, this, [this] {
        if (!CancelLookUp()) FSession->Cancel();
    });
    FWaitForm->show();
    setEnabled(false);
    // A window of its own: it takes input while the window it stands for does not.
    FWaitForm->setEnabled(true);
}

void TMainForm::ShowMessageBox(TMessageKind kind, const QString& text) {
    ShowMessage(this, kind, text);
    // A wait that goes on keeps the keys: the window manager hands them to the
    // box's owner, this disabled window, where Escape would cancel nothing.
    if (FWaitForm && FWaitForm->isVisible()) {
        FWaitForm->raise();
        FWaitForm->activateWindow();
    }
}

void TMainForm::EndWait() {
    if (FWaitForm) {
        // Its own button may be what ended the wait: delete it later.
        TWaitForm* form = FWaitForm.release();
        form->disconnect(this);
        form->hide();
        form->deleteLater();
    }
    setEnabled(true);
}

// ---- Actions

void TMainForm::ServerActionExecute() {
    if (FSession->State() != SessionState::Idle || FWaitForm) return;
    FSession->SetSettings(ConnectionSettings());
    BeginWait(MsgWaitingForPeer());
    try {
        FSession->Listen();
    } catch (...) {
        EndWait();
        throw;
    }
}

void TMainForm::ConnectActionExecute() {
    if (FSession->State() != SessionState::Idle || FWaitForm) return;
    const QString address = IPEdit->currentText();
    if (address.isEmpty()) {
        IPEdit->setFocus();
        throw EAppError(MsgEnterAddress());
    }
    // "address:port" and host names; anything else is no address at all.
    const std::optional<TPeerAddress> peer = ParsePeerAddress(address);
    if (!peer) {
        IPEdit->setFocus();
        ShowPlainMessage(this, MsgNotAnAddressOrHost(address));
        return;
    }
    FSession->SetSettings(ConnectionSettings());
    BeginWait(MsgConnectingToServer());
    if (peer->IsHostName) {
        LookUpPeer(address, peer->Host, peer->Port);
        return;
    }
    StartConnect(address, peer->Host, peer->Port);
}

void TMainForm::StartConnect(const QString& typed, const QString& address, int port) {
    // Before the outcome is known: an address never reached enters too; a
    // copy found by "探す" only once it is reached.
    if (!Discovery->HoldHistoryUntilReached(typed)) AddAddressHistory(typed);
    try {
        if (port == 0) {
            FSession->Connect(address);
        } else {
            FSession->Connect(address, port);
        }
    } catch (...) {
        EndWait();
        throw;
    }
}

void TMainForm::AddAddressHistory(const QString& address) {
    auto& history = Settings.AddressHistory;
    if (std::find(history.begin(), history.end(), address) != history.end()) return;
    std::move_backward(history.begin(), history.end() - 1, history.end());
    history[0] = address;
}

void TMainForm::DisconnectActionExecute() {
    // The session lets the connection go before "切断しました" is shown.
    FSession->Disconnect();
}

// ---- What the session's events show

void TMainForm::StageChanged(relvane::ConnectStage stage) {
    if (stage == relvane::ConnectStage::Opened) {
        // A connection is made: its worker may be asked to send.
        AttachStatusWindows(FSession->Progress());
        SendAction->setEnabled(true);
    } else if (stage == relvane::ConnectStage::Idle) {
        HideStatusWindows();
        SendAction->setEnabled(false);
    }
}

void TMainForm::ShowConnected() {
    EndWait();
    setWindowTitle(ApplicationTitle() + QStringLiteral(" - ") + FSession->PeerName() +
                   QStringLiteral("[") + FSession->PeerHostName() + QStringLiteral("]"));
    DisconnectAction->setEnabled(true);
    OptionAction->setEnabled(false);
    IPEdit->setEnabled(false);
    ConnectAction->setEnabled(false);
    ServerAction->setEnabled(false);
}

void TMainForm::AttemptEnded(const QString& text) {
    EndWait();
    ShowIdle();
    ShowErrorMessage(this, text);
}

void TMainForm::ShowIdle() {
    HideStatusWindows();
    SendAction->setEnabled(false);
    setWindowTitle(ApplicationTitle());
    DisconnectAction->setEnabled(false);
    OptionAction->setEnabled(true);
    IPEdit->setEnabled(true);
    ConnectAction->setEnabled(!IPEdit->currentText().isEmpty());
    ServerAction->setEnabled(true);
}

void TMainForm::ReturnToIdle() {
    ShowIdle();
    HideRequestBar();
    if (!Destroying) ShowMessageBox(TMessageKind::mkPlain, WithUndelivered(MsgDisconnected()));
}

void TMainForm::ListEnded(Direction direction, const ListEnd& end) {
    if (direction == Direction::Send) {
        SendStatusForm->hide();
        SendAction->setEnabled(FSession->IsConnected());
    } else {
        RecvStatusForm->hide();
    }
    if (direction == Direction::Send) NoteUndelivered(end);
    // A list that ended with the connection is told by the failure itself.
    if (end.Result != Outcome::Done && end.ConnectionKept) ShowFailure(end.Text);
}

void TMainForm::ShowFailure(const QString& text) {
    if (!Destroying) ShowMessageBox(TMessageKind::mkError, WithUndelivered(text));
}

} // namespace relvane::app
