#include "protocol/handshake.h"

#include "platform/sjis.h"

namespace relvane {

namespace {

// The Version payload as a number; anything that is not one is simply
// "not 5" there, never an error of its own.
bool IsOurVersion(const QByteArray& text) {
    try {
        return ParseNumber(text) == ProtocolVersion;
    } catch (const EProtocolError&) {
        return false;
    }
}

} // namespace

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

QString WireUserName(const QString& userName) {
    // A name frame of length 0 is never dispatched by the peer's receive
    // loop, and both sides would wait at the name step for ever.
    return userName.isEmpty() ? QStringLiteral("NoName") : userName;
}

Handshake::Handshake(Role role, HandshakeSettings settings, Hooks hooks,
                     std::chrono::milliseconds limit)
    : FRole(role), Settings(std::move(settings)), H(std::move(hooks)), Limit(limit) {}

void Handshake::Start(Clock::time_point since, bool versionSent) {
    if (FStage != ConnectStage::Idle || FFailed) return;
    if (FRole == Role::Listening && Limit.count() > 0) Deadline = since + Limit;
    MoveTo(ConnectStage::Opened);
    if (FRole == Role::Listening && !versionSent) H.Send(VersionRequestFrame());
}

void Handshake::AssumeConnected(bool compressOn, bool resumeOn) {
    FCompressOn = compressOn;
    FResumeOn = resumeOn;
    Deadline = Clock::time_point::max();
    FStage = ConnectStage::Connected;
}

void Handshake::CheckTime(Clock::time_point now) {
    if (!FFailed && !Connected() && now >= Deadline) Fail(HandshakeFailure::TimedOut);
}

int Handshake::MsLeft(Clock::time_point now) const {
    if (FFailed || Connected() || Deadline == Clock::time_point::max()) return -1;
    if (now >= Deadline) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(Deadline - now).count());
}

void Handshake::Process(Kind kind, Type type, const QByteArray& payload) {
    if (FFailed || FStage == ConnectStage::Idle || Connected()) return;
    const QByteArray text = PayloadText(payload);
    if (FRole == Role::Connecting) {
        if (kind == Kind::Request) Answer(type, text);
        return;
    }
    // The listening side asks; a peer that asks back is no peer of ours.
    if (kind == Kind::Request) return Fail(HandshakeFailure::OutOfTurn);
    if (kind == Kind::Reply) TakeReply(type, text);
}

void Handshake::Answer(Type type, const QByteArray& text) {
    switch (type) {
    case Type::Version:
        if (FStage != ConnectStage::Opened) return Fail();
        H.Send(BuildFrame(ControlSlot, Kind::Reply, Type::Version, Format::FmtNumber,
                          NumberPayload(ProtocolVersion)));
        if (!IsOurVersion(text)) return Fail();
        return MoveTo(ConnectStage::VersionAgreed);
    case Type::NameExchange:
        if (FStage != ConnectStage::VersionAgreed) return Fail();
        H.Send(NameExchangeFrame(true, WireUserName(Settings.UserName)));
        FPeerName = FromShiftJis(text);
        return MoveTo(ConnectStage::NamesExchanged);
    case Type::Compress:
        if (FStage != ConnectStage::NamesExchanged) return Fail();
        H.Send(CompressFrame(true, Settings.UseCompress));
        FCompressOn = Settings.UseCompress && IsFlagOn(text);
        return MoveTo(ConnectStage::CompressAgreed);
    case Type::Resume:
        if (FStage != ConnectStage::CompressAgreed) return Fail();
        H.Send(ResumeFrame(true, Settings.UseResume));
        FResumeOn = Settings.UseResume && IsFlagOn(text);
        return MoveTo(ConnectStage::Connected);
    default:
        return; // not a handshake frame
    }
}

void Handshake::TakeReply(Type type, const QByteArray& text) {
    // A Reply out of turn is ignored, as the peer's loop would.
    switch (type) {
    case Type::Version:
        if (FStage != ConnectStage::Opened) return;
        if (!IsOurVersion(text)) return Fail();
        MoveTo(ConnectStage::VersionAgreed);
        return H.Send(NameExchangeFrame(false, WireUserName(Settings.UserName)));
    case Type::NameExchange:
        if (FStage != ConnectStage::VersionAgreed) return;
        FPeerName = FromShiftJis(text);
        MoveTo(ConnectStage::NamesExchanged);
        return H.Send(CompressFrame(false, Settings.UseCompress));
    case Type::Compress:
        if (FStage != ConnectStage::NamesExchanged) return;
        FCompressOn = Settings.UseCompress && IsFlagOn(text);
        MoveTo(ConnectStage::CompressAgreed);
        return H.Send(ResumeFrame(false, Settings.UseResume));
    case Type::Resume:
        if (FStage != ConnectStage::CompressAgreed) return;
        FResumeOn = Settings.UseResume && IsFlagOn(text);
        return MoveTo(ConnectStage::Connected);
    default:
        return;
    }
}

void Handshake::MoveTo(ConnectStage stage) {
    FStage = stage;
    if (stage == ConnectStage::Connected) Deadline = Clock::time_point::max();
    if (H.StageChanged) H.StageChanged(stage);
}

void Handshake::Fail(HandshakeFailure why) {
    if (FFailed) return;
    FFailed = true;
    Deadline = Clock::time_point::max();
    if (H.Failed) H.Failed(why);
}

} // namespace relvane
