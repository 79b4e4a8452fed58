#include "protocol/filehash.h"

#include <QString>

#include <openssl/evp.h>
#include <xxhash.h>
// The library's plain entry points use SSE2 alone; its dispatching ones pick
// AVX2 or AVX-512 where the processor has them, several times faster.
#if defined(__x86_64__) && __has_include(<xxh_x86dispatch.h>)
#include <xxh_x86dispatch.h>
#define RELVANE_XXH3_UPDATE XXH3_128bits_update_dispatch
#else
#define RELVANE_XXH3_UPDATE XXH3_128bits_update
#endif

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace relvane {

int DigestBytes(DigestKind kind) {
    return kind == DigestKind::Xxh128 ? 16 : 32;
}

struct Digest::State {
    DigestKind Kind = DigestKind::Sha256;
    EVP_MD_CTX* Ctx = EVP_MD_CTX_new();
    XXH3_state_t* Xxh = XXH3_createState();
    ~State() {
        EVP_MD_CTX_free(Ctx);
        XXH3_freeState(Xxh);
    }
};

Digest::Digest(DigestKind kind) : S(std::make_unique<State>()) {
    Reset(kind);
}

Digest::~Digest() = default;

void Digest::Reset() {
    Reset(S->Kind);
}

void Digest::Reset(DigestKind kind) {
    S->Kind = kind;
    if (kind == DigestKind::Xxh128)
        XXH3_128bits_reset(S->Xxh);
    else
        EVP_DigestInit_ex(S->Ctx, EVP_sha256(), nullptr);
}

void Digest::Add(QByteArrayView bytes) {
    if (bytes.isEmpty()) return;
    if (S->Kind == DigestKind::Xxh128)
        RELVANE_XXH3_UPDATE(S->Xxh, bytes.data(), static_cast<size_t>(bytes.size()));
    else
        EVP_DigestUpdate(S->Ctx, bytes.data(), static_cast<size_t>(bytes.size()));
}

QByteArray Digest::Finish() {
    QByteArray digest(DigestBytes(S->Kind), Qt::Uninitialized);
    if (S->Kind == DigestKind::Xxh128) {
        // Big-endian, as xxh128sum prints it.
        XXH128_canonical_t canonical;
        XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(S->Xxh));
        std::memcpy(digest.data(), canonical.digest, sizeof canonical.digest);
    } else {
        unsigned int length = 0;
        EVP_DigestFinal_ex(S->Ctx, reinterpret_cast<unsigned char*>(digest.data()), &length);
    }
    Reset();
    return digest;
}

bool Digest::AddFile(int fd, std::int64_t n, const std::atomic<bool>* stop) {
    // As large as the file up to 1 MiB, and not cleared: a small file's
    // hash must not cost a megabyte of zeros.
    const auto room = static_cast<size_t>(std::clamp<std::int64_t>(n, 1, 1 << 20));
    const std::unique_ptr<char[]> buffer(new char[room]);
    std::int64_t at = 0;
    while (at < n) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return false;
        const auto want = static_cast<size_t>(std::min<std::int64_t>(n - at, room));
        const ssize_t got = ::pread(fd, buffer.get(), want, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        Add(QByteArrayView(buffer.get(), got));
        at += got;
    }
    return true;
}

struct FileHasher::State {
    std::mutex Lock;
    std::condition_variable Changed;
    std::int64_t Ready = 0; // bytes on disk
    std::int64_t End = -1;  // the file's size, once known
    bool Stopping = false;
    bool Done = false;
    QByteArray Digest; // empty: a read failed
};

FileHasher::~FileHasher() {
    Stop();
}

void FileHasher::Start(int fd, std::int64_t ready, DigestKind kind) {
    Stop();
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    Shared = std::make_shared<State>();
    Shared->Ready = ready;
    Thread = std::thread([own, kind, state = Shared] {
        Digest hash(kind);
        std::vector<char> buffer(1 << 20);
        std::int64_t at = 0;
        bool whole = own >= 0;
        for (;;) {
            std::int64_t ready = 0;
            {
                std::unique_lock guard(state->Lock);
                state->Changed.wait(guard, [&] {
                    return state->Stopping || state->Ready > at ||
                           (state->End >= 0 && at >= state->End);
                });
                if (state->Stopping || (state->End >= 0 && at >= state->End)) break;
                ready = state->End >= 0 ? std::min(state->Ready, state->End) : state->Ready;
            }
            while (whole && at < ready) {
                const auto want = static_cast<size_t>(
                    std::min<std::int64_t>(ready - at, static_cast<std::int64_t>(buffer.size())));
                const ssize_t got = ::pread(own, buffer.data(), want, at);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) {
                    whole = false;
                    break;
                }
                hash.Add(QByteArrayView(buffer.data(), got));
                at += got;
            }
            if (!whole) break;
        }
        if (own >= 0) ::close(own);
        std::lock_guard guard(state->Lock);
        if (whole && at == state->End) state->Digest = hash.Finish();
        state->Done = true;
        state->Changed.notify_all();
    });
}

void FileHasher::Extend(std::int64_t ready) {
    if (!Shared) return;
    std::lock_guard guard(Shared->Lock);
    if (ready <= Shared->Ready) return;
    Shared->Ready = ready;
    Shared->Changed.notify_all();
}

QByteArray FileHasher::Result(std::int64_t size) {
    if (!Shared) return {};
    {
        std::lock_guard guard(Shared->Lock);
        Shared->End = size;
        Shared->Ready = std::max(Shared->Ready, size);
        Shared->Changed.notify_all();
    }
    Thread.join();
    QByteArray digest = std::move(Shared->Digest);
    Shared.reset();
    return digest;
}

void FileHasher::Stop() {
    if (!Shared) return;
    {
        std::lock_guard guard(Shared->Lock);
        Shared->Stopping = true;
        Shared->Changed.notify_all();
    }
    Thread.join();
    Shared.reset();
}

QString DigestSumLine(const QByteArray& digest, const QString& name) {
    return QString::fromLatin1(digest.toHex()) + QStringLiteral("  ") + name;
}

} // namespace relvane
