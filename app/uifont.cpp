#include "app/uifont.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace relvane::app {

namespace {
const QString GothicFace = QStringLiteral("ＭＳ Ｐゴシック");
const QString MinchoFace = QStringLiteral("ＭＳ Ｐ明朝");
} // namespace

QFont FormFont(int pixelHeight) {
    QFont font(GothicFace);
    font.setPixelSize(pixelHeight);
    return font;
}

QFont MinchoFont(int pixelHeight) {
    QFont font(MinchoFace);
    font.setPixelSize(pixelHeight);
    return font;
}

void SubstituteJapaneseFonts() {
    QFont::insertSubstitutions(GothicFace,
                               {QStringLiteral("IPAPGothic"), QStringLiteral("IPAexGothic"),
                                QStringLiteral("Noto Sans CJK JP")});
    QFont::insertSubstitutions(MinchoFace,
                               {QStringLiteral("IPAPMincho"), QStringLiteral("IPAexMincho"),
                                QStringLiteral("Noto Serif CJK JP")});
    // The about box's title face, by its metric-compatible stand-ins.
    QFont::insertSubstitutions(QStringLiteral("Times New Roman"),
                               {QStringLiteral("Liberation Serif"), QStringLiteral("Nimbus Roman"),
                                QStringLiteral("DejaVu Serif")});
}

void CenterOnScreen(QWidget* window) {
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

} // namespace relvane::app
