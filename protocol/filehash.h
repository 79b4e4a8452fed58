#pragma once
// SHA-256 of whole files: incrementally as bytes go by, or of a file on disk
// on a thread of its own while the file is being sent.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <atomic>
#include <cstdint>
#include <future>
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

// Hashes bytes [0, size) of a file on another thread; Result() waits for it.
// The descriptor is duplicated, so the caller may close its own.
class FileHasher {
public:
    FileHasher() = default;
    ~FileHasher();
    void Start(int fd, std::int64_t size);
    [[nodiscard]] bool Active() const { return Pending.valid(); }
    // The digest, or empty when the file could not be read whole.
    [[nodiscard]] QByteArray Result();
    // Drops a hash still running (it is finished and thrown away).
    void Stop();

private:
    std::future<QByteArray> Pending;
    std::shared_ptr<std::atomic<bool>> Stopping;
};

// "sha256sum" form: 64 hex digits, two spaces, the name.
[[nodiscard]] QString Sha256SumLine(const QByteArray& digest, const QString& name);

} // namespace relvane
