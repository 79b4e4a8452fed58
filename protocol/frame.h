#pragma once
// Frame layout and message catalogue. A frame is an 8-byte header (Slot,
// Kind, Type, Length little-endian signed 32-bit, Format) followed by Length
// payload bytes; frames follow one another back to back.

#include "net/connection.h"

#include "platform/error.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>

namespace relvane {

enum class Kind : std::uint8_t { Notice = 0, Request = 2, Reply = 3 };

enum class Type : std::uint8_t {
    FileName = 0,
    NameExchange = 1,
    Chat = 2,
    FileSize = 3,
    LastIndex = 4,
    Version = 5,
    ResumeOffset = 6,
    SendAccept = 7,
    Checksum = 8,
    FileData = 9,
    Compress = 10,
    Resume = 11,
    Ack = 12,
    Disconnect = 13,
    SendRequest = 14,
    End = 15,
    Cancel = 16,
};
constexpr int TypeCount = 17;

enum class Format : std::uint8_t {
    FmtText = 0,
    FmtNumber = 1,
    FmtBinary = 2,
    FmtFlag = 3,
    FmtNone = 4,
};

constexpr std::uint8_t ControlSlot = 0xFF;
constexpr int HeaderSize = 8;
constexpr int ProtocolVersion = 5;
constexpr int BlockSize = 1024;
// A peer may announce any Length; more than this is no frame of ours.
constexpr std::int32_t MaxPayload = 16 * 1024 * 1024;
// Per-file header frames are built in 8 + 256 bytes: names up to 255 bytes.
constexpr int MaxFileNameBytes = 255;
// Handshake Requests are built in 59 bytes: user names up to 50 bytes.
constexpr int MaxUserNameBytes = 50;

struct FrameHeader {
    std::uint8_t Slot = 0;
    std::uint8_t Kind = 0;
    std::uint8_t Type = 0;
    std::int32_t Length = 0;
    std::uint8_t Format = 0;
};
static_assert(HeaderSize == 1 + 1 + 1 + 4 + 1);

// The protocol's failures.
class EProtocolError : public Error {
public:
    using Error::Error;
};

// The whole frame in one buffer, ready for a single send.
[[nodiscard]] QByteArray BuildFrame(std::uint8_t slot, Kind kind, Type type, Format format,
                                    QByteArrayView payload);
[[nodiscard]] FrameHeader ParseHeader(const char bytes[HeaderSize]);

// The one way a frame goes out: whole, waiting while the connection would
// block. False (the frame dropped, no error) when the connection is gone or
// *Stop is set; throws the "send" socket error (ETIMEDOUT) when the frame
// could not be handed over for StallMs.
constexpr int SendStallMs = 30000;
struct SendOptions {
    const std::atomic<bool>* Stop = nullptr; // a terminate request: give up
    bool More = false;                       // another frame follows at once
    int StallMs = SendStallMs;
};
bool SendFrame(IConnection& connection, QByteArrayView frame, const SendOptions& options = {});

// Payloads.
[[nodiscard]] QByteArray NumberPayload(std::int32_t value);
// A size or offset between two copies that both take 64-bit sizes.
[[nodiscard]] QByteArray SizePayload(std::int64_t value);
[[nodiscard]] QByteArray ChecksumPayload(std::uint32_t value);
[[nodiscard]] QByteArray FlagPayload(bool on);
[[nodiscard]] QByteArray NonePayload(char filler = '\0');
[[nodiscard]] QByteArray TextPayload(const QString& text); // Shift-JIS bytes

// An optional sign and decimal digits within signed 32 bits; anything else
// throws "'%s' は整数ではありません".
[[nodiscard]] std::int32_t ParseNumber(QByteArrayView payload);
// Decimal digits within signed 64 bits (no sign); otherwise the same failure.
[[nodiscard]] std::int64_t ParseSize(QByteArrayView payload);
// Decimal digits within unsigned 32 bits; otherwise the same failure.
[[nodiscard]] std::uint32_t ParseChecksum(QByteArrayView payload);
// Only exactly "1" is on; Ack's rejection is exactly "0".
[[nodiscard]] inline bool IsFlagOn(QByteArrayView payload) {
    return payload == "1";
}
[[nodiscard]] inline bool IsRejection(QByteArrayView payload) {
    return payload == "0";
}
// A text or number payload as the receiver reads it: cut at a zero byte.
[[nodiscard]] QByteArray PayloadText(const QByteArray& payload);

} // namespace relvane
