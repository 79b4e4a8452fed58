// libFuzzer target: arbitrary bytes from "the peer" through the worker's
// frame reader, its handshake, the extensions between two copies and both
// sides of a transfer, with an in-memory connection, events taken in place,
// and a scratch receive folder.
//
// Input: three scene bytes (fuzz/scene.h names each bit), then the byte
// stream.
// Byte 0: bit 0 Side (1: connecting); bit 1 the listening side's Version
// Request went out when the peer was accepted; bit 2 the peer closes after
// its last byte; bit 3 the handshake counts as done (else it runs from its
// start); bit 4 compression; bit 5 resume; bit 6 an own SendRequest, so the
// sending replies are reachable (at once, or, when the worker offers, once
// the peer's offer came, so the list can use what both offer); bit 7 sends
// that now and then would block.
// Byte 1: bits 0-5 how many bytes arrive per pass (0: all at once); bit 6
// partial ".Recv" files lie in the folder; bit 7 folders stand where
// received files would be renamed to, and links lead out of the folder
// ("a" to a folder outside, "link.txt.Recv" to a file outside).
// Byte 2: bits 0-3 what the worker offers a copy of itself (Capabilities;
// 0: no offer); bit 4 the files sent are the large set (runs of blocks for
// the compression pool, a small file after each large one, made ahead while
// the large one is acknowledged, a region that does not compress); bit 5 a
// pool of 2 threads, else 1; bit 6 the files go by paths below a folder;
// bit 7 the slow handshake: the listening side (whatever bit 0 says) runs
// it from its start with a limit of 3 ms and waits 1 ms after each piece,
// and must end by the limit unless it completes.
//
// After every input the scratch root must hold nothing but its three
// folders, the files to send and the one outside the receive folder must be
// untouched: a write elsewhere aborts. So do a block of the compression
// pool that never wakes the worker, a handshake that outlives its limit,
// and a list to send that ends because one of those files could not be read.
//
// RELVANE_FUZZ_SEEDS=DIR writes a seed corpus of valid conversations to DIR
// and exits. RELVANE_FUZZ_TRACE=1 prints the events that tell how far an
// input got (errors, files received and sent, offers, how lists ended).

#include "protocol/capabilities.h"
#include "protocol/worker.h"
#include "scene.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>

#include <poll.h>

namespace relvane::fuzz {

// The faster digest rides on the window's bit: the scene byte is full.
static_assert((AllCapabilities & ~(OfferMask | CapXxh128)) == 0,
              "every capability has its scene bit");

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

class MemConnection : public IConnection {
public:
    // waitsFor: whether a wait can end other than by its time (a pool at
    // work), or must take its time (a handshake against its limit); nothing
    // else can happen in here while the worker waits.
    enum class Wait { None, ForWake, ForTime };
    MemConnection(bool flaky, std::function<Wait()> waitsFor)
        : Flaky(flaky), WaitsFor(std::move(waitsFor)) {}
    void Feed(const std::uint8_t* data, std::size_t n) {
        Incoming.append(reinterpret_cast<const char*>(data), static_cast<qsizetype>(n));
    }
    // What was fed is all there is: once it is read, reads see the close.
    void Close() { Closed = true; }
    // A wait for a wake since the last call ran to its end without one.
    [[nodiscard]] bool TakeWakeMissed() { return std::exchange(WakeMissed, false); }

    int BytesWaiting() override { return static_cast<int>(Incoming.size() - At); }
    int ReceiveBytes(void* buffer, int n) override {
        const qsizetype left = Incoming.size() - At;
        if (left == 0) return Closed ? 0 : -1;
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
    bool WaitReady(int timeoutMs, int wakeFd, bool writable) override {
        // Bytes or the close are there, or room comes on the next try.
        if (Incoming.size() > At || Closed || writable) return false;
        const Wait why = WaitsFor();
        if (why == Wait::None) return false;
        pollfd p{wakeFd, POLLIN, 0};
        const int n = ::poll(&p, 1, timeoutMs);
        if (n == 0 && why == Wait::ForWake) WakeMissed = true;
        return n > 0;
    }
    bool WaitWritable(int timeoutMs) override {
        return !Flaky || timeoutMs > 0 || (++Calls % 2) == 0;
    }

private:
    bool Flaky;
    std::function<Wait()> WaitsFor;
    bool Closed = false;
    bool WakeMissed = false;
    unsigned Calls = 0;
    QByteArray Incoming;
    qsizetype At = 0;
};

[[noreturn]] void Fault(const char* what, const fs::path& path = {}) {
    std::fprintf(stderr, "%s %s\n", what, path.c_str());
    std::abort();
}

bool Trace = false;

void Print(const QString& what) {
    if (Trace) std::fprintf(stderr, "  %s\n", what.toUtf8().constData());
}

class FuzzEvents : public IWorkerEvents {
public:
    bool Connected = false;
    bool PeerOffered = false;

