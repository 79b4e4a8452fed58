#include "platform/profile.h"

#include "platform/sjis.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

namespace relvane {
namespace {

QStringList ReadLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QString text = FromShiftJis(f.readAll());
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

// "[Name]" with blanks allowed around the name; empty when not a section line.
QString SectionOf(const QString& line) {
    const QString t = line.trimmed();
    if (t.size() < 2 || !t.startsWith(QLatin1Char('[')) || !t.endsWith(QLatin1Char(']'))) {
        return {};
    }
    return t.mid(1, t.size() - 2).trimmed();
}

bool IsSection(const QString& line) {
    return !SectionOf(line).isEmpty();
}

bool SameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

// The key of a "key=value" line, trimmed; empty for comments and other lines.
QString KeyOf(const QString& line) {
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0) return {};
    const QString key = line.left(eq).trimmed();
    if (key.startsWith(QLatin1Char(';'))) return {};
    return key;
}

// Index of the section's header line, or -1.
qsizetype FindSection(const QStringList& lines, const QString& section) {
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (IsSection(lines[i]) && SameName(SectionOf(lines[i]), section)) return i;
    }
    return -1;
}

} // namespace

QString TProfileFile::ReadString(const QString& section, const QString& key,
                                 const QString& def) const {
    const QStringList lines = ReadLines(Path);
    const qsizetype start = FindSection(lines, section);
    if (start < 0) return def;
    for (qsizetype i = start + 1; i < lines.size() && !IsSection(lines[i]); ++i) {
        if (SameName(KeyOf(lines[i]), key)) {
            return lines[i].mid(lines[i].indexOf(QLatin1Char('=')) + 1).trimmed();
        }
    }
    return def;
}

void TProfileFile::WriteString(const QString& section, const QString& key, const QString& value) {
    QStringList lines = ReadLines(Path);
    const QString entry = key + QLatin1Char('=') + value;
    const qsizetype start = FindSection(lines, section);
    if (start < 0) {
        if (!lines.isEmpty()) lines << QString();
        lines << QLatin1Char('[') + section + QLatin1Char(']') << entry;
    } else {
        qsizetype lastKey = start;
        qsizetype i = start + 1;
        bool replaced = false;
        for (; i < lines.size() && !IsSection(lines[i]); ++i) {
            if (SameName(KeyOf(lines[i]), key)) {
                lines[i] = entry;
                replaced = true;
                break;
            }
            if (!lines[i].trimmed().isEmpty()) lastKey = i;
        }
        if (!replaced) lines.insert(lastKey + 1, entry);
    }

    QByteArray bytes;
    for (const QString& line : lines)
        bytes += ToShiftJis(line) + "\r\n";
    const QString dir = QFileInfo(Path).absolutePath();
    QDir().mkpath(dir);
    // Written whole to a temporary file and renamed: a failed write leaves the old file.
    QSaveFile f(Path);
    const QFileInfo existing(Path);
    if ((existing.exists() && !existing.isWritable()) || !f.open(QIODevice::WriteOnly) ||
        f.write(bytes) != bytes.size() || !f.commit()) {
        throw EProfileError(QStringLiteral("%1 に書き込めません").arg(Path));
    }
}

} // namespace relvane
