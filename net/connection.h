#pragma once
// What the protocol engine needs of a connection: the byte operations of a
// connected stream plus its waits. The socket's connection object implements
// it; tests and the fuzz target implement it with in-memory fakes.

namespace relvane {

class IConnection {
public:
    virtual ~IConnection() = default;

    // Bytes that can be read now without waiting; 0 when not connected.
    [[nodiscard]] virtual int BytesWaiting() = 0;
    // Up to n bytes: the count, 0 when not connected or closed by the peer
    // with nothing left, -1 when nothing can be read now. Hard failures throw.
    [[nodiscard]] virtual int ReceiveBytes(void* buffer, int n) = 0;
    // All n bytes or none: n when taken whole, -1 when nothing could be taken
    // now, 0 when not connected. Never a partial count. Hard failures throw.
    [[nodiscard]] virtual int SendBytes(const void* buffer, int n) = 0;
    // The same, with the hint that more bytes follow at once: the connection
    // may hold back a partly filled packet for them (file blocks in a row).
    [[nodiscard]] virtual int SendBytesMore(const void* buffer, int n) {
        return SendBytes(buffer, n);
    }
    // As much of the n bytes as can be taken now, without waiting: the count
    // (0 when none). For a frame sent in pieces by the only thread that
    // sends; the rest of it must follow before any other frame.
    [[nodiscard]] virtual int SendPart(const void* buffer, int n) {
        return SendBytes(buffer, n) == n ? n : 0;
    }
    [[nodiscard]] virtual bool IsConnected() const = 0;

    // Blocks until incoming data (or a close) is noticed, wakeFd (an eventfd
    // or pipe; -1 for none) turns readable, or, when `writable`, the
    // connection can take more bytes; at most timeoutMs (< 0: no limit).
    // True when wakeFd turned readable: the caller drains it.
    virtual bool WaitReady(int timeoutMs, int wakeFd, bool writable) = 0;
    // Blocks until the connection can take more bytes, or timeoutMs passed;
    // true when it can take them now (timeoutMs 0 only asks).
    virtual bool WaitWritable(int timeoutMs) = 0;
};

} // namespace relvane
