#pragma once
// Shift-JIS (code page 932, Microsoft's variant) at the program's edges: the
// wire, the settings file, the chat log. Inside, texts are QString.
//
// Defined behaviour for text that does not fit:
// - Encoding: a character that code page 932 cannot hold becomes "?" (0x3F),
//   one per code point, as the platform's own conversion does. U+301C (wave
//   dash) is written as 0x8160, which reads back as U+FF5E.
// - Decoding: a byte that does not start a valid character (or a lead byte
//   without its second byte at the end) becomes U+FFFD, and decoding goes on
//   with the next byte.
// The strict variants report either case as failure instead; they decide
// whether a name from the peer or a file name to send can be used at all.

#include <QByteArray>
#include <QString>

#include <optional>

namespace relvane {

[[nodiscard]] QByteArray ToShiftJis(const QString& text);
[[nodiscard]] QString FromShiftJis(const QByteArray& bytes);

[[nodiscard]] std::optional<QByteArray> ToShiftJisStrict(const QString& text);
[[nodiscard]] std::optional<QString> FromShiftJisStrict(const QByteArray& bytes);

// The longest prefix of `bytes` of at most maxBytes that does not split a
// two-byte character.
[[nodiscard]] QByteArray CutShiftJis(const QByteArray& bytes, int maxBytes);

// `text` with the characters whose code page 932 form is Microsoft's and not
// JIS's ("〜" U+301C, "‖", "−", "—", "¢", "£", "¬", which input methods on this
// platform type) replaced by the forms code page 932 reads back ("～" U+FF5E,
// "∥", "－", "―", "￠", "￡", "￢"): what a Windows user sees of the same bytes.
[[nodiscard]] QString ToWindowsForms(const QString& text);

// True for the first byte of a two-byte character.
[[nodiscard]] constexpr bool IsShiftJisLeadByte(unsigned char b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

} // namespace relvane
