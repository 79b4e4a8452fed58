#include "protocol/blockstream.h"

#include "protocol/blockcodec.h"
#include "protocol/frame.h"
#include "protocol/sender.h"

#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <climits>
#include <vector>

#include <sys/uio.h>
#include <unistd.h>

namespace relvane {

namespace {

// A run is what one pool thread reads and deflates at a time: large enough
// that the hand-over costs little, small enough that the pool keeps pace
// with the connection from the first run on. It is also the region whose
// first block decides whether the others are deflated or stored.
constexpr int RunBlocks = 32;
// Blocks read and deflated ahead of the connection, at most.
constexpr int AheadBlocks = 256;
constexpr int MaxRuns = AheadBlocks / RunBlocks;

void PutBlockHeader(char* at, std::uint8_t slot, std::int32_t length) {
    const auto n = static_cast<std::uint32_t>(length);
    at[0] = static_cast<char>(slot);
    at[1] = static_cast<char>(Kind::Notice);
    at[2] = static_cast<char>(Type::FileData);
    at[3] = static_cast<char>(n & 0xFF);
    at[4] = static_cast<char>((n >> 8) & 0xFF);
    at[5] = static_cast<char>((n >> 16) & 0xFF);
    at[6] = static_cast<char>((n >> 24) & 0xFF);
    at[7] = static_cast<char>(Format::FmtBinary);
}

} // namespace

int CompressionThreadsFor(int cores) {
    return std::clamp(cores, 2, 8);
}

int DefaultCompressionThreads() {
    return CompressionThreadsFor(QThread::idealThreadCount());
}

struct BlockStream::Run {
    // What to make; set before the run is shared.
    int Fd = -1;
    std::int64_t From = 0;
    std::int64_t Length = 0;
    std::uint8_t Slot = 0;
    bool Compress = false;
    // What was made; read by the sender once Done (under M).
    enum class State { Queued, Working, Done } Progress = State::Queued;
    Outcome Result = Outcome::Ready;
    QByteArray Frames;
    QByteArray Raw;           // compressed runs: the bytes read
    bool Stored = false;      // compressed runs: every region went stored
    std::int64_t Covered = 0; // file bytes carried by Frames
};

BlockStream::BlockStream(int threads, std::function<void()> wake)
    : Threads(std::max(threads, 1)), WakeSender(std::move(wake)) {}

BlockStream::~BlockStream() {
    Stop();
    {
        std::lock_guard lock(M);
        Quit = true;
    }
    Changed.notify_all();
    for (std::thread& t : Pool)
        t.join();
}

void BlockStream::StartThreads() {
    if (!Pool.empty()) return;
    Pool.reserve(static_cast<size_t>(Threads));
    for (int i = 0; i < Threads; ++i)
        Pool.emplace_back([this] { Work(); });
}

void BlockStream::Start(int fd, std::int64_t from, std::int64_t end, std::uint8_t slot,
                        bool compress) {
    Stop();
    // A file of one run or less is made on the sender's own thread: handing
    // it to the pool would cost more than it saves.
    const bool pooled = compress && end - from > std::int64_t(RunBlocks) * BlockSize;
    if (pooled) StartThreads();
    {
        std::lock_guard lock(M);
        Running = true;
        Compress = compress;
        Inline = !pooled;
        Storing = false;
        Fd = fd;
        SlotNo = slot;
        StartedAt = from;
        Next = from;
        End = std::max(end, from);
        EmptyBlockDue = from >= end;
        Failed = Outcome::Ready;
        Refill(); // the pool starts at once
    }
    Changed.notify_all();
}

void BlockStream::Stop() {
    std::unique_lock lock(M);
    Running = false;
    SenderWaits = false;
    Runs.clear();
    // Runs already taken by a thread keep the descriptor in use until made.
    Changed.wait(lock, [this] { return Busy == 0; });
}

// Uncompressed, the blocks are read straight into their places between
// their headers: one read per run and no copy.
BlockStream::Outcome MakePlain(int fd, std::int64_t from, std::int64_t length, std::uint8_t slot,
                               QByteArray& frames, std::int64_t& covered) {
    const std::int64_t blocks = std::max<std::int64_t>(1, (length + BlockSize - 1) / BlockSize);
    const qsizetype base = frames.size();
    frames.resize(base + static_cast<qsizetype>(blocks * HeaderSize + length));
    char* out = frames.data() + base;
    thread_local std::vector<iovec> parts;
    parts.resize(static_cast<size_t>(blocks));
    for (std::int64_t i = 0; i < blocks; ++i)
        parts[size_t(i)] = {out + i * (HeaderSize + BlockSize) + HeaderSize,
                            size_t(std::min<std::int64_t>(BlockSize, length - i * BlockSize))};
    std::int64_t got = 0;
    size_t first = 0;
    BlockStream::Outcome result = BlockStream::Outcome::Ready;
    while (got < length) {
        const int count = static_cast<int>(std::min<size_t>(parts.size() - first, IOV_MAX));
        const ssize_t n = ::preadv(fd, parts.data() + first, count, from + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            result = n == 0 ? BlockStream::Outcome::Shrunk : BlockStream::Outcome::ReadFailed;
            break;
        }
        got += n;
        // Past the parts filled; into the one filled in part.
        for (size_t left = size_t(n); left > 0;) {
            const size_t take = std::min(left, parts[first].iov_len);
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + take;
            parts[first].iov_len -= take;
            left -= take;
            if (parts[first].iov_len == 0) ++first;
        }
    }
    // Every block up to a failure goes out, the last with what it holds.
    const std::int64_t made = length == 0 ? 1 : (got + BlockSize - 1) / BlockSize;
    for (std::int64_t i = 0; i < made; ++i)
        PutBlockHeader(
            out + i * (HeaderSize + BlockSize), slot,
            static_cast<std::int32_t>(std::min<std::int64_t>(BlockSize, got - i * BlockSize)));
    frames.resize(base + static_cast<qsizetype>(made * HeaderSize + got));
    covered = got;
    return result;
}

void BlockStream::Make(Run& run) const {
    if (!run.Compress) {
        run.Result = MakePlain(run.Fd, run.From, run.Length, run.Slot, run.Frames, run.Covered);
        return;
    }
    // Kept in the run, for the sender's digest, and then used again.
    QByteArray& raw = run.Raw;
    raw.resize(static_cast<qsizetype>(run.Length));
    std::int64_t got = 0;
    run.Result = Outcome::Ready;
    while (got < run.Length) {
        const ssize_t n = ::pread(run.Fd, raw.data() + got, static_cast<size_t>(run.Length - got),
                                  static_cast<off_t>(run.From + got));
        if (n > 0) {
            got += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        run.Result = n == 0 ? Outcome::Shrunk : Outcome::ReadFailed;
        break;
    }
    run.Covered = got;
    raw.resize(static_cast<qsizetype>(got));
    // Every block up to the failure goes out, as it would one at a time.
    thread_local BlockCodec codec;
    run.Frames.reserve(static_cast<qsizetype>(got + (got / BlockSize + 1) * (HeaderSize + 16)));
    // Compressed, the run is decided in regions of RunBlocks blocks by their
    // first block: when it does not shrink by 1/32, the region's other full
    // blocks go stored without deflate. A region is decided by its own bytes
    // alone, so any thread makes the same frames.
    bool storing = false;
    run.Stored = true;
    std::int64_t at = 0;
    for (std::int64_t block = 0;; ++block) {
        const auto size = static_cast<qsizetype>(std::min<std::int64_t>(BlockSize, got - at));
        if (size == 0 && (run.Length > 0 || run.Result != Outcome::Ready)) break;
        const QByteArrayView bytes(raw.data() + at, size);
        try {
            // The stream straight after its header, whose length follows.
            const qsizetype header = run.Frames.size();
            run.Frames.resize(header + HeaderSize);
            qsizetype packed = 0;
            // A short block (the file's last) is always deflated: for a
            // few bytes zlib chooses fixed codes over a stored block.
            const bool full = size == BlockSize;
            if (block % RunBlocks == 0) {
                storing = full && BlockCodec::LooksIncompressible(bytes);
                if (storing) {
                    packed = BlockCodec::StoreTo(bytes, run.Frames);
                } else {
                    packed = codec.CompressTo(bytes, run.Frames);
                    storing = full && !BlockCodec::Shrank(size, packed);
                }
                run.Stored = run.Stored && storing;
            } else if (storing && full) {
                packed = BlockCodec::StoreTo(bytes, run.Frames);
            } else {
                packed = codec.CompressTo(bytes, run.Frames);
            }
            PutBlockHeader(run.Frames.data() + header, run.Slot, static_cast<std::int32_t>(packed));
        } catch (const Error&) {
            run.Result = Outcome::CompressFailed;
            run.Covered = at;
            return;
        }
        at += size;
        if (at >= got) break;
    }
}

bool BlockStream::Refill() {
    bool added = false;
    while (Running && !Inline && !Storing && (Next < End || EmptyBlockDue) &&
           static_cast<int>(Runs.size()) < MaxRuns) {
        auto run = std::make_shared<Run>();
        run->Fd = Fd;
        run->From = Next;
        run->Length = std::min<std::int64_t>(std::int64_t(RunBlocks) * BlockSize, End - Next);
        run->Slot = SlotNo;
        run->Compress = true;
        run->Frames = Reuse(Spare);
        run->Raw = Reuse(SpareRaw);
        Next += run->Length;
        EmptyBlockDue = false;
        Runs.push_back(std::move(run));
        added = true;
    }
    return added;
}

void BlockStream::Work() {
    std::unique_lock lock(M);
    for (;;) {
        std::shared_ptr<Run> run;
        Changed.wait(lock, [&] {
            if (Quit) return true;
            for (const auto& r : Runs) {
                if (r->Progress == Run::State::Queued) {
                    run = r;
                    return true;
                }
            }
            return false;
        });
        if (Quit) return;
        run->Progress = Run::State::Working;
        ++Busy;
        lock.unlock();
        Make(*run);
        lock.lock();
        run->Progress = Run::State::Done;
        const bool wake = SenderWaits && EnoughReady();
        if (wake) {
            SenderWaits = false;
            // Still counted as busy: Stop() must not return while the wake
            // may touch what the sender closes after it.
            lock.unlock();
            WakeSender();
            lock.lock();
        }
        --Busy;
        Changed.notify_all();
    }
}

bool BlockStream::EnoughReady() const {
    // A wake costs the sender a thread switch: it comes once the runs ready
    // in order fill most of a send, or once nothing more is being made.
    qsizetype ready = 0;
    for (const auto& run : Runs) {
        if (run->Progress != Run::State::Done) return false;
        ready += run->Frames.size();
        if (ready >= MaxBatchBytes * 3 / 4) return true;
    }
    return !Runs.empty();
}

bool BlockStream::HasReady() {
    if (!Running) return false;
    if (Inline || Failed != Outcome::Ready) return true;
    std::lock_guard lock(M);
    if (!Runs.empty() && Runs.front()->Progress == Run::State::Done) return true;
    // Take() would make the next blocks itself; after a region that
    // deflated, the pool gets them.
    if (Runs.empty() && Storing && Next < End) return true;
    if (Refill()) Changed.notify_all();
    SenderWaits = true;
    return false;
}

// Buffers go back and forth between the sender and the pool instead of being
// freed: one freed on another thread than the one that made it makes the
// allocator hand pages back, at a cost per run.
QByteArray BlockStream::Reuse(std::vector<QByteArray>& spare) {
    if (spare.empty()) return {};
    QByteArray b = std::move(spare.back());
    spare.pop_back();
    return b;
}

void BlockStream::Recycle(QByteArray&& buffer, std::vector<QByteArray>& spare) {
    if (buffer.capacity() < 16 * 1024 || spare.size() > MaxRuns) return;
    buffer.resize(0); // keeps the allocation
    spare.push_back(std::move(buffer));
    buffer = QByteArray();
}

BlockStream::Outcome BlockStream::Take(Batch& batch, qsizetype maxBytes) {
    Recycle(std::move(batch.Frames), Spare);
    Recycle(std::move(batch.Raw), SpareRaw);
    batch.Frames = QByteArray();
    batch.Raw = QByteArray();
    batch.Last = false;
    if (!Running) return Outcome::NotYet;
    if (Failed != Outcome::Ready) return Failed;

    if (Inline) return TakeHere(batch, maxBytes);

    std::unique_lock lock(M);
    // Pool threads are woken only for new work: each wake costs a switch.
    if (Refill()) Changed.notify_all();
    while (!Runs.empty() && Runs.front()->Progress == Run::State::Done) {
        Run& run = *Runs.front();
        if (!batch.Frames.isEmpty() && batch.Frames.size() + run.Frames.size() > maxBytes) break;
        if (batch.Frames.isEmpty()) {
            batch.Frames.swap(run.Frames);
            batch.Raw.swap(run.Raw);
        } else {
            batch.Frames += run.Frames;
            batch.Raw += run.Raw;
            Recycle(std::move(run.Frames), Spare);
            Recycle(std::move(run.Raw), SpareRaw);
        }
        batch.Position = run.From + run.Covered;
        if (run.Result != Outcome::Ready) {
            if (!batch.Frames.isEmpty()) {
                // Its blocks go first; the failure is reported next time.
                run.Frames.clear();
                return Outcome::Ready;
            }
            return run.Result;
        }
        Storing = run.Stored;
        Runs.pop_front();
        batch.Last = Runs.empty() && Next >= End && !EmptyBlockDue;
        if (batch.Last) break;
    }
    if (batch.Frames.isEmpty() && Runs.empty() && Storing && Next < End) {
        lock.unlock();
        return TakeHere(batch, maxBytes);
    }
    if (Refill()) Changed.notify_all();
    if (!batch.Frames.isEmpty()) return Outcome::Ready;
    SenderWaits = true;
    return Outcome::NotYet;
}

// Made on the sender's own thread: one large read per call.
BlockStream::Outcome BlockStream::TakeHere(Batch& batch, qsizetype maxBytes) {
    Run run;
    run.Fd = Fd;
    run.Compress = Compress;
    run.From = Next;
    std::int64_t blocks = std::max<qsizetype>(1, maxBytes / (HeaderSize + BlockSize));
    // Whole regions, so the same regions are decided as by the pool.
    if (Compress) blocks = std::max<std::int64_t>(RunBlocks, blocks / RunBlocks * RunBlocks);
    run.Length = std::min(blocks * BlockSize, End - Next);
    run.Slot = SlotNo;
    run.Frames = Reuse(Spare);
    run.Raw = Reuse(SpareRaw);
    Make(run);
    EmptyBlockDue = false;
    Next += run.Covered;
    // Data that is only stored costs little more to make than to send: the
    // pool's hand-overs would cost more than they save. A region that
    // deflates gives the next ones back to the pool.
    Storing = run.Stored;
    batch.Frames = std::move(run.Frames);
    batch.Raw = std::move(run.Raw);
    batch.Position = Next;
    batch.Last = run.Result == Outcome::Ready && Next >= End;
    if (run.Result == Outcome::Ready) return Outcome::Ready;
    // The blocks before the failure go first; it is reported next time.
    Failed = run.Result;
    return batch.Frames.isEmpty() ? Failed : Outcome::Ready;
}

} // namespace relvane
