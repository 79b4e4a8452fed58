// The seed corpus: conversations a peer could hold with the worker, each as
// far as it goes when everything is right, and the wrong turns that matter
// (names that leave the folder, digests that differ, a handshake that
// stalls).

#include "platform/sjis.h"
#include "protocol/blockcodec.h"
#include "protocol/capabilities.h"
#include "protocol/frame.h"
#include "scene.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdlib>

namespace relvane::fuzz {

namespace {

QByteArray F(std::uint8_t slot, Kind kind, Type type, Format format, const QByteArray& payload) {
    return BuildFrame(slot, kind, type, format, payload);
}
QByteArray Control(Kind kind, Type type, Format format, const QByteArray& payload) {
    return F(ControlSlot, kind, type, format, payload);
}

std::uint32_t Checksum(const QByteArray& bytes) {
    std::uint32_t acc = 0;
    for (char c : bytes)
        acc = ((acc << 1) | (acc >> 31)) + static_cast<std::uint8_t>(c);
    return acc % 4294967293u;
}

const QByteArray Chat =
    Control(Kind::Notice, Type::Chat, Format::FmtText, ToShiftJis(QStringLiteral("こんにちは")));
// Fed 20 bytes a pass, chats keep the peer's next reply back until the
// state that waits for it has come: several passes when the pool makes blocks.
const QByteArray Pace = Chat.repeated(16);
const QByteArray Request =
    Control(Kind::Request, Type::SendRequest, Format::FmtNone, NonePayload());

// A file as the sending peer announces it.
struct WireFile {
    QByteArray Name; // Shift-JIS, "/" between folders in tree mode
    QByteArray Bytes;
    enum class Digest { Right, Wrong, Malformed, None } D = Digest::Right;
    std::int64_t Announced = -1; // the size told, when it is not the bytes'
};

WireFile File(const QString& name, const QByteArray& bytes,
              WireFile::Digest d = WireFile::Digest::Right) {
    return {ToShiftJis(name), bytes, d};
}

std::vector<WireFile> CatalogueFiles() {
    std::vector<WireFile> files;
    for (const SendFile& f : SmallSet())
        files.push_back(File(f.Name, f.Bytes));
    return files;
}

struct Shape {
    bool Compress = false;
    bool Resume = false;
    Capabilities Mode = 0;
    int ResumeOffset = 0; // the Japanese-named file resumes here
};

// A whole list as the sending peer puts it on slot `slot`, from its
// SendRequest (and the list mode before it) to its last End.
QByteArray List(std::uint8_t slot, const std::vector<WireFile>& files, const Shape& shape,
                BlockCodec& codec, bool ended = true) {
    QByteArray out;
    if (shape.Mode != 0) out += ListModeFrame(shape.Mode);
    out += Request;
    const QByteArray last = NumberPayload(static_cast<int>(files.size()) - 1);
    const bool big = shape.Mode & CapBigFiles;
    for (const WireFile& file : files) {
        const std::int64_t size = file.Announced >= 0 ? file.Announced : file.Bytes.size();
        out += F(slot, Kind::Notice, Type::LastIndex, Format::FmtNumber, last);
        out += F(slot, Kind::Notice, Type::FileName, Format::FmtText, file.Name);
        out += F(slot, Kind::Notice, Type::FileSize, Format::FmtNumber,
                 big ? SizePayload(size) : NumberPayload(static_cast<int>(size)));
        int from = 0;
        if (shape.Resume) {
            out += F(slot, Kind::Request, Type::ResumeOffset, Format::FmtNone, "0");
            if (shape.ResumeOffset > 0 && file.Name == ToShiftJis(JapaneseName())) {
                from = shape.ResumeOffset;
                out += F(slot, Kind::Notice, Type::Checksum, Format::FmtText,
                         ChecksumPayload(Checksum(file.Bytes.left(from))));
            }
        }
        int at = from;
        do {
            const QByteArray block = file.Bytes.mid(at, BlockSize);
            out += F(slot, Kind::Notice, Type::FileData, Format::FmtBinary,
                     shape.Compress ? codec.Compress(block) : block);
            at += BlockSize;
        } while (at < file.Bytes.size());
        if (shape.Mode & CapVerify) {
            const QByteArray sha = QCryptographicHash::hash(file.Bytes, QCryptographicHash::Sha256);
            switch (file.D) {
            case WireFile::Digest::Right:
                out += DigestFrame(slot, sha);
                break;
            case WireFile::Digest::Wrong:
                out += DigestFrame(slot, QCryptographicHash::hash("x", QCryptographicHash::Sha256));
                break;
            case WireFile::Digest::Malformed:
                out += F(slot, Kind::Notice, static_cast<Type>(DigestType), Format::FmtText,
                         sha.toHex().left(63));
                break;
            case WireFile::Digest::None:
                break;
            }
        }
        out += F(slot, Kind::Notice, Type::End, Format::FmtNone, NonePayload());
    }
    if (ended) out += F(slot, Kind::Notice, Type::End, Format::FmtNone, NonePayload());
    return out;
}

// The peer that takes what the worker (on `side`) sends: it accepts, then
// answers each file when its reply falls due, paced by chats.
struct Taking {
    int Files = 3;
    bool Resume = false;
    bool Big = false;       // offsets in 64 bits
    int FirstOffset = 0;    // the first file's partial, proved by the checksum
    int DigestDiffers = -1; // this file's digest differs at the peer
};

QByteArray Taker(int side, const Taking& t) {
    const auto slot = static_cast<std::uint8_t>(1 - side);
    const QByteArray yes = F(slot, Kind::Reply, Type::Ack, Format::FmtFlag, "1");
    QByteArray s =
        Pace + Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, NumberPayload(1 - side));
    for (int file = 0; file < t.Files; ++file) {
        s += Pace;
        if (t.Resume) {
            const int offset = file == 0 ? t.FirstOffset : 0;
            s += F(slot, Kind::Reply, Type::ResumeOffset, Format::FmtNumber,
                   t.Big ? SizePayload(offset) : NumberPayload(offset));
            s += Pace;
            // A partial longer than the file is no prefix of it: its proof fails.
            const bool proved = offset <= 64 * 1024;
            if (offset > 0)
                s += F(slot, Kind::Reply, Type::Ack, Format::FmtFlag, proved ? "1" : "0") + Pace;
        }
        s += Pace + Pace;
        if (file == t.DigestDiffers) {
            return s +
                   DigestFrame(slot, QCryptographicHash::hash("y", QCryptographicHash::Sha256)) +
                   F(slot, Kind::Reply, Type::Ack, Format::FmtFlag, "0") + Pace;
        }
        s += yes;
    }
    return s + Pace + yes + Pace;
}

// What a copy offers whose every file gets its resume query.
constexpr Capabilities PerFile = CapBigFiles | CapFolders | CapVerify;

QByteArray Offer(bool reply, Capabilities caps = AllCapabilities) {
    return OfferFrame(reply, caps);
}

// The listening side's Replies, and the connecting side's Requests.
QByteArray Replies() {
    return Control(Kind::Reply, Type::Version, Format::FmtNumber, "5") +
           Control(Kind::Reply, Type::NameExchange, Format::FmtText, "peer") +
           Control(Kind::Reply, Type::Compress, Format::FmtFlag, "1") +
           Control(Kind::Reply, Type::Resume, Format::FmtFlag, "0");
}
QByteArray Requests() {
    return Control(Kind::Request, Type::Version, Format::FmtNumber, "5") +
           Control(Kind::Request, Type::NameExchange, Format::FmtText,
                   ToShiftJis(QStringLiteral("相手"))) +
           Control(Kind::Request, Type::Compress, Format::FmtFlag, "1") +
           Control(Kind::Request, Type::Resume, Format::FmtFlag, "1");
}

class Writer {
public:
    explicit Writer(const char* dir) : Dir(QString::fromLocal8Bit(dir)) { QDir().mkpath(Dir); }
    void operator()(std::uint8_t scene, std::uint8_t feed, std::uint8_t extras,
                    const QByteArray& stream) {
        QFile f(QStringLiteral("%1/seed-%2").arg(Dir).arg(++N, 2, 10, QLatin1Char('0')));
        if (!f.open(QIODevice::WriteOnly)) std::abort();
        f.write(QByteArray(1, char(scene)) + char(feed) + char(extras) + stream);
    }

private:
    QString Dir;
    int N = 0;
};

// The catalogue's conversations, without the extensions.
void CatalogueSeeds(Writer& seed, BlockCodec& codec) {
    seed(Connecting, 0, 0, Requests() + Chat);
    seed(0, 3, 0, Replies());
    // Receiving a list (slot = own Side), in every combination of the switches.
    for (int side = 0; side < 2; ++side) {
        for (int c = 0; c < 2; ++c) {
            for (int r = 0; r < 2; ++r) {
                const auto scene = static_cast<std::uint8_t>(side | Handshaken |
                                                             (c ? Compress : 0) | (r ? Resume : 0));
                seed(scene, 0, 0,
                     List(static_cast<std::uint8_t>(side), CatalogueFiles(), {c != 0, r != 0},
                          codec));
            }
        }
    }
    // Resuming over partial files, fed in small pieces.
    seed(Connecting | Handshaken | Compress | Resume, Partials | 7, 0,
         List(1, CatalogueFiles(), {true, true, 0, 100}, codec));
    seed(Connecting | Handshaken | Resume | Flaky, Partials, 0,
         List(1, CatalogueFiles(), {false, true, 0, 100}, codec));
    // Renames blocked by folders of the same name.
    seed(Handshaken, Blockers, 0, List(0, CatalogueFiles(), {}, codec));
    // Sending: the peer accepts, then acknowledges everything.
    for (int r = 0; r < 2; ++r) {
        seed(Handshaken | Compress | (r ? Resume : 0) | OwnSend, 20, 0,
             Taker(0, {.Files = 3, .Resume = r != 0, .FirstOffset = 100}));
    }
    // Cancels from both directions.
    seed(Connecting | Handshaken | OwnSend, 20, 0,
         Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, "0") + Chat.repeated(4) +
             F(0, Kind::Notice, Type::Cancel, Format::FmtNone, NonePayload()) +
             List(1, CatalogueFiles(), {}, codec).left(400) +
             F(1, Kind::Notice, Type::Cancel, Format::FmtNone, "x"));
    // Lengths and names no peer of ours sends.
    QByteArray odd = Request;
    odd += F(1, Kind::Notice, Type::LastIndex, Format::FmtNumber, "0");
    odd += F(1, Kind::Notice, Type::FileName, Format::FmtText, "../escape.txt");
    odd += F(1, Kind::Notice, Type::FileSize, Format::FmtNumber, "-5");
    odd += F(1, Kind::Notice, Type::FileData, Format::FmtBinary, "xyz");
    QByteArray header = F(1, Kind::Notice, Type::FileData, Format::FmtBinary, QByteArray());
    header[3] = '\xff';
    header[4] = '\xff';
    header[5] = '\xff';
    header[6] = '\x7f';
    seed(Connecting | Handshaken, 0, 0, odd + header);
}

