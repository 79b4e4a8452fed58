// libFuzzer target: arbitrary bytes from "the peer" through the worker's
// frame reader, its handshake and both sides of a transfer, with an in-memory
// connection, events taken in place, and a scratch receive folder.
//
// Input: byte 0 sets the scene (bit 0 Side; bits 1-3 below 4: the handshake
// runs from its start, else it counts as done; bit 4 compression; bit 5
// resume; bit 6 an own SendRequest
// first, so the sending replies are reachable; bit 7 sends that now and then
// would block). Byte 1: bits 0-5 how many bytes arrive per pass (0: all at
// once); bit 6 partial ".Recv" files lie in the folder; bit 7 folders stand
// where received files would be renamed to. The rest is the byte stream.
//
// After every input the scratch root must hold nothing but its two folders
// and the files to send must be untouched: a write outside the receive
// folder aborts.
//
// RELVANE_FUZZ_SEEDS=DIR writes a seed corpus of valid conversations to DIR
// and exits. RELVANE_FUZZ_TRACE=1 prints the events that tell how far an
// input got (errors, files received, how lists ended).

#include "platform/sjis.h"
#include "protocol/blockcodec.h"
#include "protocol/frame.h"
#include "protocol/worker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

namespace {

using namespace relvane;
namespace fs = std::filesystem;

class MemConnection : public IConnection {
public:
    explicit MemConnection(bool flaky) : Flaky(flaky) {}
    void Feed(const std::uint8_t* data, std::size_t n) {
        Incoming.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(n));
    }
    int BytesWaiting() override { return static_cast<int>(Incoming.size() - At); }
    int ReceiveBytes(void* buffer, int n) override {
        const qsizetype left = Incoming.size() - At;
        if (left == 0) return -1;
        const int k = static_cast<int>(std::min<qsizetype>(n, left));
        std::memcpy(buffer, Incoming.constData() + At, static_cast<std::size_t>(k));
        At += k;
        if (At == Incoming.size()) {
            Incoming.clear();
            At = 0;
        }
        return k;
    }
    int SendBytes(const void*, int n) override {
        if (Flaky && (++Calls % 3) == 0) return -1;
        return n;
    }
    bool IsConnected() const override { return true; }
    bool WaitReady(int, int, bool) override { return false; }
    bool WaitWritable(int timeoutMs) override {
        return !Flaky || timeoutMs > 0 || (++Calls % 2) == 0;
    }

private:
    bool Flaky;
    unsigned Calls = 0;
    QByteArray Incoming;
    qsizetype At = 0;
};

bool Trace = false;

void Print(const QString& what) {
    if (Trace) std::fprintf(stderr, "  %s\n", what.toUtf8().constData());
}

class FuzzEvents : public IWorkerEvents {
public:
    void StageChanged(ConnectStage stage, const QString&) override {
        Print(QStringLiteral("stage %1").arg(static_cast<int>(stage)));
    }
    void HandshakeFailed(HandshakeFailure) override { Print(QStringLiteral("handshake failed")); }
    void ChatReceived(const QString&) override {}
    void ListStarted(Direction, int, const QStringList&) override {}
    void FileStarted(Direction, const FileStart&) override {}
    void FileEnded(Direction direction, int, const QString& path) override {
        if (direction == Direction::Receive) Print(QStringLiteral("received ") + path);
    }
    void ListEnded(Direction direction, const ListEnd& end) override {
        Print(QStringLiteral("list %1 ended: %2 %3")
                  .arg(direction == Direction::Send ? QStringLiteral("sent")
                                                    : QStringLiteral("received"))
                  .arg(static_cast<int>(end.Result))
                  .arg(end.Text));
    }
    void ConnectionFailed(ErrorKind, const QString& text) override {
        Print(QStringLiteral("error: ") + text);
    }
    void PeerClosed() override {}
};

