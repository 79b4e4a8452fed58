#pragma once
// The restart window: about a second after it is shown it replaces the main
// window by a new one (which writes and re-reads the settings on the way) and
// then goes away itself.

#include <QWidget>

#include <functional>

class QLabel;
class QTimer;

namespace relvane::app {

class TRestartForm : public QWidget {
    Q_OBJECT
public:
    // `restart` replaces the main window; the program passes ReplaceMainForm.
    explicit TRestartForm(std::function<void()> restart);

    QLabel* Label1;
    QTimer* Timer1;

    void Timer1Timer();

private:
    std::function<void()> Restart;
};

// Creates the restart window, owned by the application, and shows it.
void StartRestart();

} // namespace relvane::app
