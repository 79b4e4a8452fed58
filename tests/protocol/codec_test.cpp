#include "protocol/blockcodec.h"
#include "protocol/blockstream.h"
#include "protocol/checksum.h"
#include "protocol/frame.h"
#include "protocol/sender.h"

#include <QTemporaryDir>
#include <QTemporaryFile>

#include <atomic>

#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>

using namespace relvane;

namespace {

QByteArray Compress2(const QByteArray& data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    QByteArray out(static_cast<qsizetype>(size), Qt::Uninitialized);
    EXPECT_EQ(compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                        reinterpret_cast<const Bytef*>(data.constData()),
                        static_cast<uLong>(data.size()), 9),
              Z_OK);
    out.resize(static_cast<qsizetype>(size));
    return out;
}

// compress2()'s level 9 through one deflate state reset per block: the same
// bytes without its allocations, which cost a millisecond a call here.
QByteArray ZlibLevel9(const QByteArray& data) {
    struct State {
        z_stream Z{};
        State() { deflateInit2(&Z, 9, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY); }
        ~State() { deflateEnd(&Z); }
    };
    thread_local State s;
    EXPECT_EQ(deflateReset(&s.Z), Z_OK);
    QByteArray out(static_cast<qsizetype>(deflateBound(&s.Z, static_cast<uLong>(data.size()))),
                   Qt::Uninitialized);
    s.Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    s.Z.avail_in = static_cast<uInt>(data.size());
    s.Z.next_out = reinterpret_cast<Bytef*>(out.data());
    s.Z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s.Z, Z_FINISH), Z_STREAM_END);
    out.resize(static_cast<qsizetype>(s.Z.total_out));
    return out;
}

QByteArray RandomBytes(int n, unsigned seed) {
    std::mt19937 rng(seed);
    QByteArray b(n, Qt::Uninitialized);
    for (auto& c : b)
        c = static_cast<char>(rng());
    return b;
}

QByteArray TextBytes(int n) {
    QByteArray b;
    for (int i = 0; b.size() < n; ++i)
        b += "line " + QByteArray::number(i) + ": the quick brown fox jumps over the lazy dog\r\n";
    return b.left(n);
}

void ExpectRefused(BlockCodec& codec, const QByteArray& stream) {
    try {
        (void)codec.Decompress(stream);
        ADD_FAILURE() << "accepted " << stream.toHex().left(80).constData();
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("error"));
    }
}

} // namespace

TEST(BlockCodec, EveryBlockIsTheStreamOfAFreshCompress2) {
    BlockCodec codec;
    // Alternating kinds and sizes through one codec: nothing may carry over.
    const QList<QByteArray> blocks{RandomBytes(1024, 1), TextBytes(1024), QByteArray(),
                                   RandomBytes(1, 2),    TextBytes(1000), RandomBytes(1024, 3),
                                   QByteArray(1024, 'a')};
    for (const QByteArray& block : blocks) {
        const QByteArray stream = codec.Compress(block);
        EXPECT_EQ(stream, Compress2(block)) << "block of " << block.size();
        EXPECT_EQ(codec.Decompress(stream), block);
    }
}

TEST(BlockCodec, EmptyBlockIsTheStreamOfNoData) {
    BlockCodec codec;
    const QByteArray stream = codec.Compress(QByteArrayView());
    EXPECT_EQ(stream, QByteArray::fromHex("78da030000000001"));
    EXPECT_TRUE(codec.Decompress(stream).isEmpty());
}

TEST(BlockCodec, StoredBlockIsWhatZlibLevel9EmitsForABlockItStores) {
    BlockCodec codec;
    int storedByZlib = 0;
    for (int n = 0; n <= BlockSize; ++n) {
        const QByteArray block = RandomBytes(n, 100 + n);
        QByteArray stored = "x"; // appended after what is there
        EXPECT_EQ(BlockCodec::StoreTo(block, stored), n + 11);
        stored.remove(0, 1);
        EXPECT_EQ(codec.Decompress(stored), block) << n;
        // For a few bytes zlib picks fixed codes; from there on it stores.
        const QByteArray zlib = ZlibLevel9(block);
        if (zlib.size() == n + 11 && zlib[2] == 1) {
            ++storedByZlib;
            EXPECT_EQ(stored, zlib) << n;
        }
    }
    EXPECT_GE(storedByZlib, BlockSize - 64);
}

