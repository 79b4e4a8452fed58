#pragma once
// The application's message boxes. Every box the program shows goes through
// here, so tests can replace the modal box with a recorder.

#include <QString>

#include <functional>
#include <memory>
#include <stdexcept>

class QMessageBox;
class QWidget;

namespace relvane::app {

// A failure of one of the program's own operations, carrying the text the
// user will read (UTF-8 in what()).
class EAppError : public std::runtime_error {
public:
    explicit EAppError(const QString& message)
        : std::runtime_error(message.toUtf8().toStdString()) {}
};

enum class TMessageKind {
    mkError, // error icon, OK, the application title: the default error display
    mkPlain, // no icon, OK: plain information such as "切断しました"
};

// Called instead of the modal box; it returns when the user "closed" it.
using TMessageHook = std::function<void(QWidget* owner, TMessageKind kind, const QString& text)>;

// An empty hook restores the real boxes.
void SetMessageHook(TMessageHook hook);

void ShowMessage(QWidget* owner, TMessageKind kind, const QString& text);
// The box ShowMessage runs: titled with the application title, and wide
// enough that a window manager shows that title whole beside its buttons.
[[nodiscard]] std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, TMessageKind kind,
                                                          const QString& text);
inline void ShowErrorMessage(QWidget* owner, const QString& text) {
    ShowMessage(owner, TMessageKind::mkError, text);
}
inline void ShowPlainMessage(QWidget* owner, const QString& text) {
    ShowMessage(owner, TMessageKind::mkPlain, text);
}

} // namespace relvane::app
