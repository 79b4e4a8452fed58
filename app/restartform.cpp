#include "app/restartform.h"

#include "app/consts.h"
#include "app/program.h"
#include "app/uifont.h"

#include <QCloseEvent>
#include <QLabel>
#include <QTimer>

namespace relvane::app {

TRestartForm::TRestartForm(std::function<void()> restart)
    : QWidget(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      Restart(std::move(restart)) {
    setObjectName(QStringLiteral("RestartForm"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(ApplicationTitle());
    setFont(FormFont());
    setFixedSize(282, 68);

    MessageLabel = new QLabel(RestartText(), this);
    MessageLabel->setObjectName(QStringLiteral("Label1"));
    MessageLabel->setFont(MinchoFont(19));
    MessageLabel->move(88, 25);
    MessageLabel->adjustSize();

    RestartTimer = new QTimer(this);
    RestartTimer->setObjectName(QStringLiteral("Timer1"));
    RestartTimer->setSingleShot(true);
    RestartTimer->setInterval(1000);
    connect(RestartTimer, &QTimer::timeout, this, &TRestartForm::RestartTimerTimer);
    RestartTimer->start();

    CenterOnScreen(this);
}

void TRestartForm::closeEvent(QCloseEvent* event) {
    // Alt+F4 or the window manager's close: the restart still happens.
    event->ignore();
}

void TRestartForm::RestartTimerTimer() {
    RestartTimer->stop();
    if (Restart) Restart();
    // Not close(): the user cannot close this window, and a close here could
    // count as the program's last window.
    deleteLater();
}

void StartRestart() {
    auto* form = new TRestartForm(&ReplaceMainForm);
    form->show();
}

} // namespace relvane::app
