#include "protocol/texts.h"

#include <QDir>

namespace relvane::texts {

namespace {
QString Native(const QString& path) {
    return QDir::toNativeSeparators(path);
}
} // namespace

QString Cancelled() {
    return QStringLiteral("中止しました");
}

QString Disconnected() {
    return QStringLiteral("切断しました");
}

QString NotConnected() {
    return QStringLiteral("接続されてません");
}

QString SendFailed() {
    return QStringLiteral("送信エラー");
}

QString FileSendFailed() {
    return QStringLiteral("送信完了エラー");
}

QString ListSendFailed() {
    return QStringLiteral("送信全完了エラー");
}

QString SendAbandoned() {
    return QStringLiteral("\r\n送信を中止しました");
}

QString CannotRead(const QString& path) {
    return QStringLiteral("ファイル %1 の読み込みに失敗しました").arg(path);
}

QString ShrankWhileSending(const QString& path) {
    return QStringLiteral("ファイル %1 は送信中に短くなりました").arg(path);
}

QString CannotOpen(const QString& path) {
    return QStringLiteral("ファイル %1 は開けません").arg(Native(path));
}

QString CannotCreate(const QString& path) {
    return QStringLiteral("ファイル %1 を作成できません").arg(Native(path));
}

QString CannotRename(const QString& path) {
    return QStringLiteral("ファイル %1 の名前を変更できません").arg(Native(path));
}

QString WriteFailed() {
    return QStringLiteral("ストリームへの書き込みエラー");
}

QString NameRefused(const QString& shownName) {
    return QStringLiteral("ファイル名 '%1' は受け取れません").arg(shownName);
}

QString BadFileSize(std::int64_t size) {
    return QStringLiteral("ファイルサイズ %1 は不正です").arg(size);
}

QString OfferRejected() {
    return QStringLiteral("相手は拡張機能の確認を受け付けずに切断しました\r\n"
                          "設定で拡張機能を使わないようにして（relvane-cli では --no-extensions）"
                          "接続し直してください");
}

QString VerifyFailed(const QString& path) {
    return QStringLiteral("検証エラー: ファイル %1 は送られたものと一致しません"
                          "（受信途中のファイルとして残しました。もう一度送ると直ります）")
        .arg(Native(path));
}

QString SizeMismatch(const QString& path, std::int64_t received, std::int64_t announced) {
    return QStringLiteral("ファイル %1 のサイズが一致しません (%2 / %3)")
        .arg(Native(path))
        .arg(received)
        .arg(announced);
}

} // namespace relvane::texts
