#pragma once
// Helpers of the settings dialog and drop tests: acting on a modal dialog
// while it runs, typing and clicking, drops delivered to a native window the
// way the desktop delivers them, and a peer connected to a main window.

#include "app/mainform.h"
#include "app/restartform.h"
#include "net/socket.h"
#include "tests/app/app_support.h"

#include <QApplication>
#include <QDialog>
#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QRandomGenerator>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <functional>

namespace relvane::test {

// Acts on the modal dialog of type T once it runs. A dialog left open is
// cancelled after a while, so a failing test ends.
template <class T> class WhenModal {
public:
    explicit WhenModal(std::function<void(T&)> act) : Act(std::move(act)) {
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
            if (dialog == nullptr) return;
            Timer.stop();
            Act(*dialog);
        });
        Timer.start(5);
        Guard.setSingleShot(true);
        QObject::connect(&Guard, &QTimer::timeout, [] {
            if (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                open->reject();
        });
        Guard.start(30000);
    }
    bool Ran() const { return !Timer.isActive(); }

private:
    std::function<void(T&)> Act;
    QTimer Timer;
    QTimer Guard;
};

// Key presses that carry `text`, one character each.
inline void TypeText(QWidget* widget, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &release);
    }
}

// A left click in the middle of `widget`.
inline void Click(QWidget* widget) {
    const QPointF at = QRectF(widget->rect()).center();
    const QPointF global = widget->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(widget, &release);
}

inline bool RestartWindowExists() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qobject_cast<app::TRestartForm*>(w) != nullptr) return true;
    }
    return false;
}

// A free port that the settings dialog's field can hold (1 to 32767).
inline int LowFreePort() {
    for (int attempt = 0; attempt < 500; ++attempt) {
        const int port = 20000 + QRandomGenerator::global()->bounded(12000);
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

// Files as a file manager offers them: a URI list, and the paths as text.
inline std::unique_ptr<QMimeData> FileDrag(const QStringList& paths) {
    auto data = std::make_unique<QMimeData>();
    QList<QUrl> urls;
    for (const QString& p : paths)
        urls << QUrl::fromLocalFile(p);
    data->setUrls(urls);
    data->setText(paths.join(u'\n'));
    return data;
}

// Enter, move and drop as the platform sends them to the native window of
// `form`; the drop happens only when the move was accepted. True when the
// drop was. `at` in the window's coordinates.
inline bool DropOnWindow(QWidget& form, QPoint at, const QMimeData& data) {
    QWindow* window = form.windowHandle();
    if (window == nullptr) return false;
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &enter);
    QDragMoveEvent move(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    if (enter.isAccepted() && enter.dropAction() != Qt::IgnoreAction) {
        move.setDropAction(enter.dropAction());
        move.accept();
    }
    QCoreApplication::sendEvent(window, &move);
    if (!move.isAccepted()) {
        QDragLeaveEvent leave;
        QCoreApplication::sendEvent(window, &leave);
        return false;
    }
    QDropEvent drop(at, actions, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &drop);
    return drop.isAccepted();
}

// The second main window connects to `a`, which makes itself the server.
inline void ConnectPeerTo(app::TMainForm& a, PeerProcess& b) {
    bool told = false;
    Repeat step([&] {
        if (!told && a.WaitForm() && !a.isEnabled() && a.Connection().Listening()) {
            b.Command(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("connect")},
                                  {QStringLiteral("addr"), QStringLiteral("127.0.0.1")}});
            told = true;
        }
        return told;
    });
    Watchdog dog(a);
    a.ServerAction->trigger();
    EXPECT_TRUE(WaitFor([&] { return a.WaitForm() == nullptr && step.Done(); }, 20000));
    EXPECT_FALSE(dog.Fired);
    ASSERT_TRUE(a.Connected());
    ASSERT_TRUE(b.WaitState([](const QJsonObject& s) { return s.value("connected").toBool(); }));
}

} // namespace relvane::test
