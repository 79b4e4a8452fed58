#include "app/program.h"

#include "app/consts.h"
#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/settings.h"
#include "app/uifont.h"
#include "net/socket.h"

#include <QApplication>
#include <QPointer>

namespace relvane::app {

namespace {
QString& SettingsPath() {
    static QString path;
    return path;
}
QPointer<TMainForm>& Main() {
    static QPointer<TMainForm> form;
    return form;
}
} // namespace

void InitApplication(QApplication& app) {
    // A plain name for the toolkit (temporary files, folders); the title
    // with its "/" is for captions and message boxes.
    app.setApplicationName(QStringLiteral("relvane"));
    // The main window's close ends the program, whatever else is open.
    app.setQuitOnLastWindowClosed(false);
    SubstituteJapaneseFonts();
    SetSocketErrorHandler(
        [](const ESocketError& error) { ShowErrorMessage(MainForm(), error.Message()); });
}

QString SettingsFile() {
    return SettingsPath().isEmpty() ? DefaultSettingsFile() : SettingsPath();
}

void SetSettingsFile(const QString& path) {
    SettingsPath() = path;
}

TMainForm* MainForm() {
    return Main().data();
}

TMainForm* CreateMainForm() {
    auto* form = new TMainForm(SettingsFile());
    Main() = form;
    QObject::connect(
        form, &TMainForm::FormClosed, qApp,
        [form] {
            if (Main() == form) QCoreApplication::quit();
        },
        Qt::QueuedConnection);
    return form;
}

void ReplaceMainForm() {
    DestroyMainForm();
    CreateMainForm()->show();
}

void DestroyMainForm() {
    delete Main().data();
    Main() = nullptr;
}

} // namespace relvane::app
