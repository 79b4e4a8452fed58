#include "protocol/sendlist.h"

#include "platform/sjis.h"
#include "protocol/frame.h"

#include <QFileInfo>

#include <algorithm>

namespace relvane {

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

std::optional<QByteArray> WireFileName(const QString& path, QString* refusal) {
    const QString name = SendFileName(path);
    const std::optional<QByteArray> bytes = ToShiftJisStrict(name);
    if (name.isEmpty() || !bytes) {
        *refusal =
            QStringLiteral("ファイル名 %1 には Shift-JIS で表せない文字があるため送信できません")
                .arg(path);
        return std::nullopt;
    }
    if (bytes->size() > MaxFileNameBytes) {
        *refusal = QStringLiteral(
                       "ファイル名 %1 は長すぎるため送信できません（Shift-JIS で %2 バイトまで）")
                       .arg(path)
                       .arg(MaxFileNameBytes);
        return std::nullopt;
    }
    return bytes;
}

QString CheckSendList(const QStringList& paths) {
    if (paths.isEmpty()) return QStringLiteral("ファイルを選択してください");
    for (const QString& path : paths) {
        QString refusal;
        if (!WireFileName(path, &refusal)) return refusal;
        const QFileInfo info(path);
        if (!info.isFile() || !info.isReadable()) return CannotOpenText(path);
        if (info.size() > MaxSendSize) return TooLargeText(path);
    }
    return {};
}

} // namespace relvane
