#pragma once
// The connection handshake (Version, NameExchange, Compress, Resume), both
// roles in one object on the worker's thread. The listening side sends each
// Request once the previous Reply moved the stage on (1, 2, 3, 5, then 4:
// connected) and never answers a Request; the connecting side answers. The
// listening side's whole handshake has a time limit, so a peer that answers
// slowly, or answers the first step and stalls, cannot hold the listener.

#include "protocol/frame.h"
#include "protocol/progress.h"

#include <QByteArray>
#include <QString>

#include <chrono>
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
// The name sent for `userName`: a peer never sees an empty name.
[[nodiscard]] QString WireUserName(const QString& userName);

// Why a handshake failed: a peer that disagreed is told to the user; one
// that stalled or spoke out of turn is dropped like a port probe.
enum class HandshakeFailure : std::uint8_t { Disagreed, TimedOut, OutOfTurn };

struct HandshakeSettings {
    QString UserName; // empty goes on the wire as "NoName"
    bool UseCompress = true;
    bool UseResume = true;
};

class Handshake {
public:
    using Clock = std::chrono::steady_clock;
    struct Hooks {
        std::function<void(const QByteArray&)> Send;      // one frame, whole
        std::function<void(ConnectStage)> StageChanged;   // after each step
        std::function<void(HandshakeFailure why)> Failed; // once; the handshake is over
    };

    // limit: the listening side's whole handshake; zero or less: none.
    Handshake(Role role, HandshakeSettings settings, Hooks hooks,
              std::chrono::milliseconds limit = std::chrono::milliseconds(10000));

    // The connection is made: stage 1, and the listening side's Version
    // Request goes (unless it went already, when the peer was accepted at
    // `since`, which is also when the limit starts).
    void Start(Clock::time_point since = Clock::now(), bool versionSent = false);
    // A handshake frame from the peer.
    void Process(Kind kind, Type type, const QByteArray& payload);
    // Fails the handshake once its limit has passed.
    void CheckTime(Clock::time_point now = Clock::now());
    // Milliseconds until the limit, -1 when none runs.
    [[nodiscard]] int MsLeft(Clock::time_point now = Clock::now()) const;

    [[nodiscard]] ConnectStage Stage() const { return FStage; }
    [[nodiscard]] bool Connected() const { return FStage == ConnectStage::Connected; }
    [[nodiscard]] bool HasFailed() const { return FFailed; }
    [[nodiscard]] const QString& PeerName() const { return FPeerName; }
    [[nodiscard]] bool CompressOn() const { return FCompressOn; }
    [[nodiscard]] bool ResumeOn() const { return FResumeOn; }
    // For the tests and the fuzz target: the handshake done with these switches.
    void AssumeConnected(bool compressOn, bool resumeOn);

private:
    void Answer(Type type, const QByteArray& text);
    void TakeReply(Type type, const QByteArray& text);
    void MoveTo(ConnectStage stage);
    void Fail(HandshakeFailure why = HandshakeFailure::Disagreed);

    const Role FRole;
    const HandshakeSettings Settings;
    Hooks H;
    const std::chrono::milliseconds Limit;
    Clock::time_point Deadline = Clock::time_point::max();
    ConnectStage FStage = ConnectStage::Idle;
    bool FFailed = false;
    QString FPeerName;
    bool FCompressOn = false;
    bool FResumeOn = false;
};

} // namespace relvane
