#pragma once
// The system's available physical memory, as the about box shows it.

#include <QByteArray>

#include <optional>

namespace relvane {

// Bytes of physical memory available for new work: "MemAvailable" of
// /proc/meminfo. Empty when the system does not report it.
[[nodiscard]] std::optional<qint64> AvailablePhysicalMemory();

// The "MemAvailable:" line of a /proc/meminfo text, in bytes.
[[nodiscard]] std::optional<qint64> ParseMemAvailable(const QByteArray& meminfo);

} // namespace relvane
