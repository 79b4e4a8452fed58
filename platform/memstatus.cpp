#include "platform/memstatus.h"

#include <QFile>
#include <QList>

#include <limits>

namespace relvane {

std::optional<qint64> ParseMemAvailable(const QByteArray& meminfo) {
    static constexpr QByteArrayView Key = "MemAvailable:";
    for (const QByteArray& line : meminfo.split('\n')) {
        if (!line.startsWith(Key)) continue;
        // "MemAvailable:    1234 kB"
        const QList<QByteArray> fields = line.mid(Key.size()).simplified().split(' ');
        bool ok = false;
        const qint64 value = fields.value(0).toLongLong(&ok);
        if (!ok || value < 0) return std::nullopt;
        const QByteArray unit = fields.value(1).toLower();
        qint64 factor = 1;
        if (unit == "kb")
            factor = 1024;
        else if (unit == "mb")
            factor = 1024 * 1024;
        else if (!unit.isEmpty())
            return std::nullopt;
        if (value > std::numeric_limits<qint64>::max() / factor) return std::nullopt;
        return value * factor;
    }
    return std::nullopt;
}

std::optional<qint64> AvailablePhysicalMemory() {
    QFile f(QStringLiteral("/proc/meminfo"));
    // A proc file reports no size: read until the end instead of by size.
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    return ParseMemAvailable(f.readAll());
}

} // namespace relvane