    void StageChanged(ConnectStage stage, const QString&) override {
        Connected = stage == ConnectStage::Connected;
        Print(QStringLiteral("stage %1").arg(static_cast<int>(stage)));
    }
    void HandshakeFailed(HandshakeFailure why) override {
        Print(QStringLiteral("handshake failed %1").arg(static_cast<int>(why)));
    }
    void ChatReceived(const QString&) override {}
    void ListStarted(Direction direction, int, const QStringList&) override {
        Print(direction == Direction::Send ? QStringLiteral("list to send")
                                           : QStringLiteral("list to receive"));
    }
    void FileStarted(Direction, const FileStart&) override {}
    void FileEnded(Direction direction, int, const QString& path) override {
        Print((direction == Direction::Receive ? QStringLiteral("received ")
                                               : QStringLiteral("sent ")) +
              path);
    }
    void FileVerified(Direction, int, const QString& path, const QByteArray&) override {
        Print(QStringLiteral("verified ") + path);
    }
    void ListEnded(Direction direction, const ListEnd& end) override {
        Print(QStringLiteral("list %1 ended: %2 %3")
                  .arg(direction == Direction::Send ? QStringLiteral("sent")
                                                    : QStringLiteral("received"))
                  .arg(static_cast<int>(end.Result))
                  .arg(end.Text));
        // The files to send are there, readable and never change: the
        // sender giving up on one of them is its own fault, whatever the peer sent.
        if (direction == Direction::Send && end.Kind == ErrorKind::FileAccess &&
            end.ConnectionKept) {
            std::fprintf(stderr, "%s\n", end.Text.toUtf8().constData());
            Fault("a file to send that is there was reported unreadable");
        }
    }
    void CapabilitiesAgreed(std::uint8_t caps) override {
        PeerOffered = true;
        Print(QStringLiteral("agreed %1").arg(caps));
    }
    void OfferUnanswered() override { Print(QStringLiteral("offer unanswered")); }
    void ConnectionFailed(ErrorKind, const QString& text) override {
        Print(QStringLiteral("error: ") + text);
    }
    void PeerClosed() override { Print(QStringLiteral("peer closed")); }
};

// --- The scratch area, made once --------------------------------------------

struct SendList {
    QStringList Paths;
    QStringList TreeNames;
};

struct Scratch {
    QTemporaryDir Root;
    fs::path RootPath;
    fs::path Recv;
    fs::path Send;
    fs::path Outside; // what a planted link leads to
    SendList Small;
    SendList Large;
    std::vector<std::pair<fs::path, QByteArray>> Untouchable;
};
Scratch* S = nullptr;

const QByteArray OutsideBytes = "not to be written through a link";

void WriteBytes(const fs::path& path, const QByteArray& bytes) {
    QFile f(QString::fromStdString(path.string()));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
    f.write(bytes);
}

QByteArray ReadBytes(const fs::path& path) {
    QFile f(QString::fromStdString(path.string()));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

SendList Place(const std::vector<SendFile>& files) {
    SendList list;
    for (const SendFile& file : files) {
        const fs::path p = S->Send / file.Name.toStdString();
        WriteBytes(p, file.Bytes);
        list.Paths << QString::fromStdString(p.string());
        list.TreeNames << file.TreeName;
        S->Untouchable.emplace_back(p, file.Bytes);
    }
    return list;
}

void MakeScratch() {
    S = new Scratch;
    S->RootPath = S->Root.path().toStdString();
    S->Recv = S->RootPath / "recv";
    S->Send = S->RootPath / "send";
    S->Outside = S->RootPath / "outside";
    for (const fs::path& p : {S->Recv, S->Send, S->Outside})
        fs::create_directories(p);
    S->Small = Place(SmallSet());
    S->Large = Place(LargeSendSet());
    WriteBytes(S->Outside / "keep.txt", OutsideBytes);
    S->Untouchable.emplace_back(S->Outside / "keep.txt", OutsideBytes);
}

void ResetReceiveFolder(bool partials, bool blockers) {
    std::error_code ec;
    // remove_all takes a link away, not what it leads to.
    for (const auto& entry : fs::directory_iterator(S->Recv, ec))
        fs::remove_all(entry.path(), ec);
    if (partials) {
        WriteBytes(S->Recv / (JapaneseName() + QStringLiteral(".Recv")).toStdString(),
                   Pattern(1500, 1).left(100));
        WriteBytes(S->Recv / "c.bin.Recv", Pattern(3000, 9));
        WriteBytes(S->Recv / "b.txt.Recv", QByteArray());
    }
    if (blockers) {
        fs::create_directories(S->Recv / JapaneseName().toStdString());
        fs::create_directories(S->Recv / "c.bin");
        fs::create_directory_symlink(S->Outside, S->Recv / "a");
        fs::create_symlink(S->Outside / "keep.txt", S->Recv / "link.txt.Recv");
    }
}

void CheckContained() {
    std::error_code ec;
    int entries = 0;
    for (const auto& entry : fs::directory_iterator(S->RootPath, ec)) {
        ++entries;
        if (entry.path() != S->Recv && entry.path() != S->Send && entry.path() != S->Outside)
            Fault("written outside the receive folder:", entry.path());
    }
    if (entries != 3 || !fs::is_directory(fs::symlink_status(S->Recv, ec)))
        Fault("the scratch folders changed");
    std::size_t kept = 0;
    for (const fs::path& folder : {S->Send, S->Outside}) {
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder, ec))
            ++kept;
    }
    if (kept != S->Untouchable.size()) Fault("a folder outside the receive folder changed");
    for (const auto& [path, bytes] : S->Untouchable) {
        if (ReadBytes(path) != bytes) Fault("a file outside the receive folder changed:", path);
    }
}

// The sending side has blocks to make: a wait in the pass is one for the pool.
bool SendingData(const ConnectionWorker& worker) {
    const TransferSlot& s = worker.Slot(1 - worker.Side());
    return s.InUse && s.State == SlotState::SendData;
}

} // namespace

} // namespace relvane::fuzz

