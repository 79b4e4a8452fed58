#pragma once
// The windows ask for "ＭＳ Ｐゴシック"; the program substitutes the IPA fonts
// at start-up, and so must a test that draws text.
#include <QFont>

namespace relvane::test {

inline void UseProgramFonts() {
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
    QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐ明朝"), QStringLiteral("IPAPMincho"));
}

} // namespace relvane::test