// Lists this worker sends: the compression pool and the files made ahead.
void SendingSeeds(Writer& seed) {
    constexpr std::uint8_t offerNone = 0;
    // Without an offer: the pool (1 and 2 threads), files made ahead; plain
    // blocks; a connection that now and then takes nothing.
    seed(Handshaken | Compress | OwnSend, 20, offerNone | LargeSet, Taker(0, {.Files = 4}));
    seed(Handshaken | Compress | OwnSend, 20, LargeSet | TwoThreads, Taker(0, {.Files = 4}));
    seed(Handshaken | OwnSend, 20, LargeSet, Taker(0, {.Files = 4}));
    seed(Connecting | Handshaken | Compress | Resume | OwnSend | Flaky, 20, LargeSet | TwoThreads,
         Taker(1, {.Files = 4, .Resume = true, .FirstOffset = 5000}));
    // With the peer's offer first: 64-bit offsets, folder paths, digests;
    // big and tree alone keep the files made ahead, which a digest stops.
    const QByteArray offered = Offer(false) + Pace;
    const QByteArray offeredPerFile = Offer(false, PerFile) + Pace;
    seed(Handshaken | Compress | OwnSend, 20, CapBigFiles | CapFolders | LargeSet | AsTree,
         offered + Taker(0, {.Files = 4}));
    seed(Handshaken | Compress | Resume | OwnSend, 20, PerFile | LargeSet | TwoThreads,
         offeredPerFile + Taker(0, {.Files = 4, .Resume = true, .Big = true, .FirstOffset = 100}));
    seed(Handshaken | Compress | OwnSend, 20, AllCapabilities | LargeSet | TwoThreads | AsTree,
         offered + Taker(0, {.Files = 4}));
    seed(Connecting | Handshaken | OwnSend, 20, AllCapabilities | AsTree,
         offered + Taker(1, {.Files = 3}));
    for (const Capabilities caps : {AllCapabilities, PerFile}) {
        seed(Handshaken | Compress | OwnSend, 20, caps | LargeSet,
             Offer(false, caps) + Pace + Taker(0, {.Files = 4, .DigestDiffers = 1}));
    }
    // A small file resumed: its blocks were made while the offset was asked for.
    seed(Handshaken | Compress | Resume | OwnSend, 20, PerFile,
         offeredPerFile + Taker(0, {.Files = 3, .Resume = true, .Big = true, .FirstOffset = 100}));
    // An offset beyond the file, in 64 bits.
    seed(Handshaken | Resume | OwnSend, 20, PerFile,
         offeredPerFile +
             Taker(0, {.Files = 3, .Resume = true, .Big = true, .FirstOffset = 1 << 30}));
}

