#include "controls/color.h"

#include <QGuiApplication>
#include <QPalette>

namespace relvane {

QColor ResolveColor(TColor c) {
    if ((c & clSystemColor) == 0) return QColor(ColorRed(c), ColorGreen(c), ColorBlue(c));
    const QPalette palette = QGuiApplication::palette();
    switch (c) {
    case clWindow:
        return palette.color(QPalette::Base);
    case clWindowText:
        return palette.color(QPalette::Text);
    case clHighlight:
        return palette.color(QPalette::Highlight);
    case clHighlightText:
        return palette.color(QPalette::HighlightedText);
    case clBtnFace:
        return palette.color(QPalette::Button);
    case clBtnShadow:
        return palette.color(QPalette::Dark);
    case clBtnText:
        return palette.color(QPalette::ButtonText);
    case clBtnHighlight:
        return palette.color(QPalette::Light);
    default:
        return palette.color(QPalette::Window);
    }
}

} // namespace relvane
