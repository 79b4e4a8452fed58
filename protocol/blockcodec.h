#pragma once
// One complete zlib stream (level 9) per file block. One deflate state lives
// as long as the codec and is reset per block: the bytes are those of a fresh
// initialise-compress-end, at a fraction of the cost. A block known not to
// shrink is written stored, without deflate, as the same level-9 stream zlib
// emits for a block it stores. Streams are decoded by one libdeflate
// decompressor, also kept, straight into the caller's buffer.

#include <QByteArray>
#include <QByteArrayView>

#include <memory>

namespace relvane {

// A received block may inflate to at most this; more is refused as corrupt.
constexpr int MaxInflatedBlock = 64 * 1024;

class BlockCodec {
public:
    BlockCodec();
    ~BlockCodec();
    BlockCodec(const BlockCodec&) = delete;
    BlockCodec& operator=(const BlockCodec&) = delete;

    // Throws EProtocolError("error") when zlib fails.
    [[nodiscard]] QByteArray Compress(QByteArrayView block);
    // The same stream, appended to `out`; its size.
    qsizetype CompressTo(QByteArrayView block, QByteArray& out);
    // The stream zlib level 9 makes of a block it stores: its header, one final
    // stored deflate block and the Adler-32 trailer, 11 bytes more than the
    // block; appended to `out`, its size. Throws EProtocolError("error") for a
    // block over 65535 bytes, more than one stored block holds.
    static qsizetype StoreTo(QByteArrayView block, QByteArray& out);
    // A cheap look at a block, about a tenth of deflating it: true when its
    // bytes are so evenly spread and so free of repeats that deflate would
    // not save 1/32 of it (photos, archives, encrypted data). False leaves the
    // answer to deflate, as for blocks under 256 bytes.
    [[nodiscard]] static bool LooksIncompressible(QByteArrayView block);
    // Whether deflate saved enough (1/32) to be worth its time on the blocks
    // that follow.
    [[nodiscard]] static bool Shrank(qsizetype size, qsizetype packed) {
        return packed <= size - size / 32;
    }
    // Throws EProtocolError("error") for data zlib rejects, a stream that does
    // not end within the payload, or output beyond MaxInflatedBlock.
    [[nodiscard]] QByteArray Decompress(QByteArrayView stream);
    // The same, the block appended to `out`; its size. On failure `out` is
    // as it was.
    qsizetype DecompressTo(QByteArrayView stream, QByteArray& out);

private:
    struct State;
    std::unique_ptr<State> D;
};

} // namespace relvane