// Lists this worker receives from a copy of itself.
void ExtensionSeeds(Writer& seed, BlockCodec& codec) {
    using D = WireFile::Digest;
    const std::vector<WireFile> tree = {
        File(QStringLiteral("a/b/c.txt"), Pattern(1500, 6)),
        File(QStringLiteral("表示/深い/x.bin"), Pattern(2100, 7)),
        File(QStringLiteral("d.txt"), QByteArray()),
        File(QStringLiteral("a/b/e.txt"), Pattern(5000, 8)),
    };
    const Shape all{.Mode = AllCapabilities};
    const Shape packed{.Compress = true, .Mode = AllCapabilities};
    const Shape resumed{.Resume = true, .Mode = PerFile};
    // The peer offers (the worker answers), then sends a tree of files.
    for (int c = 0; c < 2; ++c) {
        for (int r = 0; r < 2; ++r) {
            const auto scene = static_cast<std::uint8_t>(Connecting | Handshaken |
                                                         (c ? Compress : 0) | (r ? Resume : 0));
            const Capabilities caps = r ? PerFile : AllCapabilities;
            seed(scene, c ? 0 : 9, caps,
                 Offer(false, caps) + List(1, tree, {c != 0, r != 0, caps}, codec));
        }
    }
    // Digests that differ, are malformed or missing: each ends its list;
    // then a list of the catalogue.
    seed(Handshaken | Compress, 0, AllCapabilities,
         Offer(true) +
             List(0,
                  {File(QStringLiteral("a/ok.txt"), Pattern(900, 1)),
                   File(QStringLiteral("a/bad.txt"), Pattern(900, 2), D::Wrong)},
                  {true, false, AllCapabilities}, codec) +
             List(0, {File(QStringLiteral("m.txt"), Pattern(10, 3), D::Malformed)}, packed, codec) +
             List(0, {File(QStringLiteral("n.txt"), Pattern(10, 4), D::None)}, packed, codec) +
             List(0, CatalogueFiles(), {true}, codec));
    // Names that would leave the folder or cannot be one, a list each.
    QByteArray bad = Offer(false);
    for (const char* name : {"../up.txt", "a/../../up.txt", "/abs.txt", "a//b.txt", "a/./b.txt",
                             "a\\b.txt", "a/\x01.txt", "a/", "./x"}) {
        bad += List(1, {WireFile{name, "x"}}, all, codec);
    }
    bad += List(1, {WireFile{QByteArray("x/").repeated(2100) + "y", "x"}}, all, codec);
    // Tree words the worker did not offer are not used: the name goes flat.
    seed(Connecting | Handshaken, 0, AllCapabilities, bad);
    seed(Connecting | Handshaken, 0, CapVerify,
         Offer(false) + List(1, {File(QStringLiteral("a/b.txt"), "x")}, all, codec));
    // A list mode before any offer counts for nothing.
    seed(Connecting | Handshaken, 0, AllCapabilities,
         List(1, CatalogueFiles(), all, codec) + Offer(false));
    // Links out of the folder: a sub-folder and a partial file.
    seed(Connecting | Handshaken | Resume, Blockers, PerFile,
         Offer(false, PerFile) +
             List(1, {File(QStringLiteral("a/b/c.txt"), "inside?")}, resumed, codec) +
             List(1, {File(QStringLiteral("link.txt"), "inside?")}, resumed, codec));
    // 64-bit sizes: one beyond 4 GiB, whose bytes never come.
    WireFile huge = File(QStringLiteral("big/huge.bin"), Pattern(3000, 5));
    huge.Announced = 5368709120LL;
    seed(Connecting | Handshaken | Resume, 0, PerFile,
         Offer(false, PerFile) + List(1, {tree[0], huge}, {false, true, PerFile}, codec));
}

