#include "app/messagebox.h"

#include "app/consts.h"

#include <QMessageBox>

namespace relvane::app {

namespace {
TMessageHook& Hook() {
    static TMessageHook hook;
    return hook;
}
} // namespace

void SetMessageHook(TMessageHook hook) {
    Hook() = std::move(hook);
}

void ShowMessage(QWidget* owner, TMessageKind kind, const QString& text) {
    if (const TMessageHook hook = Hook()) {
        hook(owner, kind, text);
        return;
    }
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(kind == TMessageKind::mkError ? QMessageBox::Critical : QMessageBox::NoIcon,
                    ApplicationTitle(), shown, QMessageBox::Ok, owner);
    box.exec();
}

} // namespace relvane::app
