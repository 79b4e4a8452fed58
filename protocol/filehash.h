#pragma once
// Digests of whole files: incrementally as bytes go by, or of a file on disk
// on a thread of its own while the file is being sent or written.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace relvane {

// SHA-256 for every copy that verifies; XXH3-128 where both copies offer it,
// about a tenth of the cost on a core, with the same power to catch a
// changed byte on the way.
enum class DigestKind : std::uint8_t { Sha256, Xxh128 };
// The digest's length in bytes.
[[nodiscard]] int DigestBytes(DigestKind kind);

class Digest {
public:
    explicit Digest(DigestKind kind = DigestKind::Sha256);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    void Reset();
    void Reset(DigestKind kind);
    void Add(QByteArrayView bytes);
    // The digest (DigestBytes long); the state starts over.
    [[nodiscard]] QByteArray Finish();
    // Adds the first n bytes of the open file `fd` (read with pread); false
    // when they could not all be read.
    // A set *stop ends it early (false).
    bool AddFile(int fd, std::int64_t n, const std::atomic<bool>* stop = nullptr);

private:
    struct State;
    std::unique_ptr<State> S;
};

// Hashes a file from disk on a thread of its own, following its writer:
// bytes [0, ready) are hashed as soon as they are there, more as Extend()
// says they were written, so a file is hashed while it moves and a resumed
// file's kept part costs the connection nothing. Result() waits for the rest.
// The descriptor is duplicated, so the caller may close its own.
class FileHasher {
public:
    FileHasher() = default;
    ~FileHasher();
    FileHasher(const FileHasher&) = delete;
    FileHasher& operator=(const FileHasher&) = delete;
    void Start(int fd, std::int64_t ready, DigestKind kind);
    void Extend(std::int64_t ready);
    [[nodiscard]] bool Active() const { return Shared != nullptr; }
    // The digest of bytes [0, size), or empty when they could not all be read.
    [[nodiscard]] QByteArray Result(std::int64_t size);
    // Drops a hash still running.
    void Stop();

private:
    struct State;
    std::shared_ptr<State> Shared;
    std::thread Thread;
};

// Files up to this size are hashed on the caller's thread: starting a thread
// costs more than hashing them.
constexpr std::int64_t HashHereMax = 1 << 20;

// "sha256sum" (or "xxh128sum") form: the hex digits, two spaces, the name.
[[nodiscard]] QString DigestSumLine(const QByteArray& digest, const QString& name);

} // namespace relvane
