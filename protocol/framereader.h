#pragma once
// Framing of the incoming stream: bytes are taken from the connection in
// large reads, and whole frames are cut from them. What is left of a frame
// stays for the next read.

#include "net/connection.h"
#include "protocol/frame.h"

#include <QByteArray>

#include <optional>

namespace relvane {

struct Frame {
    FrameHeader Header;
    QByteArray Payload;
};

class FrameReader {
public:
    explicit FrameReader(IConnection& connection) : Connection(connection) {}

    // Takes what the connection holds now, at most ReadChunk bytes; the rest
    // is taken by the next call. Hard failures throw; nothing buffered is lost.
    // False once the peer has closed: nothing more will come.
    bool Fill();
    // The next complete frame; nothing while part of it is still on its way.
    // A FileData frame's payload points into the reader's buffer: it is valid
    // until the next Fill().
    // A Length outside 0..MaxPayload throws "不正なフレーム長 %d" before
    // anything is allocated for it; nothing after such a header can be trusted
    // to be a header, so everything buffered is dropped.
    [[nodiscard]] std::optional<Frame> Next();
    // No byte of a frame is waiting here.
    [[nodiscard]] bool Empty() const { return Buffer.size() == At; }
    [[nodiscard]] qsizetype Buffered() const { return Buffer.size() - At; }

    // Bytes taken in one read.
    static constexpr int ReadChunk = 256 * 1024;

private:
    IConnection& Connection;
    QByteArray Buffer;
    qsizetype At = 0; // where the next frame starts in Buffer
};

} // namespace relvane
