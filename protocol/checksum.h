#pragma once

#include <QFile>

#include <atomic>
#include <cstdint>

namespace relvane {

// Checksum of the first n bytes of an open file (n = 0: the whole file):
// acc = rotl(acc, 1) + byte over the bytes, then modulo 2^32 - 3. The file
// position is kept. Throws EProtocolError("HashError") when the file is
// shorter than n.
[[nodiscard]] std::uint32_t StreamChecksum(QFile& file, std::int64_t n);

// For a display while a large file is read through: the bytes to sum while
// it runs (0 before and after), and the bytes summed so far.
struct ChecksumShown {
    std::atomic<std::int64_t>& Total;
    std::atomic<std::int64_t>& Done;
};
[[nodiscard]] std::uint32_t StreamChecksum(QFile& file, std::int64_t n, ChecksumShown shown);

} // namespace relvane
