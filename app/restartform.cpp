#include "app/restartform.h"

#include "app/consts.h"
#include "app/program.h"
#include "app/uifont.h"

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

    Label1 = new QLabel(RestartText(), this);
    Label1->setFont(MinchoFont(19));
    Label1->move(88, 25);
    Label1->adjustSize();

    Timer1 = new QTimer(this);
    Timer1->setSingleShot(true);
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, &TRestartForm::Timer1Timer);
    Timer1->start();

    CenterOnScreen(this);
}

void TRestartForm::Timer1Timer() {
    Timer1->stop();
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
