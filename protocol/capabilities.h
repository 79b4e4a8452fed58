#pragma once
// What two copies of this program agree on beyond the catalogue: after the
// handshake each side sends one frame of a Type outside the catalogue (a
// peer that does not know it ignores it) naming what it offers; what both
// offer is on for the rest of the connection. A list that uses any of it is
// announced by a frame of its own right before its SendRequest, so both
// sides always agree on how each list travels. docs/protocol-extensions.md
// describes the frames.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include "protocol/filehash.h"

#include <cstdint>
#include <optional>

namespace relvane {

enum Capability : std::uint8_t {
    CapBigFiles = 1, // sizes and offsets in 64 bits
    CapFolders = 2,  // names are paths below the receive folder, "/" between parts
    CapVerify = 4,   // every file's SHA-256 follows its last block
    CapWindow = 8,   // small files go without a resume query, several before their Acks
    CapXxh128 = 16,  // with CapVerify: the digest is XXH3-128 instead of SHA-256
};
using Capabilities = std::uint8_t;
constexpr Capabilities AllCapabilities =
    CapBigFiles | CapFolders | CapVerify | CapWindow | CapXxh128;
[[nodiscard]] constexpr DigestKind DigestOf(Capabilities mode) {
    return (mode & CapXxh128) != 0 ? DigestKind::Xxh128 : DigestKind::Sha256;
}

// With CapWindow, a file of at most WindowFileMax bytes is sent without a
// resume query (a partial file of it is written again from its start), and
// up to WindowFiles of them go before the first of them is answered. The
// receiver answers each in order, as always; a "0" ends the list there.
constexpr std::int64_t WindowFileMax = 64 * 1024;
constexpr int WindowFiles = 64;
[[nodiscard]] constexpr bool Windowed(Capabilities mode, std::int64_t size) {
    return (mode & CapWindow) != 0 && size <= WindowFileMax;
}

// The extension frames' Types, outside the catalogue (0-16).
constexpr std::uint8_t OfferType = 0xE0;    // control slot; Request, answered by a Reply
constexpr std::uint8_t ListModeType = 0xE1; // control slot; Notice before a SendRequest
constexpr std::uint8_t DigestType = 0xE2;   // the transfer's slot; Notice before End

// The offer: "relvane/1" and the words of what is offered.
[[nodiscard]] QByteArray OfferFrame(bool reply, Capabilities offered);
[[nodiscard]] QByteArray ListModeFrame(Capabilities used);
[[nodiscard]] QByteArray DigestFrame(std::uint8_t slot, const QByteArray& sha256);
// What an offer or list-mode payload names; nothing when it is not ours.
// Words this copy does not know are ignored (a later copy may offer more).
[[nodiscard]] std::optional<Capabilities> ParseCapabilities(QByteArrayView payload);
// The bytes of a digest frame's payload (lower-case hex, twice DigestBytes
// digits); nothing otherwise.
[[nodiscard]] std::optional<QByteArray> ParseDigest(QByteArrayView payload, DigestKind kind);

} // namespace relvane
