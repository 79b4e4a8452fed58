#pragma once
// The FileData frames of one file, from an offset to the size announced, in
// order and ready to send. File data is read in large chunks; with
// compression, the next blocks are deflated ahead of the sender by a pool of
// threads, while data that does not shrink (and only goes stored) is made by
// the sender's thread itself. Every block is its own zlib stream, and whether
// a run of blocks is deflated or stored depends on that run's bytes alone, so
// the bytes are the ones a single thread gives, whatever thread made them.

#include <QByteArray>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace relvane {

// Compression threads for a machine with `cores` cores: one per core, at
// least 2 (the sender's own thread is busy with the connection), at most 8.
[[nodiscard]] int CompressionThreadsFor(int cores);
[[nodiscard]] int DefaultCompressionThreads();

class BlockStream {
public:
    // threads: the pool's size, started at the first compressed file. wake:
    // called on a pool thread when the frames Take() found missing are ready.
    BlockStream(int threads, std::function<void()> wake);
    ~BlockStream();
    BlockStream(const BlockStream&) = delete;
    BlockStream& operator=(const BlockStream&) = delete;

    // Starts the frames of bytes [from, end) of the open file `fd` for slot
    // `slot`. The descriptor must stay open until Stop(). With from == end
    // there is one empty block, as a file of nothing has.
    void Start(int fd, std::int64_t from, std::int64_t end, std::uint8_t slot, bool compress);
    // The frames are made by Take() itself, on the caller's thread: no
    // compression, or no more than one run of blocks.
    [[nodiscard]] bool MadeHere() const { return Inline; }
    // Where the frames started.
    [[nodiscard]] std::int64_t From() const { return StartedAt; }
    // Drops everything read or compressed ahead; once it returns, no thread
    // uses the descriptor any more.
    void Stop();
    [[nodiscard]] bool Active() const { return Running; }

    enum class Outcome {
        Ready,          // frames taken
        NotYet,         // the pool is still at work; the wake follows
        ReadFailed,     // the next block cannot be read
        Shrunk,         // the file ended before the size announced
        CompressFailed, // zlib refused
    };
    struct Batch {
        QByteArray Frames;       // whole FileData frames
        // Compressed: the bytes the frames carry, uncompressed and in order,
        // for a digest made beside the sending. Empty without compression.
        QByteArray Raw;
        std::int64_t Position{}; // the file offset after the last of them
        bool Last = false;       // the file's last block is among them
    };
    // The next frames in order, at most maxBytes unless a single run of
    // blocks is larger. A failure is reported once every block before it was
    // taken.
    [[nodiscard]] Outcome Take(Batch& batch, qsizetype maxBytes);
    // Take() would return at once with frames or a failure; if not, the
    // wake follows once it would.
    [[nodiscard]] bool HasReady();

private:
    struct Run;
    bool Refill();                          // under M; whether runs were added
    [[nodiscard]] Outcome TakeHere(Batch& batch, qsizetype maxBytes);
    [[nodiscard]] bool EnoughReady() const; // under M
    void Work();                            // a pool thread
    void Make(Run& run) const;              // reads (and deflates) one run, outside M
    void StartThreads();
    // Frame buffers passed back and forth instead of freed and allocated:
    // sender's thread only.
    [[nodiscard]] static QByteArray Reuse(std::vector<QByteArray>& spare);
    static void Recycle(QByteArray&& buffer, std::vector<QByteArray>& spare);
    std::vector<QByteArray> Spare;
    std::vector<QByteArray> SpareRaw;

    const int Threads;
    const std::function<void()> WakeSender;
    bool Running = false;
    bool Compress = false;
    bool Inline = true; // made by Take() itself, not by the pool
    // The last run taken was stored throughout: the next are made by Take()
    // itself until one deflates (sender's thread only).
    bool Storing = false;
    int Fd = -1;
    std::uint8_t SlotNo = 0;
    std::int64_t StartedAt = 0;
    std::int64_t Next = 0; // the first byte not yet in a run
    std::int64_t End = 0;
    bool EmptyBlockDue = false;
    Outcome Failed = Outcome::Ready; // found after blocks that went out first

    std::mutex M;
    std::condition_variable Changed;
    std::deque<std::shared_ptr<Run>> Runs; // in file order
    int Busy = 0;                          // runs being made outside M
    bool SenderWaits = false;              // Take() found the front run unfinished
    bool Quit = false;
    std::vector<std::thread> Pool;
};

} // namespace relvane