TEST(BlockCodec, LooksIncompressibleOnlyWhereDeflateSavesUnderAThirtySecond) {
    std::mt19937 rng(42);
    const auto make = [&](auto byte) {
        QByteArray b(BlockSize, Qt::Uninitialized);
        for (int i = 0; i < b.size(); ++i)
            b[i] = static_cast<char>(byte(b, i));
        return b;
    };
    const auto fewSymbols = [&](int k) { return make([&](auto&, int) { return rng() % k; }); };
    // Random bytes, each `every` bytes starting with `length` earlier ones.
    const auto repeats = [&](int length, int every) {
        return make([&](const QByteArray& b, int i) {
            const int start = i - i % every;
            if (start < 64 || i - start >= length) return static_cast<char>(rng());
            return b[(start / every * 131) % (start - length) + i - start];
        });
    };
    struct Case {
        const char* Name;
        std::function<QByteArray()> Make;
        bool Quick; // judged without deflate
    };
    const Case cases[] = {
        {"random", [&] { return RandomBytes(BlockSize, rng()); }, true},
        {"text", [&] { return TextBytes(BlockSize); }, false},
        {"240 symbols", [&] { return fewSymbols(240); }, true},
        {"180 symbols", [&] { return fewSymbols(180); }, false},
        {"16 symbols", [&] { return fewSymbols(16); }, false},
        {"4-byte copies", [&] { return repeats(4, 16); }, false},
        {"8-byte copies", [&] { return repeats(8, 32); }, false},
        {"32-byte copies", [&] { return repeats(32, 96); }, false},
        {"a repeated random word",
         [&] { return RandomBytes(100, rng()).repeated(11).left(BlockSize); }, false},
        {"short random", [&] { return RandomBytes(255, rng()); }, false},
    };
    for (const Case& c : cases) {
        for (int i = 0; i < 50; ++i) {
            const QByteArray block = c.Make();
            const bool quick = BlockCodec::LooksIncompressible(block);
            EXPECT_EQ(quick, c.Quick) << c.Name;
            if (quick) {
                EXPECT_FALSE(BlockCodec::Shrank(block.size(), ZlibLevel9(block).size())) << c.Name;
            }
        }
    }
}

TEST(BlockCodec, RefusesStreamsThatAreNotExactlyOneSmallBlock) {
    BlockCodec codec;
    const QByteArray good = codec.Compress(TextBytes(1024));

    QByteArray corrupt = good;
    corrupt[good.size() / 2] = static_cast<char>(corrupt[good.size() / 2] ^ 0x55);
    QByteArray badTrailer = good;
    badTrailer[good.size() - 1] = static_cast<char>(badTrailer[good.size() - 1] ^ 1);

    ExpectRefused(codec, corrupt);
    ExpectRefused(codec, badTrailer);
    ExpectRefused(codec, good.left(good.size() - 3)); // cut off
    ExpectRefused(codec, good + "junk");              // bytes after the stream
    ExpectRefused(codec, QByteArray());
    ExpectRefused(codec, RandomBytes(100, 7));
    // Headers zlib's own inflate refuses: a preset dictionary, a 64 KiB window.
    ExpectRefused(codec, QByteArray::fromHex("78bb00000001") + good.mid(2));
    ExpectRefused(codec, QByteArray::fromHex("881c") + good.mid(2));

    // A small frame that would inflate past the limit; the limit itself is fine.
    ExpectRefused(codec, Compress2(QByteArray(MaxInflatedBlock + 1, '\0')));
    EXPECT_EQ(codec.Decompress(Compress2(QByteArray(MaxInflatedBlock, '\0'))).size(),
              MaxInflatedBlock);

    // A refusal leaves the codec usable.
    EXPECT_EQ(codec.Decompress(good), TextBytes(1024));
}

namespace {

std::uint32_t ReferenceChecksum(const QByteArray& bytes) {
    std::uint32_t acc = 0;
    for (char c : bytes)
        acc = std::rotl(acc, 1) + static_cast<unsigned char>(c);
    return acc % 4294967293u;
}

// An open temporary file with the given contents.
std::unique_ptr<QTemporaryFile> FileWith(const QByteArray& bytes) {
    auto file = std::make_unique<QTemporaryFile>();
    EXPECT_TRUE(file->open());
    EXPECT_EQ(file->write(bytes), bytes.size());
    EXPECT_TRUE(file->flush());
    return file;
}

} // namespace

TEST(StreamChecksum, KnownValues) {
    EXPECT_EQ(StreamChecksum(*FileWith("abc"), 0), 683u);
    EXPECT_EQ(StreamChecksum(*FileWith(QByteArray(32, '\xFF')), 0), 2u); // acc = 2^32 - 1
    EXPECT_EQ(StreamChecksum(*FileWith(QByteArray()), 0), 0u);
    EXPECT_EQ(StreamChecksum(*FileWith("abcdef"), 3), 683u); // the first n bytes only
}

