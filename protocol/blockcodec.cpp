#include "protocol/blockcodec.h"

#include "protocol/frame.h"

#include <libdeflate.h>
#include <zlib.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace relvane {

namespace {

// The parameters compress2() uses at level 9, so each block is byte for byte
// the stream a fresh initialise-compress-end would give.
constexpr int Level = 9;
constexpr int WindowBits = 15;
constexpr int MemLevel = 8;

// c * log2(c), from a table for the counts of a block of BlockSize bytes.
double XLog2X(std::uint32_t c) {
    static const std::array<float, BlockSize + 1> table = [] {
        std::array<float, BlockSize + 1> t{};
        for (std::uint32_t i = 1; i <= BlockSize; ++i)
            t[i] = static_cast<float>(i * std::log2(static_cast<double>(i)));
        return t;
    }();
    return c <= BlockSize ? table[c] : c * std::log2(static_cast<double>(c));
}

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

qsizetype BlockCodec::StoreTo(QByteArrayView block, QByteArray& out) {
    const auto n = static_cast<std::uint32_t>(block.size());
    if (block.size() > 0xFFFF) Fail();
    const auto adler = static_cast<std::uint32_t>(
        libdeflate_adler32(1, block.data(), static_cast<std::size_t>(block.size())));
    constexpr qsizetype Overhead = 11;
    const qsizetype at = out.size();
    out.resize(at + block.size() + Overhead);
    auto* p = reinterpret_cast<unsigned char*>(out.data() + at);
    // The level-9 header, then BFINAL=1 BTYPE=00 padded to a byte, LEN, NLEN.
    const unsigned char head[7] = {0x78,
                                   0xDA,
                                   0x01,
                                   static_cast<unsigned char>(n & 0xFF),
                                   static_cast<unsigned char>(n >> 8),
                                   static_cast<unsigned char>(~n & 0xFF),
                                   static_cast<unsigned char>((~n >> 8) & 0xFF)};
    std::memcpy(p, head, sizeof head);
    if (n > 0) std::memcpy(p + sizeof head, block.data(), n);
    p += sizeof head + n;
    p[0] = static_cast<unsigned char>(adler >> 24);
    p[1] = static_cast<unsigned char>(adler >> 16);
    p[2] = static_cast<unsigned char>(adler >> 8);
    p[3] = static_cast<unsigned char>(adler);
    return block.size() + Overhead;
}

bool BlockCodec::LooksIncompressible(QByteArrayView block) {
    const qsizetype n = block.size();
    if (n < 256 || n > 0xFFFF) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(block.data());

    // What the best code for single bytes could save: n - entropy / 8 bytes.
    // Deflate's literals do no better, and a block's code table costs more.
    std::array<std::uint32_t, 256> count{};
    for (qsizetype i = 0; i < n; ++i)
        ++count[p[i]];
    double bits = XLog2X(static_cast<std::uint32_t>(n));
    for (const std::uint32_t c : count)
        bits -= XLog2X(c);
    const double saved = static_cast<double>(n) - bits / 8;
    const double limit = static_cast<double>(n) / 16;
    if (saved >= limit) return false;

    // What matches could save, at most about a byte for each position where
    // four bytes repeat: such positions, found through the last one per hash.
    // Without branches on the data: an empty slot points at the block's first
    // word, which at worst counts a repeat too many.
    constexpr int HashBits = 12;
    std::array<std::uint16_t, 1 << HashBits> last{};
    const auto word = [p](qsizetype i) {
        std::uint32_t v;
        std::memcpy(&v, p + i, sizeof v);
        return v;
    };
    qsizetype repeats = 0;
    for (qsizetype i = 0; i + 4 <= n; ++i) {
        const std::uint32_t v = word(i);
        const std::uint32_t h = (v * 2654435761u) >> (32 - HashBits);
        repeats += word(last[h]) == v;
        last[h] = static_cast<std::uint16_t>(i);
    }
    return saved + static_cast<double>(repeats) < limit;
}

QByteArray BlockCodec::Decompress(QByteArrayView stream) {
    QByteArray out;
    DecompressTo(stream, out);
    return out;
}

qsizetype BlockCodec::DecompressTo(QByteArrayView stream, QByteArray& out) {
    if (D->Inflate == nullptr) Fail();
    const qsizetype at = out.size();
    out.resize(at + MaxInflatedBlock);
    std::size_t used = 0;
    std::size_t made = 0;
    const libdeflate_result rc = libdeflate_zlib_decompress_ex(
        D->Inflate, stream.data(), static_cast<std::size_t>(stream.size()), out.data() + at,
        MaxInflatedBlock, &used, &made);
    // Anything short of the stream's end (corrupt data, a cut-off stream, an
    // output beyond the limit, a preset dictionary, a wrong checksum) is
    // refused, and so is a payload with bytes after the stream: a block is
    // exactly one stream.
    if (rc != LIBDEFLATE_SUCCESS || used != static_cast<std::size_t>(stream.size())) {
        out.resize(at);
        Fail();
    }
    out.resize(at + static_cast<qsizetype>(made));
    return static_cast<qsizetype>(made);
}

} // namespace relvane
