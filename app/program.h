#pragma once
// The program: its start-up settings and the one main window, which the
// restart window may replace by a new one.

#include <QString>

class QApplication;

namespace relvane::app {

class TMainForm;

// Application title, substituted Japanese fonts, the socket layer's errors
// routed to the default error display.
void InitApplication(QApplication& app);

// The settings file every new main window reads; the user's "Varnel.ini"
// unless set otherwise (the tests do).
[[nodiscard]] QString SettingsFile();
void SetSettingsFile(const QString& path);

// The program's main window, or nullptr.
[[nodiscard]] TMainForm* MainForm();
// A new main window that becomes the program's main window; closing it ends
// the program's event loop.
TMainForm* CreateMainForm();
// Destroys the main window (its settings are written) and creates a new one, shown.
void ReplaceMainForm();
// Destroys the main window, writing the settings; at the program's end.
void DestroyMainForm();

} // namespace relvane::app
