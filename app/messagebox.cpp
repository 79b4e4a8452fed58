#include "app/messagebox.h"

#include "app/consts.h"

#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

namespace relvane::app {

namespace {
TMessageHook& Hook() {
    static TMessageHook hook;
    return hook;
}

// Beside the title a window manager draws an icon and up to three buttons,
// about 20 pixels each, and a margin; Qt allows only 50 pixels for them, and
// openbox then cuts "TCP/IP Relvane" to "TC…e" above a short text.
constexpr int TitleBarExtras = 5 * 20;

void WidenForTitle(QMessageBox& box) {
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    if (grid == nullptr) return;
    QFont titleFont = box.font(); // title fonts are commonly bold
    titleFont.setBold(true);
    const int width = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + TitleBarExtras;
    grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                  grid->rowCount(), 0, 1, grid->columnCount());
}
} // namespace

std::unique_ptr<QMessageBox> MakeMessageBox(QWidget* owner, TMessageKind kind,
                                            const QString& text) {
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    auto box = std::make_unique<QMessageBox>(kind == TMessageKind::mkError ? QMessageBox::Critical
                                                                           : QMessageBox::NoIcon,
                                             ApplicationTitle(), shown, QMessageBox::Ok, owner);
    WidenForTitle(*box);
    return box;
}

void SetMessageHook(TMessageHook hook) {
    Hook() = std::move(hook);
}

void ShowMessage(QWidget* owner, TMessageKind kind, const QString& text) {
    if (const TMessageHook hook = Hook()) {
        hook(owner, kind, text);
        return;
    }
    MakeMessageBox(owner, kind, text)->exec();
}

} // namespace relvane::app
