#include "protocol/filehash.h"

#include <QString>

#include <openssl/evp.h>

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace relvane {

struct Sha256::State {
    EVP_MD_CTX* Ctx = EVP_MD_CTX_new();
    ~State() { EVP_MD_CTX_free(Ctx); }
};

Sha256::Sha256() : S(std::make_unique<State>()) {
    Reset();
}

Sha256::~Sha256() = default;

void Sha256::Reset() {
    EVP_DigestInit_ex(S->Ctx, EVP_sha256(), nullptr);
}

void Sha256::Add(QByteArrayView bytes) {
    if (!bytes.isEmpty()) EVP_DigestUpdate(S->Ctx, bytes.data(), static_cast<size_t>(bytes.size()));
}

QByteArray Sha256::Finish() {
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_DigestFinal_ex(S->Ctx, reinterpret_cast<unsigned char*>(digest.data()), &length);
    Reset();
    return digest;
}

bool Sha256::AddFile(int fd, std::int64_t n, const std::atomic<bool>* stop) {
    std::vector<char> buffer(1 << 20);
    std::int64_t at = 0;
    while (at < n) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return false;
        const auto want = static_cast<size_t>(std::min<std::int64_t>(n - at, buffer.size()));
        const ssize_t got = ::pread(fd, buffer.data(), want, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        Add(QByteArrayView(buffer.data(), got));
        at += got;
    }
    return true;
}

FileHasher::~FileHasher() {
    Stop();
}

void FileHasher::Start(int fd, std::int64_t size) {
    Stop();
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    Stopping = std::make_shared<std::atomic<bool>>(false);
    Pending = std::async(std::launch::async, [own, size, stop = Stopping] {
        Sha256 hash;
        const bool whole = own >= 0 && hash.AddFile(own, size, stop.get());
        if (own >= 0) ::close(own);
        return whole ? hash.Finish() : QByteArray();
    });
}

QByteArray FileHasher::Result() {
    if (!Pending.valid()) return {};
    return Pending.get();
}

void FileHasher::Stop() {
    if (Stopping) Stopping->store(true);
    if (Pending.valid()) Pending.wait();
    Pending = {};
}

QString Sha256SumLine(const QByteArray& digest, const QString& name) {
    return QString::fromLatin1(digest.toHex()) + QStringLiteral("  ") + name;
}

} // namespace relvane
