#pragma once
// The restart window (layout name RestartForm): about a second after it is
// shown it replaces the main window by a new one (which writes and re-reads
// the settings on the way) and then goes away itself. The user cannot close
// it: that would skip the restart and lose the new settings' effect. So it
// has no title-bar button at all, refuses close requests, and stays above
// the main window it replaces.

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

    QLabel* MessageLabel; // "再起動中・・・", layout name Label1
    QTimer* RestartTimer; // layout name Timer1

    void RestartTimerTimer();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    std::function<void()> Restart;
};

// Creates the restart window, owned by the application, and shows it.
void StartRestart();

} // namespace relvane::app
