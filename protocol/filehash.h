#pragma once
// SHA-256 of whole files: incrementally as bytes go by, or of a file on disk
// on a thread of its own while the file is being sent or written.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <atomic>
#include <cstdint>
#include <thread>
#include <memory>

namespace relvane {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Reset();
    void Add(QByteArrayView bytes);
    // The 32 bytes of the digest; the state starts over.
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
    void Start(int fd, std::int64_t ready);
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

// "sha256sum" form: 64 hex digits, two spaces, the name.
[[nodiscard]] QString Sha256SumLine(const QByteArray& digest, const QString& name);

} // namespace relvane