TEST(StreamChecksum, LargeFileMatchesTheBytewiseSumAndKeepsThePosition) {
    const QByteArray data = RandomBytes(200 * 1024 + 17, 11); // spans several read chunks
    auto file = FileWith(data);
    ASSERT_TRUE(file->seek(5000));
    EXPECT_EQ(StreamChecksum(*file, 0), ReferenceChecksum(data));
    EXPECT_EQ(file->pos(), 5000);
    // Shown while it runs: how far it got stays, the length to sum goes back to 0.
    std::atomic<std::int64_t> total{-1}, done{-1};
    EXPECT_EQ(StreamChecksum(*file, 70000, {total, done}), ReferenceChecksum(data.left(70000)));
    EXPECT_EQ(total.load(), 0);
    EXPECT_EQ(done.load(), 70000);
    EXPECT_EQ(file->pos(), 5000);
    EXPECT_EQ(file->read(4), data.mid(5000, 4));
}

TEST(StreamChecksum, ShorterFileIsHashErrorAndKeepsThePosition) {
    auto file = FileWith("abc");
    ASSERT_TRUE(file->seek(1));
    std::atomic<std::int64_t> total{-1}, done{-1};
    try {
        (void)StreamChecksum(*file, 4, {total, done});
        ADD_FAILURE() << "no HashError";
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("HashError"));
    }
    EXPECT_EQ(file->pos(), 1);
    EXPECT_EQ(total.load(), 0) << "no check shown after it failed";
}

namespace {

// The frames one thread makes of bytes [from, end): a block per KiB, each
// its own fresh zlib stream when compressed; one empty block for no bytes.
QByteArray OneThreadsFrames(const QByteArray& data, qint64 from, qint64 end, bool compress) {
    QByteArray frames;
    qint64 at = from;
    do {
        const QByteArray block = data.mid(at, std::min<qint64>(BlockSize, end - at));
        frames += BuildFrame(0, Kind::Notice, Type::FileData, Format::FmtBinary,
                             compress ? Compress2(block) : block);
        at += block.size();
    } while (at < end);
    return frames;
}

// Takes frames as the sender does: whenever none are ready, it waits for the
// stream's wake (a lost wake fails here after 10 s).
struct StreamReader {
    std::mutex M;
    std::condition_variable Cv;
    bool Woken = false;
    BlockStream Stream{2, [this] {
                           std::lock_guard lock(M);
                           Woken = true;
                           Cv.notify_all();
                       }};

    BlockStream::Outcome TakeAll(QByteArray& frames, qsizetype limit = 1 << 30) {
        BlockStream::Batch batch;
        for (;;) {
            if (!Stream.HasReady()) {
                std::unique_lock lock(M);
                if (!Cv.wait_for(lock, std::chrono::seconds(10), [this] { return Woken; }))
                    return BlockStream::Outcome::NotYet;
                Woken = false;
                continue;
            }
            const BlockStream::Outcome outcome = Stream.Take(batch, MaxBatchBytes);
            if (outcome != BlockStream::Outcome::Ready) return outcome;
            EXPECT_LE(batch.Frames.size(), MaxBatchBytes);
            frames += batch.Frames;
            if (batch.Last || frames.size() >= limit) return outcome;
        }
    }
};

} // namespace

