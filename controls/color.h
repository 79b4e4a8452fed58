#pragma once
// Colours as the settings file and the controls hold them: $00BBGGRR, red in
// the low byte. A value with the top bit set names a system colour by its
// index in the low byte; the application palette stands in for the desktop's.

#include <QColor>
#include <QRgb>

#include <cstdint>

namespace relvane {

using TColor = std::uint32_t;

constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clAqua = 0xFFFF00;

constexpr TColor clSystemColor = 0x80000000;
constexpr TColor clWindow = clSystemColor | 5;
constexpr TColor clWindowText = clSystemColor | 8;
constexpr TColor clHighlight = clSystemColor | 13;
constexpr TColor clHighlightText = clSystemColor | 14;
constexpr TColor clBtnFace = clSystemColor | 15;
constexpr TColor clBtnShadow = clSystemColor | 16;
constexpr TColor clBtnText = clSystemColor | 18;
constexpr TColor clBtnHighlight = clSystemColor | 20;

[[nodiscard]] constexpr TColor RGBToColor(int r, int g, int b) {
    return TColor(r & 0xFF) | TColor(g & 0xFF) << 8 | TColor(b & 0xFF) << 16;
}
[[nodiscard]] constexpr int ColorRed(TColor c) {
    return int(c & 0xFF);
}
[[nodiscard]] constexpr int ColorGreen(TColor c) {
    return int(c >> 8 & 0xFF);
}
[[nodiscard]] constexpr int ColorBlue(TColor c) {
    return int(c >> 16 & 0xFF);
}

// The colour to draw with: plain values byte for byte, system colours from
// the application palette.
[[nodiscard]] QColor ResolveColor(TColor c);
// The inverse for plain colours (a colour dialog's answer).
[[nodiscard]] constexpr TColor ColorFromRgb(QRgb rgb) {
    return RGBToColor(qRed(rgb), qGreen(rgb), qBlue(rgb));
}

} // namespace relvane
