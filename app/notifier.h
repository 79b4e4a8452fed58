#pragma once
// Being told while looking elsewhere: desktop notices when a list has
// arrived, failed or was cancelled, when a chat line or a connection request
// comes, raised only while none of the program's windows is active; and a
// tray icon that shows the connection's state and opens the main window.
// The rules (TNotices) talk to the desktop through INotifier, which a test
// replaces.

#include "session/session.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QSystemTrayIcon;
class QWidget;

namespace relvane::app {

enum class TTrayState : std::uint8_t { Idle, Waiting, Connected };

class INotifier {
public:
    virtual ~INotifier() = default;
    // One desktop notice.
    virtual void Notify(const QString& title, const QString& text) = 0;
    // The connection's state, with the text that tells it.
    virtual void ShowState(TTrayState state, const QString& text) = 0;
};

class TNotices : public QObject {
    Q_OBJECT
public:
    // `userLooks`: whether one of the program's windows is active now.
    TNotices(Session& session, INotifier& notifier, std::function<bool()> userLooks,
             QObject* parent = nullptr);

private:
    void Raise(const QString& title, const QString& text);
    void ListEnded(Direction direction, const ListEnd& end);
    void UpdateState();

    Session& S;
    INotifier& Notifier;
    std::function<bool()> UserLooks;
    int FilesReceived = 0;
    int FilesSent = 0;
};

// Notices through the desktop's notification service (org.freedesktop.
// Notifications on the session bus); where there is none, a balloon of the
// tray icon, else the window manager's attention hint on the main window.
class TDesktopNotifier : public QObject, public INotifier {
    Q_OBJECT
public:
    explicit TDesktopNotifier(QWidget* window);
    ~TDesktopNotifier() override;

    void Notify(const QString& title, const QString& text) override;
    void ShowState(TTrayState state, const QString& text) override;

    [[nodiscard]] QSystemTrayIcon* TrayIcon() const { return Tray; }

private slots:
    // The notification service's signal when the user clicked a notice.
    void ActionInvoked(uint id, const QString& action);

private:
    void Fallback(const QString& title, const QString& text);
    void ShowWindow();

    QPointer<QWidget> Window;
    QSystemTrayIcon* Tray = nullptr;
    QList<uint> OurNotices;
};

} // namespace relvane::app
