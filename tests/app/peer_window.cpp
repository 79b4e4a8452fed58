// A main window in a process of its own, driven by a test through JSON lines
// on standard input; it reports its message boxes and its state on standard
// output. Two main windows need two processes: each one's waits run the
// other's events only in its own thread.
//
//   relvane_testpeer SETTINGS_FILE
//   {"cmd":"server"} {"cmd":"connect","addr":"127.0.0.1"} {"cmd":"cancel"}
//   {"cmd":"disconnect"} {"cmd":"exit"} {"cmd":"send","files":[...]}
//   {"cmd":"state","id":N} {"cmd":"chat","text":"..."} (typed, then Enter)
//
// Besides the message boxes it reports each status window's showing, hiding
// and every refresh while it shows: {"ev":"status","window":...,"what":
// "show"|"hide"|"tick", ...what the window shows}.

#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/program.h"
#include "app/waitform.h"
#include "chat/messageform.h"
#include "net/socket.h"
#include "protocol/worker.h"
#include "status/statusform.h"
#include "tests/app/status_probe.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

using namespace relvane;
using namespace relvane::app;
using namespace relvane::test;

namespace {

void Emit(const QJsonObject& event) {
    const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stdout);
    std::fflush(stdout);
}

QJsonObject State(TMainForm& form) {
    QJsonObject enabled;
    for (QAction* a : {form.ServerAction, form.ConnectAction, form.DisconnectAction,
                       form.OptionAction, form.SendAction}) {
        enabled[a->objectName()] = a->isEnabled();
    }
    enabled[QStringLiteral("IPEdit")] = form.IPEdit->isEnabledTo(&form);
    QJsonArray history;
    for (const QString& h : form.Settings.AddressHistory)
        history.append(h);
    return QJsonObject{
        {QStringLiteral("ev"), QStringLiteral("state")},
        {QStringLiteral("stage"), form.ConnectStage()},
        {QStringLiteral("connected"), form.Connected()},
        {QStringLiteral("title"), form.windowTitle()},
        {QStringLiteral("enabled"), enabled},
        {QStringLiteral("window"), form.isEnabled()},
        {QStringLiteral("waiting"), form.WaitForm() != nullptr},
        {QStringLiteral("listening"), form.Connection().Listening()},
        {QStringLiteral("worker"), form.Progress() != nullptr},
        {QStringLiteral("history"), history},
        {QStringLiteral("userName"), form.Settings.UserName},
        {QStringLiteral("send"), StatusSnapshot(*form.SendStatusForm)},
        {QStringLiteral("recv"), StatusSnapshot(*form.RecvStatusForm)},
        {QStringLiteral("chat"),
         QJsonObject{
             {QStringLiteral("visible"), form.MessageForm->isVisible()},
             {QStringLiteral("lines"), QJsonArray::fromStringList(form.MessageForm->Lines())},
             {QStringLiteral("input"), form.MessageForm->MessageText()},
             {QStringLiteral("checked"), form.MessageAction->isChecked()},
             {QStringLiteral("frame"), RectJson(form.MessageForm->frameGeometry())},
         }},
        {QStringLiteral("mainFrame"), RectJson(form.frameGeometry())},
    };
}

void Run(TMainForm& form, const QJsonObject& cmd) {
    const QString name = cmd.value(QStringLiteral("cmd")).toString();
    if (name == u"server") {
        form.ServerAction->trigger();
    } else if (name == u"connect") {
        form.IPEdit->setEditText(cmd.value(QStringLiteral("addr")).toString());
        form.ConnectAction->trigger();
    } else if (name == u"cancel") {
        if (form.WaitForm()) form.WaitForm()->CancelButton->click();
    } else if (name == u"disconnect") {
        form.DisconnectAction->trigger();
    } else if (name == u"exit") {
        form.ExitAction->trigger();
    } else if (name == u"send") {
        QStringList files;
        for (const QJsonValue& f : cmd.value(QStringLiteral("files")).toArray())
            files << f.toString();
        form.FilesDropped(files);
        form.SendAction->trigger();
    } else if (name == u"chat") {
        // Typed into the input box, then Enter.
        form.MessageForm->MessageMemo->setPlainText(cmd.value(QStringLiteral("text")).toString());
        QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
        QCoreApplication::sendEvent(form.MessageForm->MessageMemo, &enter);
    } else if (name == u"state") {
        QJsonObject state = State(form);
        state[QStringLiteral("id")] = cmd.value(QStringLiteral("id"));
        Emit(state);
        return;
    }
    Emit({{QStringLiteral("ev"), QStringLiteral("done")}, {QStringLiteral("cmd"), name}});
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    InitApplication(app);
    if (argc < 2) return 2;

    SetMessageHook([](QWidget*, TMessageKind kind, const QString& text) {
        Emit({{QStringLiteral("ev"), QStringLiteral("msg")},
              {QStringLiteral("kind"),
               kind == TMessageKind::mkError ? QStringLiteral("error") : QStringLiteral("plain")},
              {QStringLiteral("text"), text}});
    });
    TMainForm form(QString::fromLocal8Bit(argv[1]));
    const auto reporter = [](const QString& window) {
        return [window](QJsonObject e) {
            e[QStringLiteral("ev")] = QStringLiteral("status");
            e[QStringLiteral("window")] = window;
            Emit(e);
        };
    };
    StatusProbe sendProbe(*form.SendStatusForm, reporter(QStringLiteral("send")));
    StatusProbe recvProbe(*form.RecvStatusForm, reporter(QStringLiteral("recv")));
    form.show();
    QObject::connect(&form, &TMainForm::FormClosed, &app, [] {
        Emit({{QStringLiteral("ev"), QStringLiteral("closed")}});
    });

    // Each command runs from the event queue, so one that waits (a server
    // or connect action) still lets the next ones in.
    QByteArray input;
    QSocketNotifier stdinNotifier(0, QSocketNotifier::Read);
    QObject::connect(&stdinNotifier, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n <= 0) {
            // The test is gone: so is this window, at once.
            std::fflush(stdout);
            ::_exit(0);
        }
        input.append(buffer, n);
        qsizetype nl;
        while ((nl = input.indexOf('\n')) >= 0) {
            const QJsonObject cmd = QJsonDocument::fromJson(input.left(nl)).object();
            input.remove(0, nl + 1);
            QTimer::singleShot(0, &form, [&form, cmd] { Run(form, cmd); });
        }
    });
    Emit({{QStringLiteral("ev"), QStringLiteral("ready")},
          {QStringLiteral("pid"), static_cast<qint64>(::getpid())}});
    return QApplication::exec();
}
