// The main window pressing "探す" where a test runs it (inside a network
// namespace the test made): `discovery_window SETTINGS_FILE` presses the
// button, prints each entry of the list ("found NAME<TAB>ADDRESS<TAB>PORT")
// or the message shown instead ("message TEXT"), chooses the first entry,
// connects to it and prints the address field, the first history entry
// before and after, and "connected". Message boxes are printed, not shown.
// Exit status 0 when every step happened in time.

#include "app/discoverypanel.h"
#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/program.h"
#include "tests/support/wait.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include <cstdio>

using namespace relvane::app;
using relvane::test::WaitFor;

namespace {

void Print(const QString& line) {
    std::fputs((line + u'\n').toUtf8().constData(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    InitApplication(app);
    if (argc != 2) return 2;
    SetMessageHook(
        [](QWidget*, TMessageKind, const QString& text) { Print(QStringLiteral("box ") + text); });

    TMainForm form(QString::fromLocal8Bit(argv[1]));
    form.show();
    TDiscoveryPanel& panel = *form.Discovery;
    panel.FindButton->click();
    Print(QStringLiteral("button ") + panel.FindButton->text());
    if (!WaitFor([&] { return !panel.Searching(); }, 10000)) return 1;
    if (panel.MessageLabel->isVisible())
        Print(QStringLiteral("message ") + panel.MessageLabel->text());
    for (int i = 0; i < panel.FoundList->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = panel.FoundList->topLevelItem(i);
        Print(QStringLiteral("found %1\t%2\t%3").arg(row->text(0), row->text(1), row->text(2)));
    }
    if (panel.FoundList->topLevelItemCount() == 0) return 0;

    panel.Choose(0);
    Print(QStringLiteral("address ") + form.IPEdit->currentText());
    form.ConnectAction->trigger();
    Print(QStringLiteral("history ") + form.Settings.AddressHistory[0]);
    if (!WaitFor([&] { return form.Connected(); }, 15000)) return 1;
    Print(QStringLiteral("connected"));
    Print(QStringLiteral("history ") + form.Settings.AddressHistory[0]);
    return 0;
}
