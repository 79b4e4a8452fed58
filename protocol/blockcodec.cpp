#include "protocol/blockcodec.h"

#include "protocol/frame.h"

#include <libdeflate.h>
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
    bool DeflateReady = false;
    // The zlib format, decoded by libdeflate: the same streams accepted and
    // refused, in less time, which the receiver of compressed data lacks.
    libdeflate_decompressor* Inflate = libdeflate_alloc_decompressor();
    // Kept across blocks: no allocation per block beyond the returned array.
    std::vector<unsigned char> Inflated = std::vector<unsigned char>(MaxInflatedBlock);

    State() {
        DeflateReady = deflateInit2(&Deflate, Level, Z_DEFLATED, WindowBits, MemLevel,
                                    Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~State() {
        if (DeflateReady) deflateEnd(&Deflate);
        libdeflate_free_decompressor(Inflate);
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
    if (D->Inflate == nullptr) Fail();
    std::size_t used = 0;
    std::size_t made = 0;
    const libdeflate_result rc = libdeflate_zlib_decompress_ex(
        D->Inflate, stream.data(), static_cast<std::size_t>(stream.size()), D->Inflated.data(),
        D->Inflated.size(), &used, &made);
    // Anything short of the stream's end (corrupt data, a cut-off stream, an
    // output beyond the limit, a preset dictionary, a wrong checksum) is
    // refused, and so is a payload with bytes after the stream: a block is
    // exactly one stream.
    if (rc != LIBDEFLATE_SUCCESS || used != static_cast<std::size_t>(stream.size())) Fail();
    return QByteArray(reinterpret_cast<const char*>(D->Inflated.data()),
                      static_cast<qsizetype>(made));
}

} // namespace relvane