// The scratch area, made once.
struct Scratch {
    QTemporaryDir Root;
    fs::path RootPath;
    fs::path Recv;
    fs::path Send;
    QStringList SendFiles;
    std::vector<std::pair<fs::path, std::uintmax_t>> SendSizes;
};
Scratch* S = nullptr;

QByteArray Pattern(int n, int seed) {
    QByteArray b(n, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<char>((i * 31 + seed * 7 + (i >> 5)) & 0xFF);
    return b;
}

void WriteBytes(const fs::path& path, const QByteArray& bytes) {
    QFile f(QString::fromStdString(path.string()));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
    f.write(bytes);
}

const QString JapaneseName = QStringLiteral("表示.txt");

void MakeScratch() {
    S = new Scratch;
    S->RootPath = S->Root.path().toStdString();
    S->Recv = S->RootPath / "recv";
    S->Send = S->RootPath / "send";
    fs::create_directories(S->Recv);
    fs::create_directories(S->Send);
    const std::pair<QString, QByteArray> files[] = {
        {JapaneseName, Pattern(1500, 1)},
        {QStringLiteral("b.txt"), QByteArray()},
        {QStringLiteral("c.bin"), Pattern(2100, 2)},
    };
    for (const auto& [name, bytes] : files) {
        const fs::path p = S->Send / name.toStdString();
        WriteBytes(p, bytes);
        S->SendFiles << QString::fromStdString(p.string());
        S->SendSizes.emplace_back(p, static_cast<std::uintmax_t>(bytes.size()));
    }
}

void ResetReceiveFolder(bool partials, bool blockers) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(S->Recv, ec))
        fs::remove_all(entry.path(), ec);
    if (partials) {
        WriteBytes(S->Recv / (JapaneseName + QStringLiteral(".Recv")).toStdString(),
                   Pattern(1500, 1).left(100));
        WriteBytes(S->Recv / "c.bin.Recv", Pattern(3000, 9));
        WriteBytes(S->Recv / "b.txt.Recv", QByteArray());
    }
    if (blockers) {
        fs::create_directories(S->Recv / JapaneseName.toStdString());
        fs::create_directories(S->Recv / "c.bin");
    }
}

void CheckContained() {
    std::error_code ec;
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(S->RootPath, ec)) {
        ++entries;
        if (entry.path() != S->Recv && entry.path() != S->Send) {
            std::fprintf(stderr, "written outside the receive folder: %s\n", entry.path().c_str());
            std::abort();
        }
    }
    for (const auto& [path, size] : S->SendSizes) {
        if (fs::file_size(path, ec) != size) {
            std::fprintf(stderr, "a file to send changed: %s\n", path.c_str());
            std::abort();
        }
    }
    int sendEntries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(S->Send, ec))
        ++sendEntries;
    if (entries != 2 || sendEntries != static_cast<int>(S->SendSizes.size())) {
        std::fprintf(stderr, "the scratch folders changed\n");
        std::abort();
    }
}

// --- Seeds ------------------------------------------------------------------

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

