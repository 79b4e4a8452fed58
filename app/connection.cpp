// The connection manager of the main window: making a server, connecting,
// the listening side of the handshake, disconnecting, and the return to idle
// however the connection ends.

#include "app/consts.h"
#include "app/hostlink.h"
#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/waitform.h"
#include "net/socket.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/worker.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <QWindow>

#include <algorithm>

namespace relvane::app {

namespace {

// The worker reports one stage change per call; it needs no more than this
// to see its stop request once its connection is closed.
constexpr int WorkerEndLimitMs = 10000;
// The disconnect notice is a courtesy: the close tells the peer anyway.
constexpr int NoticeLimitMs = 2000;

// Blocks until the next event arrives and dispatches it: socket events, the
// worker's calls and the wait window's buttons all arrive as events, so a
// wait costs nothing while nothing happens.
void DispatchUntilNextEvent() {
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

bool SendWithin(IConnection& connection, const QByteArray& frame, int limitMs) {
    const QDeadlineTimer deadline(limitMs);
    for (;;) {
        const int sent = connection.SendBytes(frame.constData(), static_cast<int>(frame.size()));
        if (sent != -1) return sent > 0;
        if (deadline.hasExpired()) return false;
        connection.WaitWritable(50);
    }
}

bool IsHandshakeFailure(const std::exception& error) {
    return QString::fromUtf8(error.what()) == MsgHandshakeFailed();
}

} // namespace

void TMainForm::ShowError(const Error& error) {
    ShowErrorMessage(this, error.Message());
    if (!error.KeepsConnection()) ResetConnection();
}

// ---- Waiting

void TMainForm::BeginWait(const QString& message) {
    FWaitForm = std::make_unique<TWaitForm>();
    FWaitForm->SetMessage(message);
    FWaitForm->show();
    // Kept above the main window, which it stands for while it is open.
    if (FWaitForm->windowHandle() && windowHandle()) {
        FWaitForm->windowHandle()->setTransientParent(windowHandle());
    }
    setEnabled(false);
}

void TMainForm::EndWait() {
    FWaitForm.reset();
    setEnabled(true);
}

StageWait TMainForm::MakeStageWait(bool testFailure, std::function<void()> onCancel) {
    StageWait wait;
    wait.Stage = [this] { return FConnectStage; };
    wait.HandshakeFailed = [this, testFailure] { return testFailure && FHandshakeFailed; };
    wait.Cancelled = [this] { return FWaitForm && FWaitForm->CancelPressed(); };
    wait.OnCancel = std::move(onCancel);
    wait.DispatchEvents = [](int) { DispatchUntilNextEvent(); };
    return wait;
}

void TMainForm::CancelServerAttempt() {
    ServerConnection.reset();
    ServerSocket1->SetActive(false); // closes the peer too; no event follows
    FConnectStage = 0;
    SendAction->setEnabled(false);
}

void TMainForm::CancelClientAttempt() {
    // An established connection raises its disconnect event here, which
    // returns the window to idle first.
    ClientSocket1->SetActive(false);
    FConnectStage = 0;
    SendAction->setEnabled(false);
}

void TMainForm::AbandonAttempt() {
    AwaitingPeer = false;
    StopWorker();
    WaitForWorkersToEnd();
    EndWait();
}

void TMainForm::WaitForWorkersToEnd() {
    const QDeadlineTimer deadline(WorkerEndLimitMs);
    QTimer wake;
    wake.setSingleShot(true);
    while (!Workers.empty() && !deadline.hasExpired()) {
        wake.start(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
        DispatchUntilNextEvent();
    }
}

void TMainForm::ShowConnected(const std::shared_ptr<TcpConnection>& connection) {
    FConnected = true;
    EndWait();
    const QString host = connection ? connection->PeerHostName() : QString();
    setWindowTitle(ApplicationTitle() + QStringLiteral(" - ") + FPeerName + QStringLiteral("[") +
                   host + QStringLiteral("]"));
    DisconnectAction->setEnabled(true);
    OptionAction->setEnabled(false);
    IPEdit->setEnabled(false);
    ConnectAction->setEnabled(false);
    ServerAction->setEnabled(false);
}

// ---- Actions

void TMainForm::ServerActionExecute() {
    if (FConnectStage != 0 || FWaitForm) return;
    FHandshakeFailed = false;
    BeginWait(MsgWaitingForPeer());
    try {
        ServerSocket1->SetActive(true);
        AwaitingPeer = true;
        WaitForStage(1, MakeStageWait(false, [this] { ServerSocket1->SetActive(false); }));
        AwaitingPeer = false;
        // Taken before the message is painted: events run meanwhile, and the
        // peer may already be gone again when the handshake starts.
        const std::shared_ptr<TcpConnection> connection = ServerConnection;
        if (!connection) throw EAppError(MsgDisconnected());
        FWaitForm->SetMessage(MsgCheckingHandshake());
        DriveHandshake(*connection, Settings.UserName, Settings.UseCompress, Settings.UseResume,
                       MakeStageWait(true, [this] { CancelServerAttempt(); }));
        ShowConnected(connection);
    } catch (const std::exception& error) {
        if (IsHandshakeFailure(error)) CancelServerAttempt();
        AbandonAttempt();
        throw;
    }
}

void TMainForm::ConnectActionExecute() {
    if (FConnectStage != 0 || FWaitForm) return;
    const QString address = IPEdit->currentText();
    if (address.isEmpty()) {
        IPEdit->setFocus();
        throw EAppError(MsgEnterAddress());
    }
    FHandshakeFailed = false;
    BeginWait(MsgConnectingToServer());
    try {
        ClientSocket1->SetAddress(address);
        ClientSocket1->SetActive(true);
        // Before the outcome is known: an address never reached enters too.
        AddAddressHistory(address);
        WaitForStage(4, MakeStageWait(true, [this] { CancelClientAttempt(); }));
        ShowConnected(ClientSocket1->Socket());
    } catch (const std::exception& error) {
        if (IsHandshakeFailure(error)) CancelClientAttempt();
        AbandonAttempt();
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
    const QByteArray notice = DisconnectFrame();
    if (ServerConnection) {
        const std::shared_ptr<TcpConnection> connection = ServerConnection;
        SendWithin(*connection, notice, NoticeLimitMs);
        QCoreApplication::processEvents();
        if (ServerConnection != connection) return; // the peer's close came first and did the rest
        ServerConnection.reset();
        ServerSocket1->SetActive(false); // stops listening too; no event follows
        StopWorker();
        ReturnToIdle();
    } else if (ClientInUse && ClientSocket1->Socket()->IsConnected()) {
        SendWithin(*ClientSocket1->Socket(), notice, NoticeLimitMs);
        QCoreApplication::processEvents();
        // Its disconnect event runs inside and returns the window to idle.
        ClientSocket1->SetActive(false);
        if (ClientInUse) {
            ClientInUse = false;
            StopWorker();
            ReturnToIdle();
        }
    }
}

// ---- The worker of the connection in use

std::shared_ptr<TcpConnection> TMainForm::ConnectionInUse() const {
    if (ServerConnection) return ServerConnection;
    if (ClientInUse) return ClientSocket1->Socket();
    return nullptr;
}

void TMainForm::StartWorker(const std::shared_ptr<TcpConnection>& socket, int side) {
    auto entry = std::make_unique<TWorkerEntry>();
    entry->Link = std::make_unique<THostLink>(*this);
    entry->Thread = std::make_unique<ConnectionWorker>(*entry->Link, socket, side, false, false);
    ConnectionWorker* thread = entry->Thread.get();
    connect(
        thread, &QThread::finished, this, [this, thread] { ReapWorker(thread); },
        Qt::QueuedConnection);
    Link = entry->Link.get();
    FWorker = thread;
    FProgress = thread->SharedProgress();
    AttachStatusWindows(FProgress);
    Workers.push_back(std::move(entry));
    thread->Start();
    FConnectStage = 1;
    SendAction->setEnabled(true);
}

void TMainForm::StopWorker() {
    if (Link) Link->Detach();
    Link = nullptr;
    if (FWorker) FWorker->RequestTerminate();
    FWorker = nullptr;
    FProgress.reset();
    HideStatusWindows();
}

void TMainForm::ReapWorker(ConnectionWorker* thread) {
    const auto at = std::find_if(Workers.begin(), Workers.end(), [thread](const auto& entry) {
        return entry->Thread.get() == thread;
    });
    if (at == Workers.end()) return;
    if (Link == (*at)->Link.get()) {
        // It ended by itself; the connection's own end follows as an event.
        // Nothing moves the status windows any more.
        Link = nullptr;
        FWorker = nullptr;
        HideStatusWindows();
    }
    // Out of the list before it is destroyed: destroying a thread may
    // dispatch events, and with them the end of another worker.
    std::unique_ptr<TWorkerEntry> ended = std::move(*at);
    Workers.erase(at);
    ended.reset();
}

// ---- Socket events

void TMainForm::ServerSocket1Accept(const std::shared_ptr<TcpConnection>& socket) {
    // One peer at a time, and only for a server action that waits for one.
    if (!AwaitingPeer || ServerConnection || ClientInUse || FConnectStage != 0) {
        socket->Close();
        return;
    }
    ServerConnection = socket;
    StartWorker(socket, 0);
}

void TMainForm::ServerSocket1ClientDisconnect(const std::shared_ptr<TcpConnection>& socket) {
    if (!ServerConnection || socket != ServerConnection) return; // a peer turned away
    ServerConnection.reset();
    StopWorker();
    // ServerSocket1 goes on listening.
    ReturnToIdle();
}

void TMainForm::ClientSocket1Connect(const std::shared_ptr<TcpConnection>& socket) {
    ClientInUse = true;
    StartWorker(socket, 1);
}

void TMainForm::ClientSocket1Disconnect(const std::shared_ptr<TcpConnection>& /*socket*/) {
    // An attempt that never connected ends without a disconnection.
    if (!ClientInUse) return;
    ClientInUse = false;
    StopWorker();
    ClientSocket1->SetActive(false);
    ReturnToIdle();
}

void TMainForm::ResetConnection() {
    StopWorker();
    if (ServerConnection) {
        ServerConnection.reset();
        ServerSocket1->SetActive(false);
        ReturnToIdle();
        return;
    }
    if (ClientInUse) {
        // Its disconnect event returns the window to idle, unless the
        // endpoint has already let the connection go.
        ClientSocket1->SetActive(false);
        if (ClientInUse) {
            ClientInUse = false;
            ReturnToIdle();
        }
    }
}

void TMainForm::ReturnToIdle() {
    FConnected = false;
    SendAction->setEnabled(false);
    setWindowTitle(ApplicationTitle());
    DisconnectAction->setEnabled(false);
    OptionAction->setEnabled(true);
    IPEdit->setEnabled(true);
    if (!IPEdit->currentText().isEmpty()) ConnectAction->setEnabled(true);
    ServerAction->setEnabled(true);
    FConnectStage = 0;
    ShowPlainMessage(this, MsgDisconnected());
}

} // namespace relvane::app
