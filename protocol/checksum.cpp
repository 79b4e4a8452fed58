#include "protocol/checksum.h"

#include "protocol/frame.h"

#include <algorithm>
#include <array>
#include <bit>

namespace relvane {

namespace {
constexpr std::uint32_t Modulus = 4294967293u; // 2^32 - 3
constexpr qint64 ChunkSize = 64 * 1024;
} // namespace

std::uint32_t StreamChecksum(QFile& file, std::int64_t n) {
    const qint64 saved = file.pos();
    const auto fail = [&]() -> std::uint32_t {
        file.seek(saved);
        throw EProtocolError(QStringLiteral("HashError"));
    };
    if (n == 0) n = file.size();
    if (n < 0 || !file.seek(0)) return fail();

    // Read in large chunks; the sum itself goes byte by byte, since each step
    // rotates the accumulator before adding.
    std::array<unsigned char, ChunkSize> chunk;
    std::uint32_t acc = 0;
    while (n > 0) {
        const qint64 got =
            file.read(reinterpret_cast<char*>(chunk.data()), std::min<qint64>(n, ChunkSize));
        if (got <= 0) return fail(); // the file is shorter than n
        for (qint64 i = 0; i < got; ++i)
            acc = std::rotl(acc, 1) + chunk[i];
        n -= got;
    }
    file.seek(saved);
    return acc >= Modulus ? acc - Modulus : acc;
}

} // namespace relvane
