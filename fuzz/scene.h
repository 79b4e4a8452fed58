#pragma once
// What the receive-loop fuzz target and its seed corpus share: the three
// scene bytes at the head of every input, and the files that lie in the
// scratch folders.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace relvane::fuzz {

// Byte 0.
constexpr std::uint8_t Connecting = 0x01;  // else the listening side
constexpr std::uint8_t VersionSent = 0x02; // the listening side asked at accept time
constexpr std::uint8_t PeerCloses = 0x04;  // after its last byte
constexpr std::uint8_t Handshaken = 0x08;  // the handshake counts as done
constexpr std::uint8_t Compress = 0x10;
constexpr std::uint8_t Resume = 0x20;
constexpr std::uint8_t OwnSend = 0x40;
constexpr std::uint8_t Flaky = 0x80;
// Byte 1: bits 0-5 bytes per pass (0: all at once).
constexpr std::uint8_t ChunkMask = 0x3F;
constexpr std::uint8_t Partials = 0x40;
constexpr std::uint8_t Blockers = 0x80;
// Byte 2: bits 0-3 what the worker offers (Capabilities); with the window's
// bit it offers the XXH3-128 digest too.
constexpr std::uint8_t OfferMask = 0x0F;
constexpr std::uint8_t LargeSet = 0x10;
constexpr std::uint8_t TwoThreads = 0x20;
constexpr std::uint8_t AsTree = 0x40;
constexpr std::uint8_t SlowHandshake = 0x80;

constexpr int SceneBytes = 3;
// The slow handshake's limit: short, so an input costs a few ms at most.
constexpr int SlowLimitMs = 3;

struct SendFile {
    QString Name;     // in the send folder
    QString TreeName; // the path it goes by when folders are kept
    QByteArray Bytes;
};

// Compressible bytes, the same for the same n and seed.
[[nodiscard]] QByteArray Pattern(int n, int seed);
// The usual small files, and the large set: runs of blocks enough for the
// compression pool, a small file after each large one (made ahead while the
// large one is acknowledged), a region that does not compress, an empty file.
[[nodiscard]] const std::vector<SendFile>& SmallSet();
[[nodiscard]] const std::vector<SendFile>& LargeSendSet();
// A name whose Shift-JIS form holds the byte 0x5C.
[[nodiscard]] QString JapaneseName();

// Writes the seed corpus (conversations that get far) to `dir`.
void WriteSeeds(const char* dir);

} // namespace relvane::fuzz
