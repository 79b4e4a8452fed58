#include "platform/sjis.h"

#include <cerrno>
#include <iconv.h>
#include <utility>

namespace relvane {
namespace {

// glibc's CP932 table is Microsoft's variant (0x5C is the backslash, 0x8160
// is U+FF5E, NEC and IBM extensions included).
class Converter {
public:
    Converter(const char* to, const char* from) : Cd(iconv_open(to, from)) {}
    ~Converter() {
        if (Cd != reinterpret_cast<iconv_t>(-1)) iconv_close(Cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    [[nodiscard]] iconv_t Handle() {
        iconv(Cd, nullptr, nullptr, nullptr, nullptr); // back to the initial state
        return Cd;
    }

private:
    iconv_t Cd;
};

iconv_t Encoder() {
    thread_local Converter c("CP932", "UTF-16LE");
    return c.Handle();
}
iconv_t Decoder() {
    thread_local Converter c("UTF-16LE", "CP932");
    return c.Handle();
}

std::optional<QByteArray> Encode(const QString& text, bool strict) {
    iconv_t cd = Encoder();
    QByteArray out;
    out.reserve(text.size() * 2);
    char* in = const_cast<char*>(reinterpret_cast<const char*>(text.utf16()));
    size_t inLeft = static_cast<size_t>(text.size()) * 2;
    char buf[512];
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buf, o - buf);
        if (r != static_cast<size_t>(-1) || errno == E2BIG) continue;
        // A code point the table lacks, or a lone surrogate.
        if (strict) return std::nullopt;
        const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(in[0]) |
                                                    (static_cast<unsigned char>(in[1]) << 8));
        const size_t skip =
            (QChar::isHighSurrogate(unit) && inLeft >= 4 &&
             QChar::isLowSurrogate(static_cast<char16_t>(static_cast<unsigned char>(in[2]) |
                                                         (static_cast<unsigned char>(in[3]) << 8))))
                ? 4
                : 2;
        in += skip;
        inLeft -= skip;
        out.append('?');
    }
    return out;
}

std::optional<QString> Decode(const QByteArray& bytes, bool strict) {
    iconv_t cd = Decoder();
    QString out;
    out.reserve(bytes.size());
    char* in = const_cast<char*>(bytes.constData());
    size_t inLeft = static_cast<size_t>(bytes.size());
    char buf[1024];
    while (inLeft > 0) {
        char* o = buf;
        size_t oLeft = sizeof buf;
        const size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(QStringView(reinterpret_cast<const char16_t*>(buf), (o - buf) / 2));
        if (r != static_cast<size_t>(-1) || errno == E2BIG) continue;
        // EILSEQ: not a character; EINVAL: a lead byte cut off at the end.
        if (strict) return std::nullopt;
        ++in;
        --inLeft;
        out.append(QChar(QChar::ReplacementCharacter));
    }
    return out;
}

} // namespace

QByteArray ToShiftJis(const QString& text) {
    return *Encode(text, false);
}
QString FromShiftJis(const QByteArray& bytes) {
    return *Decode(bytes, false);
}
std::optional<QByteArray> ToShiftJisStrict(const QString& text) {
    return Encode(text, true);
}
std::optional<QString> FromShiftJisStrict(const QByteArray& bytes) {
    return Decode(bytes, true);
}

QString ToWindowsForms(const QString& text) {
    // One byte pair each in both tables; only the Unicode side differs.
    static constexpr std::pair<char16_t, char16_t> Forms[] = {
        {u'\u301C', u'\uFF5E'}, {u'\u2016', u'\u2225'}, {u'\u2212', u'\uFF0D'},
        {u'\u2014', u'\u2015'}, {u'\u00A2', u'\uFFE0'}, {u'\u00A3', u'\uFFE1'},
        {u'\u00AC', u'\uFFE2'},
    };
    QString out = text;
    for (QChar& c : out) {
        for (const auto& [jis, windows] : Forms) {
            if (c == QChar(jis)) c = QChar(windows);
        }
    }
    return out;
}

QByteArray CutShiftJis(const QByteArray& bytes, int maxBytes) {
    if (bytes.size() <= maxBytes) return bytes;
    int i = 0;
    while (i < bytes.size()) {
        const int width = IsShiftJisLeadByte(static_cast<unsigned char>(bytes[i])) ? 2 : 1;
        if (i + width > maxBytes) break;
        i += width;
    }
    return bytes.left(i);
}

} // namespace relvane