// A whole list as the sending peer puts it on slot `slot`.
QByteArray ListFrames(std::uint8_t slot, bool compress, bool resume, BlockCodec& codec,
                      int resumeOffset = 0) {
    const std::pair<QString, QByteArray> files[] = {
        {JapaneseName, Pattern(1500, 1)},
        {QStringLiteral("b.txt"), QByteArray()},
        {QStringLiteral("c.bin"), Pattern(2100, 2)},
    };
    QByteArray out;
    const QByteArray last = NumberPayload(2);
    for (const auto& [name, bytes] : files) {
        out += F(slot, Kind::Notice, Type::LastIndex, Format::FmtNumber, last);
        out += F(slot, Kind::Notice, Type::FileName, Format::FmtText, ToShiftJis(name));
        out += F(slot, Kind::Notice, Type::FileSize, Format::FmtNumber,
                 NumberPayload(static_cast<int>(bytes.size())));
        int from = 0;
        if (resume) {
            out += F(slot, Kind::Request, Type::ResumeOffset, Format::FmtNone, "0");
            if (resumeOffset > 0 && name == JapaneseName) {
                from = resumeOffset;
                out += F(slot, Kind::Notice, Type::Checksum, Format::FmtText,
                         ChecksumPayload(Checksum(bytes.left(resumeOffset))));
            }
        }
        int at = from;
        do {
            const QByteArray block = bytes.mid(at, BlockSize);
            out += F(slot, Kind::Notice, Type::FileData, Format::FmtBinary,
                     compress ? codec.Compress(block) : block);
            at += BlockSize;
        } while (at < bytes.size());
        out += F(slot, Kind::Notice, Type::End, Format::FmtNone, NonePayload());
    }
    out += F(slot, Kind::Notice, Type::End, Format::FmtNone, NonePayload());
    return out;
}

