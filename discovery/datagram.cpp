#include "discovery/datagram.h"

#include "platform/sjis.h"

#include <QRandomGenerator>
#include <QtEndian>

namespace relvane::discovery {
namespace {

QByteArray Header(Kind kind, std::uint64_t id) {
    QByteArray out(HeaderSize, Qt::Uninitialized);
    auto* p = reinterpret_cast<uchar*>(out.data());
    std::copy(std::begin(Magic), std::end(Magic), out.data());
    p[4] = FormatVersion;
    p[5] = static_cast<uchar>(kind);
    qToBigEndian<quint64>(id, p + 6);
    return out;
}

// The id when the header is ours and of `kind`.
std::optional<std::uint64_t> ReadHeader(QByteArrayView d, Kind kind) {
    if (d.size() < HeaderSize) return std::nullopt;
    const auto* p = reinterpret_cast<const uchar*>(d.data());
    if (!std::equal(std::begin(Magic), std::end(Magic), d.data())) return std::nullopt;
    if (p[4] != FormatVersion || p[5] != static_cast<uchar>(kind)) return std::nullopt;
    return qFromBigEndian<quint64>(p + 6);
}

} // namespace

QByteArray EncodeQuery(std::uint64_t id) {
    return Header(Kind::Query, id);
}

QByteArray EncodeAnswer(std::uint64_t id, const QString& name, std::uint16_t port) {
    const QByteArray sjis =
        CutShiftJis(ToShiftJis(name.isEmpty() ? QStringLiteral("NoName") : name), MaxNameBytes);
    QByteArray out = Header(Kind::Answer, id);
    uchar tail[3];
    qToBigEndian<quint16>(port, tail);
    tail[2] = static_cast<uchar>(sjis.size());
    out.append(reinterpret_cast<const char*>(tail), sizeof tail);
    out.append(sjis);
    return out;
}

std::optional<Query> DecodeQuery(QByteArrayView d) {
    if (d.size() != QuerySize) return std::nullopt;
    const auto id = ReadHeader(d, Kind::Query);
    if (!id) return std::nullopt;
    return Query{*id};
}

std::optional<Answer> DecodeAnswer(QByteArrayView d) {
    if (d.size() < AnswerFixedSize || d.size() > MaxDatagramSize) return std::nullopt;
    const auto id = ReadHeader(d, Kind::Answer);
    if (!id) return std::nullopt;
    const auto* p = reinterpret_cast<const uchar*>(d.data());
    const quint16 port = qFromBigEndian<quint16>(p + HeaderSize);
    const int nameBytes = p[HeaderSize + 2];
    if (port == 0 || nameBytes == 0 || d.size() != AnswerFixedSize + nameBytes) return std::nullopt;
    const auto name = FromShiftJisStrict(QByteArray(d.data() + AnswerFixedSize, nameBytes));
    if (!name) return std::nullopt;
    return Answer{*id, *name, port};
}

std::uint64_t RunId() {
    static const std::uint64_t id = QRandomGenerator::system()->generate64();
    return id;
}

} // namespace relvane::discovery
