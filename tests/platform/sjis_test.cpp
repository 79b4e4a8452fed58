#include "platform/sjis.h"

#include <gtest/gtest.h>

using namespace relvane;

namespace {
QByteArray Hex(const char* hex) {
    return QByteArray::fromHex(hex);
}
} // namespace

TEST(ShiftJis, RoundTripsJapaneseAndMicrosoftVariantCharacters) {
    // 表 ends in 0x5C, the byte of "\" in ASCII: it must survive as one character.
    const QString text = QStringLiteral("表示.txt ソフト ～①髙 ABC\\~");
    const QByteArray bytes = ToShiftJis(text);
    EXPECT_TRUE(bytes.startsWith(Hex("955c8ea6")));
    EXPECT_TRUE(bytes.contains(Hex("8160"))); // U+FF5E, Microsoft's mapping
    EXPECT_TRUE(bytes.contains(Hex("8740"))); // ① (NEC row 13)
    EXPECT_EQ(FromShiftJis(bytes), text);
    EXPECT_EQ(FromShiftJisStrict(bytes), text);
    EXPECT_EQ(ToShiftJisStrict(text), bytes);
}

TEST(ShiftJis, UnrepresentableCharactersBecomeOneQuestionMarkEach) {
    // An emoji (a surrogate pair) and a Hangul syllable have no code page 932 form.
    const QString text =
        QStringLiteral("a") + QString::fromUcs4(U"\U0001F600") + QStringLiteral("가b");
    EXPECT_EQ(ToShiftJis(text), QByteArray("a??b"));
    EXPECT_FALSE(ToShiftJisStrict(text).has_value());
    // A lone surrogate is no character either.
    EXPECT_EQ(ToShiftJis(QString(QChar(0xD800))), QByteArray("?"));
}

TEST(ShiftJis, InvalidBytesBecomeReplacementCharactersAndDecodingGoesOn) {
    // 0x81 0x20 is a lead byte with an invalid second byte; 0x82 at the end is cut off.
    const QByteArray bytes = Hex("41") + Hex("8120") + Hex("955c") + Hex("82");
    const QString decoded = FromShiftJis(bytes);
    EXPECT_TRUE(decoded.startsWith(QStringLiteral("A\uFFFD")));
    EXPECT_TRUE(decoded.contains(QStringLiteral("表")));
    EXPECT_TRUE(decoded.endsWith(QChar(QChar::ReplacementCharacter)));
    EXPECT_FALSE(FromShiftJisStrict(bytes).has_value());
    EXPECT_EQ(FromShiftJis(QByteArray()), QString());
}

TEST(ShiftJis, CutNeverSplitsATwoByteCharacter) {
    const QByteArray name = ToShiftJis(QStringLiteral("aあいう")); // 1 + 3 * 2 bytes
    EXPECT_EQ(CutShiftJis(name, 7), name);
    EXPECT_EQ(CutShiftJis(name, 6), name.left(5));
    EXPECT_EQ(CutShiftJis(name, 4), name.left(3));
    EXPECT_EQ(CutShiftJis(name, 1), QByteArray("a"));
    EXPECT_EQ(CutShiftJis(name, 0), QByteArray());
    // Half-width katakana are one byte each.
    const QByteArray kana = ToShiftJis(QStringLiteral("ｱｲｳ"));
    EXPECT_EQ(kana.size(), 3);
    EXPECT_EQ(CutShiftJis(kana, 2), kana.left(2));
}

// Characters whose code page 932 bytes JIS reads as other characters: the
// name goes in the form a Windows user sees, on the same bytes.
TEST(ShiftJis, JisFormsBecomeTheirWindowsForms) {
    const struct {
        char16_t Jis, Windows;
        const char* Bytes;
    } table[] = {
        {u'\u301C', u'\uFF5E', "8160"}, // wave dash, as input methods here type it
        {u'\u2016', u'\u2225', "8161"}, {u'\u2212', u'\uFF0D', "817c"},
        {u'\u2014', u'\u2015', "815c"}, {u'\u00A2', u'\uFFE0', "8191"},
        {u'\u00A3', u'\uFFE1', "8192"}, {u'\u00AC', u'\uFFE2', "81ca"},
    };
    for (const auto& row : table) {
        const QString jis = QStringLiteral("a%1b").arg(QChar(row.Jis));
        const QString windows = QStringLiteral("a%1b").arg(QChar(row.Windows));
        EXPECT_EQ(ToWindowsForms(jis), windows) << int(row.Jis);
        EXPECT_EQ(ToShiftJisStrict(windows), "a" + Hex(row.Bytes) + "b") << int(row.Jis);
        EXPECT_EQ(FromShiftJisStrict("a" + Hex(row.Bytes) + "b"), windows) << int(row.Jis);
    }
    // Everything else stays, the look-alikes that have no such pair included.
    const QString other = QStringLiteral("表示～\u00A5\u203E~-");
    EXPECT_EQ(ToWindowsForms(other), other);
}
