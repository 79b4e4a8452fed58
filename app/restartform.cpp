#include "app/restartform.h"

#include "app/consts.h"
#include "app/mainform.h"
#include "app/program.h"
#include "app/uifont.h"
#include "controls/captionbar.h"

#include <QCloseEvent>
#include <QLabel>
#include <QTimer>
#include <QWindow>

namespace relvane::app {

TRestartForm::TRestartForm(std::function<void()> restart)
    : QWidget(nullptr, NoButtonsWindowFlags), Restart(std::move(restart)) {
    setObjectName(QStringLiteral("RestartForm"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(ApplicationTitle());
    setFont(FormFont());
    auto* client = new QWidget(this);
    client->setFixedSize(282, 68);

    MessageLabel = new QLabel(RestartText(), client);
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

    FrameWithCaption(*this, *client);
    CenterOnScreen(this);
}

void TRestartForm::showEvent(QShowEvent* event) {
    // Owned by the application, since it outlives the main window, but kept
    // above that window while both are there.
    if (TMainForm* main = MainForm(); main != nullptr && windowHandle() != nullptr)
        windowHandle()->setTransientParent(main->windowHandle());
    QWidget::showEvent(event);
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
