#pragma once
// The program's own texts: window captions and the messages the user reads.

#include <QString>

namespace relvane::app {

inline QString ApplicationTitle() {
    return QStringLiteral("TCP/IP Relvane");
}
inline QString VersionText() {
    return QStringLiteral("Version 5.3");
}

inline QString MsgEnterAddress() {
    return QStringLiteral("ＩＰアドレスを入力してください");
}
inline QString MsgConnectingToServer() {
    return QStringLiteral("サーバーに接続中・・・");
}
inline QString MsgWaitingForPeer() {
    return QStringLiteral("接続を待っています・・・");
}
inline QString MsgCheckingHandshake() {
    return QStringLiteral("接続情報チェック中・・・");
}
inline QString MsgHandshakeFailed() {
    return QStringLiteral("接続情報チェックに失敗しました\r\n接続できませんでした");
}
inline QString MsgCancelled() {
    return QStringLiteral("中止しました");
}
inline QString MsgDisconnected() {
    return QStringLiteral("切断しました");
}
inline QString MsgCannotChangeSettings() {
    return QStringLiteral("接続中の為設定を変更できません");
}
inline QString MsgNotConnected() {
    return QStringLiteral("接続されてません");
}
inline QString MsgChooseFiles() {
    return QStringLiteral("ファイルを選択してください");
}
inline QString MsgSendError() {
    return QStringLiteral("送信エラー");
}
// Errors that keep the connection contain this word.
inline QString CancelMark() {
    return QStringLiteral("中止");
}

inline QString WaitCaption() {
    return QStringLiteral("しばらくお待ちください・・・");
}
inline QString RestartText() {
    return QStringLiteral("再起動中・・・");
}

} // namespace relvane::app
