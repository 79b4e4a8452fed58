#pragma once
// The two discovery datagrams, as pure functions: a query ("who waits as a
// server on this port?") and its answer (user name and TCP port). Every
// datagram is untrusted; the decoders accept exactly one layout each and
// refuse everything else. Layout (big-endian), docs/discovery.md:
//
//   offset size  query / answer
//   0      4     magic "RlvD"
//   4      1     format version (1)
//   5      1     kind: 1 query, 2 answer
//   6      8     sender's id, random per run
//   -- answer only --
//   14     2     TCP port, 1-65535
//   16     1     name length N, 1-50
//   17     N     user name, Shift-JIS

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <optional>

namespace relvane::discovery {

inline constexpr char Magic[4] = {'R', 'l', 'v', 'D'};
inline constexpr std::uint8_t FormatVersion = 1;
enum class Kind : std::uint8_t { Query = 1, Answer = 2 };

inline constexpr int HeaderSize = 14;
inline constexpr int QuerySize = HeaderSize;
inline constexpr int AnswerFixedSize = HeaderSize + 3;
inline constexpr int MaxNameBytes = 50;
inline constexpr int MaxDatagramSize = AnswerFixedSize + MaxNameBytes;
static_assert(QuerySize == 14);
static_assert(AnswerFixedSize == 17);
static_assert(MaxDatagramSize == 67);

struct Query {
    std::uint64_t Id = 0;
};

struct Answer {
    std::uint64_t Id = 0;
    QString Name;
    std::uint16_t Port = 0;
};

[[nodiscard]] QByteArray EncodeQuery(std::uint64_t id);
// The name in Shift-JIS, cut at a character boundary to MaxNameBytes;
// an empty name goes as "NoName", the name a peer sees in the handshake.
[[nodiscard]] QByteArray EncodeAnswer(std::uint64_t id, const QString& name, std::uint16_t port);

// Empty unless `datagram` is exactly a well-formed datagram of that kind.
[[nodiscard]] std::optional<Query> DecodeQuery(QByteArrayView datagram);
[[nodiscard]] std::optional<Answer> DecodeAnswer(QByteArrayView datagram);

// This run's id: random, drawn once per process.
[[nodiscard]] std::uint64_t RunId();

} // namespace relvane::discovery
