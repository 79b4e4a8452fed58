// What the main window adds for arrivals: the bar of a peer that connects
// while this copy is idle but still listens, the receive history, desktop
// notices with the tray icon, the files of a send list that did not arrive,
// the connecting side's word on a server that has not been made, and host
// names looked up before a connection.

#include "app/consts.h"
#include "app/history.h"
#include "app/historywindow.h"
#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/notifier.h"
#include "app/peeraddress.h"
#include "app/requestbar.h"
#include "app/waitform.h"
#include "session/session.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QHostAddress>
#include <QHostInfo>
#include <QTimer>

namespace relvane::app {

namespace {

// How long the connecting side waits for the server's first handshake step
// before it says the other copy has not made a server yet.
constexpr int ServerSilentMs = 10000;

QString MsgServerNotMade() {
    return QStringLiteral("相手はまだサーバーを作成していません。\r\n"
                          "相手の操作を待っています");
}

QString MsgUndelivered(const QStringList& paths) {
    constexpr qsizetype Shown = 20;
    QString text = QStringLiteral("送信できなかったファイル:");
    for (qsizetype i = 0; i < std::min(paths.size(), Shown); ++i)
        // A path chosen here by its bare name, a name below a folder as it is.
        text += QStringLiteral("\r\n") +
                (QDir::isAbsolutePath(paths.at(i)) ? Session::SentName(paths.at(i)) : paths.at(i));
    if (paths.size() > Shown) text += QStringLiteral("\r\nほか %1 件").arg(paths.size() - Shown);
    return text;
}

} // namespace

void TMainForm::CreateArrivals() {
    RequestBar = new TRequestBar(this);
    connect(RequestBar, &TRequestBar::accepted, this,
            [this] { RunGuarded([this] { RequestBarAccept(); }); });
    connect(RequestBar, &TRequestBar::refused, this, [this] { RequestBarRefuse(); });
    Session* s = FSession.get();
    connect(s, &Session::peerWaiting, this, [this](const QString& address) {
        RequestBar->ShowRequest(address);
        FitHeight();
    });
    connect(s, &Session::stateChanged, this, [this](SessionState state) {
        // Served, or this copy went on to something else.
        if (state != SessionState::Idle) HideRequestBar();
    });

    FHistory = new THistoryStore(THistoryStore::FileBeside(SettingsFileName()),
                                 THistoryStore::DefaultLimit, this);
    new THistoryRecorder(*s, *FHistory, this);

    if (Settings.DesktopNotices) {
        FNotifier = new TDesktopNotifier(this);
        // Any window of the program counts: the chat window, a status window.
        FNotices = new TNotices(
            *s, *FNotifier, [] { return QApplication::activeWindow() != nullptr; }, this);
    }

    ServerSilentTimer = new QTimer(this);
    ServerSilentTimer->setSingleShot(true);
    ServerSilentTimer->setInterval(ServerSilentMs);
    connect(ServerSilentTimer, &QTimer::timeout, this, [this] {
        if (FWaitForm && FSession->State() == SessionState::Connecting &&
            FSession->Stage() == relvane::ConnectStage::Opened)
            FWaitForm->SetNote(MsgServerNotMade());
    });
    connect(s, &Session::stageChanged, this, [this](relvane::ConnectStage stage) {
        // Connected, and no word from the server's side yet.
        if (stage == relvane::ConnectStage::Opened &&
            FSession->State() == SessionState::Connecting) {
            ServerSilentTimer->start();
            return;
        }
        ServerSilentTimer->stop();
        if (FWaitForm) FWaitForm->SetNote({});
    });
}

// ---- The request bar

void TMainForm::FitHeight() {
    const int bottom = ClientArea->y() + ClientArea->height();
    const bool bar = RequestBar && RequestBar->isVisibleTo(this);
    if (RequestBar) RequestBar->setGeometry(0, bottom, width(), TRequestBar::BarHeight);
    setFixedSize(width(), bottom + (bar ? TRequestBar::BarHeight : 0));
}

void TMainForm::HideRequestBar() {
    if (!RequestBar || RequestBar->isHidden()) return;
    RequestBar->hide();
    FitHeight();
}

void TMainForm::RequestBarAccept() {
    HideRequestBar();
    // As "サーバー作成": the waiting peer is taken at once.
    ServerActionExecute();
}

void TMainForm::RequestBarRefuse() {
    HideRequestBar();
    FSession->RefusePending();
}

// ---- The receive history

void TMainForm::HistoryActionExecute() {
    if (!FHistoryWindow)
        FHistoryWindow = new THistoryWindow(*FHistory, Settings.ReceiveFolder, this);
    FHistoryWindow->show();
    FHistoryWindow->raise();
    FHistoryWindow->activateWindow();
}

THistoryWindow* TMainForm::HistoryWindow() const {
    return FHistoryWindow.data();
}

// ---- Send lists that did not arrive

void TMainForm::NoteUndelivered(const ListEnd& end) {
    if (end.Result == Outcome::Done || FSession->Undelivered().isEmpty()) return;
    FUndelivered = MsgUndelivered(FSession->Undelivered());
}

QString TMainForm::WithUndelivered(const QString& text) {
    if (FUndelivered.isEmpty()) return text;
    return text + QStringLiteral("\r\n\r\n") + std::exchange(FUndelivered, QString());
}

// ---- Host names

void TMainForm::LookUpPeer(const QString& typed, const QString& host, int port) {
    FLookupId = QHostInfo::lookupHost(host, this, [this, typed, host, port](const QHostInfo& info) {
        FLookupId = -1;
        if (!FWaitForm) return;
        for (const QHostAddress& address : info.addresses()) {
            if (address.protocol() != QAbstractSocket::IPv4Protocol) continue;
            RunGuarded([&] { StartConnect(typed, address.toString(), port); });
            return;
        }
        EndWait();
        ShowErrorMessage(this, MsgHostNotFound(host));
    });
}

bool TMainForm::CancelLookUp() {
    if (FLookupId < 0) return false;
    QHostInfo::abortHostLookup(std::exchange(FLookupId, -1));
    EndWait();
    return true;
}

} // namespace relvane::app
