#pragma once
// Fonts and placement shared by the program's windows.

#include <QFont>

class QWidget;

namespace relvane::app {

// "ＭＳ Ｐゴシック" with the given character height in pixels (12 unless a
// window says otherwise). The Japanese face names are substituted at start.
[[nodiscard]] QFont FormFont(int pixelHeight = 12);
[[nodiscard]] QFont MinchoFont(int pixelHeight);

// Registers the substitutes for the Japanese face names (and the about
// box's Times New Roman), which Linux does not have.
void SubstituteJapaneseFonts();

// Moves a top-level window to the middle of its screen.
void CenterOnScreen(QWidget* window);

} // namespace relvane::app
