#include "protocol/handshake.h"

#include "platform/sjis.h"
#include "protocol/frame.h"

#include <QDeadlineTimer>

namespace relvane {

QString HandshakeFailedText() {
    return QStringLiteral("接続情報チェックに失敗しました\r\n接続できませんでした");
}

QByteArray VersionRequestFrame() {
    // One character: the first digit of the version's decimal text.
    return BuildFrame(ControlSlot, Kind::Request, Type::Version, Format::FmtNumber,
                      NumberPayload(ProtocolVersion).left(1));
}

QByteArray NameExchangeFrame(bool reply, const QString& userName) {
    return BuildFrame(ControlSlot, reply ? Kind::Reply : Kind::Request, Type::NameExchange,
                      Format::FmtText, CutShiftJis(ToShiftJis(userName), MaxUserNameBytes));
}

QByteArray CompressFrame(bool reply, bool on) {
    return BuildFrame(ControlSlot, reply ? Kind::Reply : Kind::Request, Type::Compress,
                      Format::FmtFlag, FlagPayload(on));
}

QByteArray ResumeFrame(bool reply, bool on) {
    return BuildFrame(ControlSlot, reply ? Kind::Reply : Kind::Request, Type::Resume,
                      Format::FmtFlag, FlagPayload(on));
}

QByteArray DisconnectFrame() {
    return BuildFrame(ControlSlot, Kind::Request, Type::Disconnect, Format::FmtNone, NonePayload());
}

QByteArray SendRequestFrame() {
    return BuildFrame(ControlSlot, Kind::Request, Type::SendRequest, Format::FmtNone,
                      NonePayload());
}

QByteArray ChatFrame(const QString& text) {
    return BuildFrame(ControlSlot, Kind::Notice, Type::Chat, Format::FmtText, TextPayload(text));
}

void WaitForStage(int n, const StageWait& wait, int deadlineMs) {
    const QDeadlineTimer deadline =
        deadlineMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(deadlineMs);
    while (wait.Stage() != n) {
        wait.DispatchEvents(100);
        if (wait.HandshakeFailed()) throw EProtocolError(HandshakeFailedText(), ErrorKind::HandshakeFailed);
        if (wait.Cancelled && wait.Cancelled()) {
            if (wait.OnCancel) wait.OnCancel();
            throw EProtocolError(QStringLiteral("中止しました"), ErrorKind::Cancelled);
        }
        if (deadline.hasExpired() && wait.Stage() != n) {
            throw EProtocolError(HandshakeFailedText(), ErrorKind::HandshakeFailed);
        }
    }
}

void DriveHandshake(IConnection& connection, const QString& userName, bool useCompress,
                    bool useResume, const StageWait& wait, int deadlineMs) {
    const QDeadlineTimer deadline =
        deadlineMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(deadlineMs);
    const auto remaining = [&] {
        return deadline.isForever()
                   ? -1
                   : static_cast<int>(std::max<qint64>(0, deadline.remainingTime()));
    };
    SendFrame(connection, VersionRequestFrame());
    WaitForStage(2, wait, remaining());
    SendFrame(connection, NameExchangeFrame(false, userName));
    WaitForStage(3, wait, remaining());
    SendFrame(connection, CompressFrame(false, useCompress));
    WaitForStage(5, wait, remaining());
    SendFrame(connection, ResumeFrame(false, useResume));
    WaitForStage(4, wait, remaining());
}

} // namespace relvane
