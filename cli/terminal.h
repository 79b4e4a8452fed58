#pragma once
// Text between relvane-cli and its terminal: what the peer sent, made safe to
// print, and the lines read from standard input.

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace relvane::cli {

// `text` with every control character (below U+0020, U+007F and U+0080 to
// U+009F) written as \xNN and a backslash as \\: a peer's name, chat line or
// file name cannot move the cursor, recolour the terminal or forge a line.
[[nodiscard]] QString TerminalSafe(const QString& text);
// One of the program's own messages: its line breaks (CR LF) stay line
// breaks; anything else that could drive the terminal is escaped.
[[nodiscard]] QString OwnText(const QString& text);
// A peer's user name for display: made safe and cut to maxChars characters,
// with `cut` set when it was longer.
[[nodiscard]] QString ShownPeerName(const QString& name, bool* cut, int maxChars = 64);

// Splits standard input into lines (LF or CR LF). A line longer than
// `maxLineBytes` is cut there and the rest of it, up to its end, is dropped,
// so input without line ends cannot fill the memory.
class LineSplitter {
public:
    explicit LineSplitter(qsizetype maxLineBytes) : MaxLine(maxLineBytes) {}
    // The complete lines in what was read so far.
    [[nodiscard]] QStringList Feed(QByteArrayView bytes);
    // At the end of input: the last line if it had no line end.
    [[nodiscard]] QStringList Finish();

private:
    QString Decode(QByteArray line) const;

    qsizetype MaxLine;
    QByteArray Buffer;
    bool Dropping = false; // inside the rest of a line that was cut
};

// One line to standard error (messages) or standard output (the peer's chat).
void Note(const QString& text);
void Out(const QString& text);

} // namespace relvane::cli
