#pragma once
// One complete zlib stream (level 9) per file block. One deflate state lives
// as long as the codec and is reset per block: the bytes are those of a fresh
// initialise-compress-end, at a fraction of the cost. Streams are decoded by
// one libdeflate decompressor, also kept.

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
    // Throws EProtocolError("error") for data zlib rejects, a stream that does
    // not end within the payload, or output beyond MaxInflatedBlock.
    [[nodiscard]] QByteArray Decompress(QByteArrayView stream);

private:
    struct State;
    std::unique_ptr<State> D;
};

} // namespace relvane