// The handshake from its start, with offers, and the listening side's limit.
void HandshakeSeeds(Writer& seed, BlockCodec& codec) {
    const std::vector<WireFile> tree = {File(QStringLiteral("h/i.txt"), Pattern(1200, 9))};
    // Both roles offer once connected; the peer answers, then sends a tree.
    seed(0, 0, AllCapabilities,
         Replies() + Offer(true) + List(0, tree, {true, false, AllCapabilities}, codec));
    seed(Connecting, 0, PerFile,
         Requests() + Offer(false, PerFile) + List(1, tree, {true, true, PerFile}, codec));
    // A peer that closes right after the offer, having said nothing since.
    seed(PeerCloses, 0, AllCapabilities, Replies());
    // A list cut short by the close.
    seed(Connecting | Handshaken | PeerCloses, 0, AllCapabilities,
         Offer(false) + List(1, tree, {false, false, AllCapabilities}, codec).left(120));
    // The slow handshake: all at once it completes; piece by piece, or
    // answered at its first step only, it ends at the limit.
    seed(0, 0, SlowHandshake | AllCapabilities, Replies() + Offer(true) + Chat);
    seed(0, 1, SlowHandshake, Replies());
    seed(0, 0, SlowHandshake, Replies().left(17));
    seed(VersionSent, 2, SlowHandshake, Replies());
}

} // namespace

void WriteSeeds(const char* dir) {
    Writer seed(dir);
    BlockCodec codec;
    CatalogueSeeds(seed, codec);
    SendingSeeds(seed);
    ExtensionSeeds(seed, codec);
    HandshakeSeeds(seed, codec);
}

} // namespace relvane::fuzz
