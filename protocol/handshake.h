#pragma once
// The listening side's half of the handshake: it sends each Request once the
// previous Reply has moved the stage on (1 Version, 2 NameExchange,
// 3 Compress, 5 Resume; 4 means connected). The stage itself is moved by the
// worker, so the caller supplies the wait.

#include "net/connection.h"

#include <QByteArray>
#include <QString>

#include <functional>

namespace relvane {

// "接続情報チェックに失敗しました\r\n接続できませんでした"
[[nodiscard]] QString HandshakeFailedText();

[[nodiscard]] QByteArray VersionRequestFrame();
// The user name in Shift-JIS, cut to 50 bytes at a character boundary.
[[nodiscard]] QByteArray NameExchangeFrame(bool reply, const QString& userName);
[[nodiscard]] QByteArray CompressFrame(bool reply, bool on);
[[nodiscard]] QByteArray ResumeFrame(bool reply, bool on);
[[nodiscard]] QByteArray DisconnectFrame();
[[nodiscard]] QByteArray SendRequestFrame();
[[nodiscard]] QByteArray ChatFrame(const QString& text);

struct StageWait {
    std::function<int()> Stage;            // the current ConnectStage
    std::function<bool()> HandshakeFailed; // set by the worker
    std::function<bool()> Cancelled;       // the user gave up; may be empty
    std::function<void()> OnCancel;        // clean-up before "中止しました"; may be empty
    // Blocks until something may have changed (the next event), at most
    // about timeoutMs; dispatches the events that arrive.
    std::function<void(int timeoutMs)> DispatchEvents;
};

// Returns once the stage is n (tested first). Throws EProtocolError with
// HandshakeFailedText() when the worker flagged a failure, "中止しました" on
// cancel (after OnCancel), and, when deadlineMs >= 0 and it passes, the
// failure text as well.
void WaitForStage(int n, const StageWait& wait, int deadlineMs = -1);

// Steps at stage 1: Version, NameExchange, Compress, Resume, each followed by
// a wait for the next stage. Ends at stage 4.
void DriveHandshake(IConnection& connection, const QString& userName, bool useCompress,
                    bool useResume, const StageWait& wait, int deadlineMs = -1);

} // namespace relvane
