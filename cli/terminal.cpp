#include "cli/terminal.h"

#include <cstdio>

namespace relvane::cli {

QString TerminalSafe(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            out += QStringLiteral("\\x") + QString::number(u, 16).toUpper().rightJustified(2, u'0');
        } else if (u == u'\\') {
            out += QStringLiteral("\\\\");
        } else {
            out += c;
        }
    }
    return out;
}

QStringList LineSplitter::Feed(QByteArrayView bytes) {
    // Only the new bytes are searched: a long line arrives in many reads.
    qsizetype from = Buffer.size();
    Buffer.append(bytes);
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype end; (end = Buffer.indexOf('\n', from)) >= 0; start = from = end + 1) {
        if (!Dropping) lines << Decode(Buffer.mid(start, end - start));
        Dropping = false;
    }
    Buffer.remove(0, start);
    if (Dropping) {
        Buffer.clear();
    } else if (Buffer.size() > MaxLine) {
        lines << Decode(Buffer);
        Buffer.clear();
        Dropping = true;
    }
    return lines;
}

QStringList LineSplitter::Finish() {
    QStringList lines;
    if (!Dropping && !Buffer.isEmpty()) lines << Decode(Buffer);
    Buffer.clear();
    Dropping = false;
    return lines;
}

QString LineSplitter::Decode(QByteArray line) const {
    if (line.endsWith('\r')) line.chop(1);
    if (line.size() > MaxLine) {
        // At a character's start, so that the cut does not leave half a
        // UTF-8 sequence behind.
        qsizetype cut = MaxLine;
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80)
            --cut;
        line.truncate(cut);
    }
    return QString::fromLocal8Bit(line);
}

namespace {

void Write(std::FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

QString OwnText(const QString& text) {
    QStringList lines = text.split(QStringLiteral("\r\n"));
    for (QString& line : lines)
        line = TerminalSafe(line);
    return lines.join(QLatin1Char('\n'));
}

QString ShownPeerName(const QString& name, bool* cut, int maxChars) {
    const bool longer = name.size() > maxChars;
    if (cut != nullptr) *cut = longer;
    QString shown = name;
    if (longer) {
        // Not between the halves of a surrogate pair.
        qsizetype at = maxChars;
        if (shown.at(at - 1).isHighSurrogate()) --at;
        shown = shown.left(at) + QStringLiteral("…");
    }
    return TerminalSafe(shown);
}

void Note(const QString& text) {
    Write(stderr, text);
}

void Out(const QString& text) {
    Write(stdout, text);
}

} // namespace relvane::cli