void WriteSeeds(const char* dir) {
    QDir().mkpath(QString::fromLocal8Bit(dir));
    BlockCodec codec;
    int n = 0;
    const auto seed = [&](std::uint8_t scene, std::uint8_t feed, const QByteArray& stream) {
        QByteArray bytes;
        bytes += static_cast<char>(scene);
        bytes += static_cast<char>(feed);
        bytes += stream;
        QFile f(QStringLiteral("%1/seed-%2")
                    .arg(QString::fromLocal8Bit(dir))
                    .arg(++n, 2, 10, QLatin1Char('0')));
        if (!f.open(QIODevice::WriteOnly)) std::abort();
        f.write(bytes);
    };
    const auto scene = [](int side, int stageIndex, bool compress, bool resume, bool send,
                          bool flaky) {
        return static_cast<std::uint8_t>(side | stageIndex << 1 | compress << 4 | resume << 5 |
                                         send << 6 | flaky << 7);
    };
    const QByteArray chat = Control(Kind::Notice, Type::Chat, Format::FmtText,
                                    ToShiftJis(QStringLiteral("こんにちは")));

    // Handshake, connecting side (Requests) and listening side (Replies).
    seed(scene(1, 0, false, false, false, false), 0,
         Control(Kind::Request, Type::Version, Format::FmtNumber, "5") +
             Control(Kind::Request, Type::NameExchange, Format::FmtText,
                     ToShiftJis(QStringLiteral("相手"))) +
             Control(Kind::Request, Type::Compress, Format::FmtFlag, "1") +
             Control(Kind::Request, Type::Resume, Format::FmtFlag, "1") + chat);
    seed(scene(0, 0, false, false, false, false), 3,
         Control(Kind::Reply, Type::Version, Format::FmtNumber, "5") +
             Control(Kind::Reply, Type::NameExchange, Format::FmtText, "peer") +
             Control(Kind::Reply, Type::Compress, Format::FmtFlag, "1") +
             Control(Kind::Reply, Type::Resume, Format::FmtFlag, "0"));

    // Receiving a list (slot = own Side), in every combination of the switches.
    const QByteArray request =
        Control(Kind::Request, Type::SendRequest, Format::FmtNone, NonePayload());
    for (int side = 0; side < 2; ++side) {
        for (int c = 0; c < 2; ++c) {
            for (int r = 0; r < 2; ++r) {
                const auto slot = static_cast<std::uint8_t>(side);
                seed(scene(side, 4, c, r, false, false), 0,
                     request + ListFrames(slot, c, r, codec));
            }
        }
    }
    // Resuming over partial files, fed in small pieces.
    seed(scene(1, 4, true, true, false, false), 0x40 | 7,
         request + ListFrames(1, true, true, codec, 100));
    seed(scene(1, 4, false, true, false, true), 0x40,
         request + ListFrames(1, false, true, codec, 100));
    // Renames blocked by folders of the same name.
    seed(scene(0, 4, false, false, false, false), 0x80,
         request + ListFrames(0, false, false, codec));

    // Sending: the peer accepts, then acknowledges everything; chats pace the
    // replies so that they meet the states that wait for them.
    for (int r = 0; r < 2; ++r) {
        const int side = 0;
        const auto slot = static_cast<std::uint8_t>(1 - side);
        QByteArray s =
            Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, NumberPayload(1 - side));
        const QByteArray pace = chat.repeated(6);
        for (int file = 0; file < 3; ++file) {
            s += pace;
            if (r) {
                s += F(slot, Kind::Reply, Type::ResumeOffset, Format::FmtNumber,
                       file == 0 ? "100" : "0");
                s += pace;
                if (file == 0) s += F(slot, Kind::Reply, Type::Ack, Format::FmtFlag, "1") + pace;
            }
            s += pace + pace;
            s += F(slot, Kind::Reply, Type::Ack, Format::FmtFlag, "1");
        }
        s += pace + F(slot, Kind::Reply, Type::Ack, Format::FmtFlag, "1");
        seed(scene(side, 4, true, r, true, false), 20, s);
    }
    // Cancels from both directions.
    seed(scene(1, 4, false, false, true, false), 20,
         Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, "0") + chat.repeated(4) +
             F(0, Kind::Notice, Type::Cancel, Format::FmtNone, NonePayload()) + request +
             ListFrames(1, false, false, codec).left(400) +
             F(1, Kind::Notice, Type::Cancel, Format::FmtNone, "x"));
    // Lengths and names no peer of ours sends.
    QByteArray odd = request;
    odd += F(1, Kind::Notice, Type::LastIndex, Format::FmtNumber, "0");
    odd += F(1, Kind::Notice, Type::FileName, Format::FmtText, "../escape.txt");
    odd += F(1, Kind::Notice, Type::FileSize, Format::FmtNumber, "-5");
    odd += F(1, Kind::Notice, Type::FileData, Format::FmtBinary, "xyz");
    QByteArray header = F(1, Kind::Notice, Type::FileData, Format::FmtBinary, QByteArray());
    header[3] = '\xff';
    header[4] = '\xff';
    header[5] = '\xff';
    header[6] = '\x7f';
    seed(scene(1, 4, false, false, false, false), 0, odd + header);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    MakeScratch();
    Trace = std::getenv("RELVANE_FUZZ_TRACE") != nullptr;
    if (const char* dir = std::getenv("RELVANE_FUZZ_SEEDS")) {
        WriteSeeds(dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint8_t scene = data[0];
    const std::uint8_t feed = data[1];
    data += 2;
    size -= 2;

    ResetReceiveFolder(feed & 0x40, feed & 0x80);
    FuzzEvents events;
    WorkerSettings settings;
    settings.Handshake = {QStringLiteral("fuzz"), true, true};
    settings.ReceiveFolder = QString::fromStdString(S->Recv.string());
    auto connection = std::make_shared<MemConnection>(scene & 0x80);
    {
        ConnectionWorker worker(events, nullptr, connection,
                                (scene & 1) != 0 ? Role::Connecting : Role::Listening,
                                std::move(settings));
        if (((scene >> 1) & 7) >= 4) worker.AssumeConnected(scene & 0x10, scene & 0x20);
        if (scene & 0x40) worker.RequestSend(S->SendFiles);
        const std::size_t chunk = (feed & 0x3F) == 0 ? size : (feed & 0x3F);
        std::size_t at = 0;
        bool going = true;
        while (going && at < size) {
            const std::size_t n = std::min(chunk, size - at);
            connection->Feed(data + at, n);
            at += n;
            going = worker.Pass(0);
        }
        // Let the pump run out: the files to send are a few blocks each.
        for (int i = 0; going && i < 32; ++i)
            going = worker.Pass(0);
    }
    CheckContained();
    return 0;
}