TEST(BlockStream, FramesAreOneThreadsBytesFromAnyOffset) {
    QTemporaryDir dir;
    const QByteArray big = TextBytes(3 * 1024 * 1024 + 100);
    struct Case {
        QByteArray Data;
        qint64 From;
    };
    const Case cases[] = {{{}, 0},
                          {RandomBytes(1, 1), 0},
                          {RandomBytes(1023, 2), 0},
                          {RandomBytes(1024, 3), 0},
                          {RandomBytes(1025, 4), 0},
                          {big, 0},
                          {big, 40000},
                          {big, big.size()}};
    for (const bool compress : {false, true}) {
        for (const Case& c : cases) {
            QFile file(dir.filePath("f"));
            ASSERT_TRUE(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
            ASSERT_EQ(file.write(c.Data), c.Data.size());
            ASSERT_TRUE(file.flush());
            const std::string name = QStringLiteral("%1 bytes from %2, compress %3")
                                         .arg(c.Data.size())
                                         .arg(c.From)
                                         .arg(compress)
                                         .toStdString();
            StreamReader r;
            QByteArray frames;
            if (c.From > 0) {
                // A restart inside what the pool already made, as a resume after a cancel.
                r.Stream.Start(file.handle(), 0, c.Data.size(), 0, compress);
                EXPECT_EQ(r.TakeAll(frames, 1), BlockStream::Outcome::Ready) << name;
                frames.clear();
            }
            r.Stream.Start(file.handle(), c.From, c.Data.size(), 0, compress);
            EXPECT_EQ(r.TakeAll(frames), BlockStream::Outcome::Ready) << name;
            EXPECT_TRUE(frames == OneThreadsFrames(c.Data, c.From, c.Data.size(), compress))
                << name;
            r.Stream.Stop();
        }
    }
}

TEST(BlockStream, AFileThatShrankEndsAfterItsLastBytes) {
    QTemporaryDir dir;
    const QByteArray data = RandomBytes(300 * 1024, 5);
    const qint64 left = 100 * 1024 + 500;
    for (const bool compress : {false, true}) {
        QFile file(dir.filePath("f"));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
        ASSERT_EQ(file.write(data.left(left)), left);
        ASSERT_TRUE(file.flush());
        StreamReader r;
        r.Stream.Start(file.handle(), 0, data.size(), 0, compress); // announced larger
        QByteArray frames;
        EXPECT_EQ(r.TakeAll(frames), BlockStream::Outcome::Shrunk) << compress;
        EXPECT_TRUE(frames == OneThreadsFrames(data.left(left), 0, left, compress)) << compress;
    }
}

TEST(BlockStream, ARegionWhoseFirstBlockDoesNotShrinkGoesStored) {
    QTemporaryDir dir;
    constexpr int Region = 32; // blocks decided together
    const QByteArray random = RandomBytes(16 * Region * BlockSize, 21);
    const QByteArray text = TextBytes(16 * Region * BlockSize);
    // Regions are counted from the first block sent; each is written as
    // `kinds`, one letter per block: r random, t text; `made` says how each
    // block must go: z as zlib level 9 makes it, s stored without deflate.
    struct Case {
        qint64 From;
        QByteArray Kinds;
        QByteArray Made;
    };
    const QByteArray r32(Region, 'r'), t32(Region, 't'), z32(Region, 'z');
    const Case cases[] = {
        // One region, made on the sender's thread; a short block is always
        // deflated.
        {0, "r" + QByteArray(Region - 1, 't'), "z" + QByteArray(Region - 2, 's') + "z"},
        // Through the pool, from a resume offset inside a block.
        {5000,
         "r" + QByteArray(Region - 1, 't') + t32 + r32 + "t" + QByteArray(Region - 1, 'r') + "rr",
         "z" + QByteArray(Region - 1, 's') + z32 + z32 + z32 + "zz"},
        // Past the runs queued at the start, stored regions are made on the
        // sender's thread; the region that deflates gives the rest back to
        // the pool. (A random block stored is what zlib makes of it.)
        {0, r32.repeated(9) + "r" + QByteArray(Region - 1, 't') + t32 + "r" +
                QByteArray(Region - 1, 't') + r32 + "rr",
         z32.repeated(9) + "z" + QByteArray(Region - 1, 's') + z32 + "z" +
             QByteArray(Region - 1, 's') + z32 + "zz"},
    };
    for (const Case& c : cases) {
        QByteArray data = random.left(c.From);
        for (int i = 0; i < c.Kinds.size(); ++i)
            data += (c.Kinds[i] == 'r' ? random : text).mid(i * BlockSize, BlockSize);
        data.chop(300); // a short last block
        QFile file(dir.filePath("f"));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite | QIODevice::Truncate));
        ASSERT_EQ(file.write(data), data.size());
        ASSERT_TRUE(file.flush());

        QByteArray expected;
        for (int i = 0; i < c.Made.size(); ++i) {
            const QByteArray block = data.mid(c.From + i * BlockSize, BlockSize);
            QByteArray stream;
            if (c.Made[i] == 's')
                (void)BlockCodec::StoreTo(block, stream);
            else
                stream = ZlibLevel9(block);
            expected += BuildFrame(0, Kind::Notice, Type::FileData, Format::FmtBinary, stream);
        }
        StreamReader r;
        r.Stream.Start(file.handle(), c.From, data.size(), 0, true);
        EXPECT_EQ(r.Stream.MadeHere(), c.Made.size() <= Region);
        QByteArray frames;
        EXPECT_EQ(r.TakeAll(frames), BlockStream::Outcome::Ready);
        EXPECT_TRUE(frames == expected) << c.Kinds.constData();
        r.Stream.Stop();
    }
}
