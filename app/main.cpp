// Program entry: the command line, the application, its title and fonts, the
// main window, the event loop until the main window is closed.

#include "app/mainform.h"
#include "app/program.h"

#include <QApplication>
#include <QIcon>
#include <QStringList>

#include <csignal>
#include <cstdio>

namespace {

// The installed theme's icon, so that the windows match the menu entry; the
// built-in copy where no theme has it (the build folder, a bare desktop).
QIcon ProgramIcon() {
    QIcon builtin;
    for (const int size : {16, 32, 48, 64, 128, 256}) {
        builtin.addFile(
            QStringLiteral(":/relvane/hicolor/%1x%1/apps/" RELVANE_APP_ID ".png").arg(size),
            QSize(size, size));
    }
    return QIcon::fromTheme(QStringLiteral(RELVANE_APP_ID), builtin);
}

} // namespace

int main(int argc, char** argv) {
    using relvane::app::TCommandLine;
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Answered before the application object, which needs a display.
    const TCommandLine line = relvane::app::ParseCommandLine(arguments);
    switch (line.Action) {
    case TCommandLine::TAction::Run:
        break;
    case TCommandLine::TAction::Help:
    case TCommandLine::TAction::Version:
        std::fputs(line.Text.toLocal8Bit().constData(), stdout);
        return 0;
    case TCommandLine::TAction::Refused:
        std::fputs(line.Text.toLocal8Bit().constData(), stderr);
        return relvane::app::ExitUsage;
    }
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    relvane::app::InitApplication(app);
    QApplication::setWindowIcon(ProgramIcon());
    // Wayland shells match windows to the menu entry (and its icon) by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral(RELVANE_APP_ID));
    relvane::app::CreateMainForm()->show();
    const int code = QApplication::exec();
    // Destroying the main window writes the settings.
    relvane::app::DestroyMainForm();
    return code;
}
