#include "protocol/frame.h"

#include "platform/sjis.h"

#include "net/socket.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace relvane {

QByteArray BuildFrame(std::uint8_t slot, Kind kind, Type type, Format format,
                      QByteArrayView payload) {
    const auto length = static_cast<std::uint32_t>(payload.size());
    QByteArray frame(HeaderSize + payload.size(), Qt::Uninitialized);
    auto* p = reinterpret_cast<unsigned char*>(frame.data());
    p[0] = slot;
    p[1] = static_cast<unsigned char>(kind);
    p[2] = static_cast<unsigned char>(type);
    p[3] = length & 0xFF;
    p[4] = (length >> 8) & 0xFF;
    p[5] = (length >> 16) & 0xFF;
    p[6] = (length >> 24) & 0xFF;
    p[7] = static_cast<unsigned char>(format);
    if (!payload.isEmpty()) std::memcpy(p + HeaderSize, payload.data(), payload.size());
    return frame;
}

FrameHeader ParseHeader(const char bytes[HeaderSize]) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    FrameHeader h;
    h.Slot = p[0];
    h.Kind = p[1];
    h.Type = p[2];
    const std::uint32_t length = p[3] | (p[4] << 8) | (p[5] << 16) | (std::uint32_t(p[6]) << 24);
    h.Length = static_cast<std::int32_t>(length);
    h.Format = p[7];
    return h;
}

bool SendFrame(IConnection& connection, QByteArrayView frame, const SendOptions& options) {
    // The connection takes a frame whole or not at all, so "no progress" is
    // simply "not taken yet".
    const QDeadlineTimer stall(options.StallMs);
    const int n = static_cast<int>(frame.size());
    for (;;) {
        const int sent = options.More ? connection.SendBytesMore(frame.data(), n)
                                      : connection.SendBytes(frame.data(), n);
        if (sent != -1) return sent > 0 || frame.isEmpty();
        if (options.Stop != nullptr && options.Stop->load()) return false;
        if (!connection.IsConnected()) return false;
        if (stall.hasExpired()) throw SocketApiError(ETIMEDOUT, "send");
        // Short waits, so a terminate request is seen soon.
        connection.WaitWritable(static_cast<int>(std::min<qint64>(100, stall.remainingTime())));
    }
}

QByteArray NumberPayload(std::int32_t value) {
    return QByteArray::number(value);
}
QByteArray SizePayload(std::int64_t value) {
    return QByteArray::number(static_cast<qlonglong>(value));
}
QByteArray ChecksumPayload(std::uint32_t value) {
    return QByteArray::number(value);
}
QByteArray FlagPayload(bool on) {
    return on ? QByteArray("1") : QByteArray("0");
}
QByteArray NonePayload(char filler) {
    return QByteArray(1, filler);
}
QByteArray TextPayload(const QString& text) {
    return ToShiftJis(text);
}

QByteArray PayloadText(const QByteArray& payload) {
    const auto zero = payload.indexOf('\0');
    return zero < 0 ? payload : payload.left(zero);
}

namespace {

[[noreturn]] void NotANumber(QByteArrayView payload) {
    throw EProtocolError(
        QStringLiteral("'%1' は整数ではありません").arg(FromShiftJis(payload.toByteArray())));
}

// Digits only, accumulated with an overflow check against `limit`.
std::uint64_t Digits(QByteArrayView digits, std::uint64_t limit, QByteArrayView whole) {
    if (digits.isEmpty()) NotANumber(whole);
    std::uint64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') NotANumber(whole);
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > limit) NotANumber(whole);
    }
    return v;
}

} // namespace

std::int32_t ParseNumber(QByteArrayView payload) {
    QByteArrayView digits = payload;
    bool negative = false;
    if (!digits.isEmpty() && (digits[0] == '-' || digits[0] == '+')) {
        negative = digits[0] == '-';
        digits = digits.sliced(1);
    }
    const std::uint64_t limit = negative
                                    ? std::uint64_t(std::numeric_limits<std::int32_t>::max()) + 1
                                    : std::uint64_t(std::numeric_limits<std::int32_t>::max());
    const std::uint64_t v = Digits(digits, limit, payload);
    return negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(v))
                    : static_cast<std::int32_t>(v);
}

std::int64_t ParseSize(QByteArrayView payload) {
    return static_cast<std::int64_t>(
        Digits(payload, std::uint64_t(std::numeric_limits<std::int64_t>::max()), payload));
}

std::uint32_t ParseChecksum(QByteArrayView payload) {
    return static_cast<std::uint32_t>(
        Digits(payload, std::numeric_limits<std::uint32_t>::max(), payload));
}

} // namespace relvane
