#include "protocol/sendlist.h"

#include "platform/sjis.h"
#include "protocol/frame.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace relvane {

QString PartialFileName(const QString& name) {
    const QString plain = name + QStringLiteral(".Recv");
    if (QFile::encodeName(plain).size() <= MaxLocalNameBytes) return plain;
    // A name that fits only without the suffix: cut, with a digest of the
    // whole name, so that the same file finds its partial again for a resume
    // (where the checksum still guards against the rare other file).
    const QString tail =
        QLatin1Char('~') +
        QString::fromLatin1(
            QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha1).toHex().left(8)) +
        QStringLiteral(".Recv");
    QString cut = name;
    while (!cut.isEmpty() && QFile::encodeName(cut + tail).size() > MaxLocalNameBytes)
        cut.chop(cut.size() >= 2 && cut.back().isLowSurrogate() ? 2 : 1);
    return cut + tail;
}

QString CannotOpenText(const QString& path) {
    return QStringLiteral("ファイル %1 は開けません").arg(path);
}

QString TooLargeText(const QString& path) {
    return QStringLiteral("ファイル %1 は 2GB 以上のため送信できません").arg(path);
}

QString SendFileName(const QString& path) {
    const qsizetype cut =
        std::max({path.lastIndexOf(u'/'), path.lastIndexOf(u'\\'), path.lastIndexOf(u':')});
    return path.mid(cut + 1);
}

namespace {

// The bare name's Shift-JIS bytes, its JIS-form characters in their Windows
// forms; nothing when Shift-JIS cannot hold it faithfully.
std::optional<QByteArray> ShiftJisName(const QString& name) {
    const QString sent = ToWindowsForms(name);
    const std::optional<QByteArray> bytes = ToShiftJisStrict(sent);
    // A character that comes back as another one (U+00A5 as "\", U+203E as
    // "~") would make the peer store another name, or refuse it.
    if (sent.isEmpty() || !bytes || FromShiftJisStrict(*bytes) != sent) return std::nullopt;
    return bytes;
}

QString UnrepresentableText(const QString& path) {
    return QStringLiteral("ファイル名 %1 には Shift-JIS で表せない文字があるため送信できません")
        .arg(path);
}

// Lines of a message, one for each item; a long list ends with how many more.
QString ListedLines(const QStringList& items) {
    constexpr qsizetype Shown = 20;
    QString text;
    for (qsizetype i = 0; i < std::min(items.size(), Shown); ++i)
        text += QStringLiteral("\r\n") + items.at(i);
    if (items.size() > Shown) text += QStringLiteral("\r\nほか %1 件").arg(items.size() - Shown);
    return text;
}

} // namespace

std::optional<QByteArray> WireFileName(const QString& path, QString* refusal) {
    const std::optional<QByteArray> bytes = ShiftJisName(SendFileName(path));
    if (!bytes) {
        *refusal = UnrepresentableText(path);
        return std::nullopt;
    }
    if (bytes->size() > MaxFileNameBytes) {
        *refusal = QStringLiteral(
                       "ファイル名 %1 は長すぎるため送信できません（Shift-JIS で %2 バイトまで）")
                       .arg(path)
                       .arg(MaxFileNameBytes);
        return std::nullopt;
    }
    // The peer's file system (bytes of UTF-8 there) must hold the name; its
    // refusal would cost the rest of the list.
    if (QFile::encodeName(ToWindowsForms(SendFileName(path))).size() > MaxLocalNameBytes) {
        *refusal =
            QStringLiteral("ファイル名 %1 は長すぎるため送信できません（UTF-8 で %2 バイトまで）")
                .arg(path)
                .arg(MaxLocalNameBytes);
        return std::nullopt;
    }
    return bytes;
}

QString WindowsFormsNotice(const QStringList& paths) {
    QStringList changed;
    for (const QString& path : paths) {
        const QString name = SendFileName(path);
        const QString sent = ToWindowsForms(name);
        if (sent != name) changed << name + QStringLiteral(" → ") + sent;
    }
    if (changed.isEmpty()) return {};
    return QStringLiteral("次のファイル名は Windows で使われる文字に置き換えて送信します") +
           ListedLines(changed);
}

QString CheckSendList(const QStringList& paths) {
    if (paths.isEmpty()) return QStringLiteral("ファイルを選択してください");
    // Every name that cannot go is told at once, not one per attempt.
    QStringList unrepresentable;
    for (const QString& path : paths) {
        if (!ShiftJisName(SendFileName(path))) unrepresentable << path;
    }
    if (unrepresentable.size() == 1) return UnrepresentableText(unrepresentable.front());
    if (!unrepresentable.isEmpty()) {
        return QStringLiteral(
                   "次のファイル名には Shift-JIS で表せない文字があるため送信できません") +
               ListedLines(unrepresentable);
    }
    // The peer stores every file of a list in one folder under its bare name.
    QHash<QByteArray, QString> named;
    for (const QString& path : paths) {
        QString refusal;
        const std::optional<QByteArray> name = WireFileName(path, &refusal);
        if (!name) return refusal;
        const QFileInfo info(path);
        if (!info.isFile() || !info.isReadable()) return CannotOpenText(path);
        if (info.size() > MaxSendSize) return TooLargeText(path);
        const auto first = named.constFind(*name);
        if (first != named.constEnd()) {
            return QStringLiteral("同じ名前のファイルは一度に送信できません\r\n%1\r\n%2")
                .arg(*first, path);
        }
        named.insert(*name, path);
    }
    return {};
}

} // namespace relvane
