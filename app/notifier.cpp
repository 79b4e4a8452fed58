#include "app/notifier.h"

#include "app/consts.h"
#include "app/images.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QWidget>

namespace relvane::app {

namespace {

const QString NoticeService = QStringLiteral("org.freedesktop.Notifications");
const QString NoticePath = QStringLiteral("/org/freedesktop/Notifications");

// The program's icon; a picture of its own where none is set (the tests).
QIcon IdleIcon() {
    const QIcon icon = QApplication::windowIcon();
    return icon.isNull() ? MenuIcon(TMenuImage::miDisconnect) : icon;
}

// Chat lines can be long; a notice shows the start.
QString Shortened(const QString& text) {
    constexpr qsizetype Max = 200;
    return text.size() <= Max ? text : text.left(Max) + QStringLiteral("…");
}

} // namespace

// ---- TNotices

TNotices::TNotices(Session& session, INotifier& notifier, std::function<bool()> userLooks,
                   QObject* parent)
    : QObject(parent), S(session), Notifier(notifier), UserLooks(std::move(userLooks)) {
    connect(&S, &Session::listStarted, this, [this](Direction d, int, const QStringList&) {
        (d == Direction::Send ? FilesSent : FilesReceived) = 0;
    });
    connect(&S, &Session::fileEnded, this, [this](Direction d, int, const QString&) {
        ++(d == Direction::Send ? FilesSent : FilesReceived);
    });
    connect(&S, &Session::listEnded, this, &TNotices::ListEnded);
    connect(&S, &Session::chatReceived, this, [this](const QString& peer, const QString& text) {
        Raise(QStringLiteral("%1 からのメッセージ").arg(peer), Shortened(text));
    });
    connect(&S, &Session::peerWaiting, this, [this](const QString& address) {
        Raise(ApplicationTitle(), QStringLiteral("%1 が接続を求めています").arg(address));
    });
    connect(&S, &Session::stateChanged, this, &TNotices::UpdateState);
    connect(&S, &Session::connected, this, &TNotices::UpdateState);
    connect(&S, &Session::connectionLost, this, &TNotices::UpdateState);
    UpdateState();
}

void TNotices::Raise(const QString& title, const QString& text) {
    if (!UserLooks()) Notifier.Notify(title, text);
}

void TNotices::ListEnded(Direction direction, const ListEnd& end) {
    const bool sending = direction == Direction::Send;
    QString title;
    QString text = end.Text;
    switch (end.Result) {
    case Outcome::Done:
        title = sending ? QStringLiteral("送信完了") : QStringLiteral("受信完了");
        text = sending ? QStringLiteral("%1 に %2 個のファイルを送信しました")
                             .arg(S.PeerName())
                             .arg(FilesSent)
                       : QStringLiteral("%1 から %2 個のファイルを受信しました")
                             .arg(S.PeerName())
                             .arg(FilesReceived);
        break;
    case Outcome::CancelledHere:
    case Outcome::CancelledByPeer:
        title =
            sending ? QStringLiteral("送信を中止しました") : QStringLiteral("受信を中止しました");
        break;
    case Outcome::Refused:
    case Outcome::Failed:
        title = sending ? QStringLiteral("送信できませんでした")
                        : QStringLiteral("受信できませんでした");
        break;
    }
    Raise(title, text);
}

void TNotices::UpdateState() {
    switch (S.State()) {
    case SessionState::Connected:
        Notifier.ShowState(TTrayState::Connected, QStringLiteral("%1 と接続中").arg(S.PeerName()));
        return;
    case SessionState::Listening:
    case SessionState::Handshaking:
    case SessionState::Connecting:
        Notifier.ShowState(TTrayState::Waiting, QStringLiteral("接続を待っています"));
        return;
    case SessionState::Idle:
        Notifier.ShowState(TTrayState::Idle, QStringLiteral("接続していません"));
        return;
    }
}

// ---- TDesktopNotifier

TDesktopNotifier::TDesktopNotifier(QWidget* window) : QObject(window), Window(window) {
    Tray = new QSystemTrayIcon(IdleIcon(), this);
    Tray->setObjectName(QStringLiteral("TrayIcon"));
    auto* menu = new QMenu(window);
    menu->addAction(QStringLiteral("ウィンドウを表示(&S)"), this, &TDesktopNotifier::ShowWindow);
    Tray->setContextMenu(menu);
    connect(Tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
        if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) ShowWindow();
    });
    connect(Tray, &QSystemTrayIcon::messageClicked, this, &TDesktopNotifier::ShowWindow);
    // Shown as soon as a tray appears, also one started after the program.
    Tray->show();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected()) {
        bus.connect(NoticeService, NoticePath, NoticeService, QStringLiteral("ActionInvoked"), this,
                    SLOT(ActionInvoked(uint, QString)));
    }
}

TDesktopNotifier::~TDesktopNotifier() {
    QDBusConnection::sessionBus().disconnect(NoticeService, NoticePath, NoticeService,
                                             QStringLiteral("ActionInvoked"), this,
                                             SLOT(ActionInvoked(uint, QString)));
    Tray->hide();
}

void TDesktopNotifier::Notify(const QString& title, const QString& text) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        Fallback(title, text);
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(NoticeService, NoticePath, NoticeService, "Notify");
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("io.github.relvane.Relvane"));
    call << ApplicationTitle() << uint(0) << QStringLiteral("io.github.relvane.Relvane") << title
         << text << QStringList{QStringLiteral("default"), QStringLiteral("開く")} << hints
         << int(-1);
    // Asynchronous: a slow or missing service never holds the window.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, title, text](QDBusPendingCallWatcher* w) {
                const QDBusPendingReply<uint> reply = *w;
                if (reply.isError()) {
                    Fallback(title, text);
                } else {
                    OurNotices << reply.value();
                    if (OurNotices.size() > 100) OurNotices.removeFirst();
                }
                w->deleteLater();
            });
}

void TDesktopNotifier::Fallback(const QString& title, const QString& text) {
    if (Tray->isVisible() && QSystemTrayIcon::supportsMessages()) {
        Tray->showMessage(title, text, QSystemTrayIcon::Information);
    } else if (Window) {
        QApplication::alert(Window);
    }
}

void TDesktopNotifier::ShowState(TTrayState state, const QString& text) {
    switch (state) {
    case TTrayState::Idle:
        Tray->setIcon(IdleIcon());
        break;
    case TTrayState::Waiting:
        Tray->setIcon(MenuIcon(TMenuImage::miServer));
        break;
    case TTrayState::Connected:
        Tray->setIcon(MenuIcon(TMenuImage::miConnect));
        break;
    }
    Tray->setToolTip(ApplicationTitle() + QStringLiteral(" - ") + text);
}

void TDesktopNotifier::ActionInvoked(uint id, const QString&) {
    if (OurNotices.contains(id)) ShowWindow();
}

void TDesktopNotifier::ShowWindow() {
    if (!Window) return;
    Window->showNormal();
    Window->raise();
    Window->activateWindow();
}

} // namespace relvane::app
