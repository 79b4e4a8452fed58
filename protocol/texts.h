#pragma once
// The engine's texts for the user, in one place. What the program does
// never depends on them: they are only shown.

#include <QString>

#include <cstdint>

namespace relvane::texts {

QString Cancelled();      // "中止しました"
QString Disconnected();   // "切断しました"
QString NotConnected();   // "接続されてません"
QString SendFailed();     // "送信エラー": the peer refused a file
QString FileSendFailed(); // "送信完了エラー": the peer refused a file once sent
QString ListSendFailed(); // "送信全完了エラー"
QString SendAbandoned();  // "\r\n送信を中止しました", after a reason
QString CannotRead(const QString& path);
QString ShrankWhileSending(const QString& path);
QString CannotOpen(const QString& path);
QString CannotCreate(const QString& path);
QString CannotRename(const QString& path);
QString WriteFailed(); // "ストリームへの書き込みエラー"
QString NameRefused(const QString& shownName);
QString BadFileSize(std::int64_t size);
QString OfferRejected();
QString VerifyFailed(const QString& path); // "検証エラー: ..."
QString SizeMismatch(const QString& path, std::int64_t received, std::int64_t announced);

} // namespace relvane::texts
