#include "protocol/checksum.h"

#include "protocol/frame.h"

#include <algorithm>
#include <array>
#include <bit>

namespace relvane {

namespace {
constexpr std::uint32_t Modulus = 4294967293u; // 2^32 - 3
constexpr qint64 ChunkSize = 64 * 1024;

std::uint32_t Sum(QFile& file, std::int64_t n, std::atomic<std::int64_t>* checked) {
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
    std::int64_t summed = 0;
    while (n > 0) {
        const qint64 got =
            file.read(reinterpret_cast<char*>(chunk.data()), std::min<qint64>(n, ChunkSize));
        if (got <= 0) return fail(); // the file is shorter than n
        for (qint64 i = 0; i < got; ++i)
            acc = std::rotl(acc, 1) + chunk[i];
        n -= got;
        summed += got;
        if (checked != nullptr) checked->store(summed, std::memory_order_relaxed);
    }
    file.seek(saved);
    return acc >= Modulus ? acc - Modulus : acc;
}

} // namespace

std::uint32_t StreamChecksum(QFile& file, std::int64_t n) {
    return Sum(file, n, nullptr);
}

std::uint32_t StreamChecksum(QFile& file, std::int64_t n, ChecksumShown shown) {
    shown.Done = 0;
    shown.Total = n == 0 ? file.size() : n;
    struct Hide {
        std::atomic<std::int64_t>& Total;
        ~Hide() { Total = 0; }
    } hide{shown.Total};
    return Sum(file, n, &shown.Done);
}

} // namespace relvane
