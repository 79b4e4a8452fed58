#include "protocol/framereader.h"

#include <algorithm>

namespace relvane {

bool FrameReader::Fill() {
    if (At > 0) {
        Buffer.remove(0, At);
        At = 0;
    }
    // One read for whatever is there: asking first how much would cost a
    // system call per pass.
    const qsizetype kept = Buffer.size();
    Buffer.resize(kept + ReadChunk);
    int got = 0;
    try {
        got = Connection.ReceiveBytes(Buffer.data() + kept, ReadChunk);
    } catch (...) {
        Buffer.resize(kept);
        throw;
    }
    Buffer.resize(kept + std::max(got, 0));
    return got != 0 && Connection.IsConnected();
}

std::optional<Frame> FrameReader::Next() {
    const qsizetype left = Buffer.size() - At;
    if (left < HeaderSize) return std::nullopt;
    Frame frame;
    frame.Header = ParseHeader(Buffer.constData() + At);
    const std::int32_t length = frame.Header.Length;
    if (length < 0 || length > MaxPayload) {
        Buffer.clear();
        At = 0;
        throw EProtocolError(QStringLiteral("不正なフレーム長 %1").arg(length));
    }
    if (left - HeaderSize < length) return std::nullopt;
    // File data, most of what comes, is handled before the buffer changes
    // again and never kept: it is not copied out. Everything else is.
    const char* payload = Buffer.constData() + At + HeaderSize;
    frame.Payload = frame.Header.Type == static_cast<int>(Type::FileData)
                        ? QByteArray::fromRawData(payload, length)
                        : QByteArray(payload, length);
    At += HeaderSize + length;
    return frame;
}

} // namespace relvane
