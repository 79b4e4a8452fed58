// Program entry: the application, its title and fonts, the main window, the
// event loop until the main window is closed.

#include "app/mainform.h"
#include "app/program.h"

#include <QApplication>

#include <csignal>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    relvane::app::InitApplication(app);
    relvane::app::CreateMainForm()->show();
    const int code = QApplication::exec();
    // Destroying the main window writes the settings.
    relvane::app::DestroyMainForm();
    return code;
}