using namespace relvane;
using namespace relvane::fuzz;

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
    if (size < SceneBytes) return 0;
    const std::uint8_t scene = data[0];
    const std::uint8_t feed = data[1];
    const std::uint8_t extras = data[2];
    data += SceneBytes;
    size -= SceneBytes;
    const bool slow = extras & SlowHandshake;
    const std::uint8_t offer = (extras & OfferMask) | ((extras & CapWindow) != 0 ? CapXxh128 : 0);

    ResetReceiveFolder(feed & Partials, feed & Blockers);
    FuzzEvents events;
    WorkerSettings settings;
    settings.Handshake = {QStringLiteral("fuzz"), true, true};
    settings.ReceiveFolder = QString::fromStdString(S->Recv.string());
    settings.CompressionThreads = (extras & TwoThreads) ? 2 : 1;
    settings.Offer = offer;
    settings.VersionSent = scene & VersionSent;
    const Clock::time_point start = Clock::now();
    if (slow) {
        settings.HandshakeLimit = std::chrono::milliseconds(SlowLimitMs);
        settings.AcceptedAt = start;
    }
    const Role role = (scene & Connecting) && !slow ? Role::Connecting : Role::Listening;
    const ConnectionWorker* running = nullptr;
    const auto waitsFor = [&] {
        using Wait = MemConnection::Wait;
        if (slow && !events.Connected) return Wait::ForTime;
        return running && SendingData(*running) ? Wait::ForWake : Wait::None;
    };
    auto connection = std::make_shared<MemConnection>(scene & Flaky, waitsFor);
    {
        ConnectionWorker worker(events, nullptr, connection, role, std::move(settings));
        running = &worker;
        if ((scene & Handshaken) && !slow) worker.AssumeConnected(scene & Compress, scene & Resume);
        const SendList& list = (extras & LargeSet) ? S->Large : S->Small;
        bool sendDue = scene & OwnSend;
        const auto requestSend = [&] {
            if (!sendDue || (offer != 0 && !events.PeerOffered)) return;
            sendDue = false;
            worker.RequestSend(list.Paths, (extras & AsTree) ? list.TreeNames : QStringList());
        };
        requestSend();

        bool going = true;
        int stalls = 0;
        const auto pass = [&] {
            const bool handshaking = slow && !events.Connected;
            // A pool that makes blocks wakes the wait; 1 s without a wake,
            // three times in a row, is one that never comes.
            going = worker.Pass(handshaking ? 1 : 1000);
            stalls = connection->TakeWakeMissed() ? stalls + 1 : 0;
            if (stalls == 3) Fault("the compression pool's blocks never woke the worker");
            if (going && handshaking && !events.Connected &&
                Clock::now() - start > std::chrono::milliseconds(SlowLimitMs + 1000))
                Fault("the handshake outlived its limit");
            requestSend();
        };
        const std::size_t chunk = (feed & ChunkMask) == 0 ? size : (feed & ChunkMask);
        for (std::size_t at = 0; going && at < size;) {
            const std::size_t n = std::min(chunk, size - at);
            connection->Feed(data + at, n);
            at += n;
            pass();
        }
        if (scene & PeerCloses) connection->Close();
        // However the bytes came, an unfinished handshake ends by its limit.
        while (going && slow && !events.Connected)
            pass();
        // Let the pump run out: the files to send are a few batches each.
        for (int i = 0; going && i < 64; ++i)
            pass();
    }
    CheckContained();
    return 0;
}
