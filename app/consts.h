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
// This build, as "relvane --version" prints it.
inline QString ProgramVersionText() {
    return QStringLiteral("relvane " RELVANE_VERSION);
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

// The settings dialog's port refused while the server still listens after
// its peer left: how to free the port, and how to keep the other edits.
inline QString MsgPortStillListening(int oldPort) {
    return QStringLiteral("相手が切断した後も、サーバーがこのポートで接続を待っています。\r\n"
                          "ポートを変えるには、この画面を閉じて「サーバー作成」を押し、"
                          "待機画面の「キャンセル」でサーバーを止めてから設定し直してください。\r\n"
                          "ポートを元の %1 に戻せば、ほかの変更はそのまま設定できます。")
        .arg(oldPort);
}

// Second lines under the socket layer's errors, for their common causes.
inline QString HintConnectionRefused() {
    return QStringLiteral(
        "相手がこのポートでサーバーを作成していません。"
        "相手に「サーバー作成」を押してもらい、ポート番号が同じか確かめてください。");
}
inline QString HintUnreachable() {
    return QStringLiteral("相手のコンピューターに届きません。"
                          "IPアドレスとネットワークの接続を確かめてください。");
}
inline QString HintNotAnAddress() {
    return QStringLiteral("IPアドレスは 192.168.0.5 のように、"
                          "4 つの数字をピリオドで区切って入力してください。");
}
inline QString HintPortTaken() {
    return QStringLiteral(
        "このポートはほかのプログラム（同じコンピューターのもう一つの TCP/IP Relvane "
        "など）が使っています。設定でポート番号を変えてください。");
}
inline QString HintPortPrivileged() {
    return QStringLiteral("1024 より小さいポートは管理者しか使えません。"
                          "設定で 1024 以上のポート番号にしてください。");
}
inline QString HintConnectionLost() {
    return QStringLiteral("相手のプログラムが終了したか、ネットワークが切れました。");
}

// "探す": finding copies that wait as servers on the local network.
inline QString FindCaption() {
    return QStringLiteral("探す(&L)");
}
inline QString FindHint() {
    return QStringLiteral("同じネットワークでサーバー作成している相手を探します");
}
inline QString MsgSearching() {
    return QStringLiteral("探しています・・・");
}
inline QString MsgNotFound() {
    return QStringLiteral("見つかりませんでした");
}
inline QString HintNotFound(int port) {
    return QStringLiteral("相手が同じネットワークで「サーバー作成」を押しているか、"
                          "ファイアウォールがポート %1 の UDP と TCP を通すか確かめてください。")
        .arg(port);
}
inline QString HintNoNetwork() {
    return QStringLiteral("問い合わせるネットワークがありません。"
                          "ネットワークの接続を確かめてください。");
}

inline QString WaitCaption() {
    return QStringLiteral("しばらくお待ちください・・・");
}
inline QString RestartText() {
    return QStringLiteral("再起動中・・・");
}

} // namespace relvane::app
