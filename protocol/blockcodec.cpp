#include "protocol/blockcodec.h"

#include "protocol/frame.h"

#include <zlib.h>

#include <cstring>
#include <vector>

namespace relvane {

namespace {

// The parameters compress2() uses at level 9, so each block is byte for byte
// the stream a fresh initialise-compress-end would give.
constexpr int Level = 9;
constexpr int WindowBits = 15;
constexpr int MemLevel = 8;

[[noreturn]] void Fail() {
    throw EProtocolError(QStringLiteral("error"));
}

} // namespace

struct BlockCodec::State {
    z_stream Deflate{};
    z_stream Inflate{};
    bool DeflateReady = false;
    bool InflateReady = false;
    // Kept across blocks: no allocation per block beyond the returned array.
    std::vector<unsigned char> Inflated = std::vector<unsigned char>(MaxInflatedBlock + 1);

    State() {
        DeflateReady = deflateInit2(&Deflate, Level, Z_DEFLATED, WindowBits, MemLevel,
                                    Z_DEFAULT_STRATEGY) == Z_OK;
        InflateReady = inflateInit2(&Inflate, WindowBits) == Z_OK;
    }
    ~State() {
        if (DeflateReady) deflateEnd(&Deflate);
        if (InflateReady) inflateEnd(&Inflate);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

BlockCodec::BlockCodec() : D(std::make_unique<State>()) {}
BlockCodec::~BlockCodec() = default;

QByteArray BlockCodec::Compress(QByteArrayView block) {
    QByteArray out;
    CompressTo(block, out);
    return out;
}

qsizetype BlockCodec::CompressTo(QByteArrayView block, QByteArray& out) {
    z_stream& z = D->Deflate;
    if (!D->DeflateReady || deflateReset(&z) != Z_OK) Fail();
    const uLong bound = deflateBound(&z, static_cast<uLong>(block.size()));
    const qsizetype at = out.size();
    out.resize(at + static_cast<qsizetype>(bound));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(block.data()));
    z.avail_in = static_cast<uInt>(block.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data() + at);
    z.avail_out = static_cast<uInt>(bound);
    // deflateBound guarantees room for the whole stream in one call.
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) {
        out.resize(at);
        Fail();
    }
    out.resize(at + static_cast<qsizetype>(z.total_out));
    return static_cast<qsizetype>(z.total_out);
}

QByteArray BlockCodec::Decompress(QByteArrayView stream) {
    z_stream& z = D->Inflate;
    if (!D->InflateReady || inflateReset(&z) != Z_OK) Fail();
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = D->Inflated.data();
    // One byte more than allowed: a stream that fills it is too big.
    z.avail_out = static_cast<uInt>(D->Inflated.size());
    const int rc = inflate(&z, Z_FINISH);
    // Anything short of the stream's end (corrupt data, a cut-off stream, an
    // output beyond the limit, a preset dictionary) is refused, and so is a
    // payload with bytes after the stream: a block is exactly one stream.
    if (rc != Z_STREAM_END || z.total_out > static_cast<uLong>(MaxInflatedBlock) ||
        z.avail_in != 0) {
        Fail();
    }
    return QByteArray(reinterpret_cast<const char*>(D->Inflated.data()),
                      static_cast<qsizetype>(z.total_out));
}

} // namespace relvane
