#pragma once
// The program: its start-up settings and the one main window, which the
// restart window may replace by a new one.

#include <QString>
#include <QStringList>

#include <cstdint>

class QApplication;

namespace relvane {
class ESocketError;
}

namespace relvane::app {

class TMainForm;

// What the desktop program's command line asks for.
struct TCommandLine {
    enum class TAction : std::uint8_t {
        Run,     // open the main window
        Help,    // print Text on standard output and end
        Version, // the same
        Refused, // print Text on standard error and end with ExitUsage
    };
    TAction Action = TAction::Run;
    QString Text;
};
inline constexpr int ExitUsage = 2;

// Reads the command line (the first argument names the program) without an
// application object, so that --help and --version answer where no display
// is: --help, --version, and Qt's own options, which QApplication takes
// afterwards. Any other option, and any argument, is refused.
[[nodiscard]] TCommandLine ParseCommandLine(const QStringList& arguments);

// Application title, substituted Japanese fonts, Qt's own texts in Japanese
// (the standard dialogs), this copy's window slot, the socket layer's errors
// routed to the default error display. Safe to call more than once.
void InitApplication(QApplication& app);

// A second line in plain Japanese under a socket error's own text, for the
// common causes (refused, unreachable, not an address, port taken); empty
// when there is nothing useful to add.
[[nodiscard]] QString SocketErrorHint(const ESocketError& error);
// The error's text, followed by the hint on a line of its own when there is one.
[[nodiscard]] QString SocketErrorText(const ESocketError& error);

// Claims the lowest slot number no other running copy holds (a lock file in
// the user's runtime folder, released when the process ends) and returns it;
// the same number on every call. 0 when the folder cannot be used.
int ClaimWindowSlot();

// The settings file every new main window reads; the user's "Varnel.ini"
// unless set otherwise (the tests do).
[[nodiscard]] QString SettingsFile();
void SetSettingsFile(const QString& path);

// The program's main window, or nullptr.
[[nodiscard]] TMainForm* MainForm();
// A new main window that becomes the program's main window; closing it ends
// the program's event loop.
TMainForm* CreateMainForm();
// Destroys the main window (its settings are written) and creates a new one,
// shown where the old one stood.
void ReplaceMainForm();
// Destroys the main window, writing the settings; at the program's end.
void DestroyMainForm();

} // namespace relvane::app
