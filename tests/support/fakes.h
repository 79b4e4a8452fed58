#pragma once
// In-memory stand-ins for the worker's connection and host: the tests feed
// incoming bytes, read the frames sent, and look at the host calls made.

#include "net/connection.h"
#include "protocol/events.h"
#include "protocol/frame.h"
#include "protocol/worker.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace relvane::test {

class FakeConnection : public IConnection {
public:
    FakeConnection() : Arrived(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~FakeConnection() override { ::close(Arrived); }
    FakeConnection(const FakeConnection&) = delete;
    FakeConnection& operator=(const FakeConnection&) = delete;

    // Bytes the peer "sent": what the worker will read.
    void Feed(const QByteArray& bytes) {
        {
            std::lock_guard g(M);
            // Copied, not shared: Qt's reference counts are invisible to
            // ThreadSanitizer, so a shared buffer freed here looks like a race.
            Incoming.append(bytes.constData(), bytes.size());
        }
        Signal();
    }
    // Everything the worker sent so far, taken out.
    QByteArray TakeSent() {
        std::lock_guard g(M);
        QByteArray s = Outgoing;
        Outgoing.clear();
        return s;
    }
    void Disconnect() {
        Open = false;
        Signal();
    }
    // The peer closes after what it fed: that is still read, then the close.
    void CloseAfterData() {
        Eof = true;
        Signal();
    }
    bool Writable = true; // false: every send "would block", WaitWritable says no

    int BytesWaiting() override {
        std::lock_guard g(M);
        return Open ? static_cast<int>(Incoming.size()) : 0;
    }
    int ReceiveBytes(void* buffer, int n) override {
        std::lock_guard g(M);
        if (!Open) return 0;
        if (Incoming.isEmpty()) return Eof ? 0 : -1;
        const int k = std::min<int>(n, static_cast<int>(Incoming.size()));
        std::memcpy(buffer, Incoming.constData(), k);
        Incoming.remove(0, k);
        return k;
    }
    int SendBytes(const void* buffer, int n) override { return Take(buffer, n, false); }
    // PartLimit > 0: a send in parts takes at most that many bytes per call.
    int SendPart(const void* buffer, int n) override {
        const int k = PartLimit > 0 ? std::min(n, PartLimit) : n;
        return std::max(Take(buffer, k, false), 0);
    }
    int PartLimit = 0;
    int SendBytesMore(const void* buffer, int n) override { return Take(buffer, n, true); }
    // Per accepted send: whether it carried the "more follows" hint.
    std::vector<bool> MoreHints;
    bool IsConnected() const override { return Open; }
    // Waits as a socket would: bytes waiting or a close end it at once.
    bool WaitReady(int timeoutMs, int wakeFd, bool writable) override {
        ++Waits;
        LastWait = {timeoutMs, wakeFd, writable};
        if (!WaitBlocks) return wakeFd >= 0;
        {
            std::lock_guard g(M);
            if (!Incoming.isEmpty() || !Open || Eof || (writable && Writable)) return wakeFd >= 0;
        }
        pollfd p[2] = {{Arrived, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        ::poll(p, wakeFd >= 0 ? 2 : 1, timeoutMs);
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(Arrived, &count, sizeof count);
        return (p[1].revents & POLLIN) != 0;
    }
    bool WaitWritable(int) override { return Writable; }
    std::atomic<int> Waits{0}; // calls of WaitReady
    struct WaitArgs {
        int TimeoutMs = 0;
        int WakeFd = -1;
        bool Writable = false;
    };
    WaitArgs LastWait;      // written by the waiting thread
    bool WaitBlocks = true; // false: WaitReady only records its arguments

private:
    int Take(const void* buffer, int n, bool more) {
        std::lock_guard g(M);
        if (!Open) return 0;
        if (!Writable) return -1;
        Outgoing.append(static_cast<const char*>(buffer), n);
        MoreHints.push_back(more);
        return n;
    }

    void Signal() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(Arrived, &one, sizeof one);
    }

    std::mutex M;
    QByteArray Incoming;
    QByteArray Outgoing;
    std::atomic<bool> Open{true};
    std::atomic<bool> Eof{false};
    int Arrived; // eventfd: bytes fed or closed
};

// A frame taken apart again, for comparisons.
struct SentFrame {
    FrameHeader Header;
    QByteArray Payload;
};

inline std::vector<SentFrame> SplitFrames(const QByteArray& bytes) {
    std::vector<SentFrame> frames;
    int at = 0;
    while (bytes.size() - at >= HeaderSize) {
        SentFrame f;
        f.Header = ParseHeader(bytes.constData() + at);
        f.Payload = bytes.mid(at + HeaderSize, f.Header.Length);
        at += HeaderSize + f.Header.Length;
        frames.push_back(f);
    }
    return frames;
}

// Records every event; the settings the worker is made with and the stage
// are plain fields. Events run on the worker's thread (no context object).
class FakeHost : public IWorkerEvents {
public:
    QString User = QStringLiteral("tester");
    bool Compress = false;
    bool Resume = false;
    QString Folder;
    bool Overwrite = false; // a received file replaces its namesake
    std::uint8_t Offer = 0; // the capabilities offered to the peer
    int StageNo = 1;        // the stage's number; 4 at MakeWorker skips the handshake
    bool HandshakeHasFailed = false;
    HandshakeFailure FailedWhy = HandshakeFailure::Disagreed;
    QString Peer;
    QStringList Calls;  // "ListEnded:Send:Done", "FileStarted:Receive:a.txt", ...
    QStringList Errors; // the texts of lists that did not end well, and of failures
    std::vector<std::pair<QString, QString>> Chats;
    std::vector<std::pair<Direction, ListEnd>> Ends;
    std::vector<FileStart> Started;
    bool PeerHasClosed = false;

    static QString Name(Direction d) {
        return d == Direction::Send ? QStringLiteral("Send") : QStringLiteral("Receive");
    }
    static QString Name(Outcome o) {
        switch (o) {
        case Outcome::Done:
            return QStringLiteral("Done");
        case Outcome::CancelledHere:
            return QStringLiteral("CancelledHere");
        case Outcome::CancelledByPeer:
            return QStringLiteral("CancelledByPeer");
        case Outcome::Refused:
            return QStringLiteral("Refused");
        case Outcome::Failed:
            return QStringLiteral("Failed");
        }
        return {};
    }

    void StageChanged(ConnectStage stage, const QString& peerName) override {
        StageNo = static_cast<int>(stage);
        if (stage == ConnectStage::NamesExchanged) Peer = peerName;
        Calls << QStringLiteral("SetStage:%1").arg(StageNo);
    }
    void HandshakeFailed(HandshakeFailure why) override {
        HandshakeHasFailed = true;
        FailedWhy = why;
    }
    void ChatReceived(const QString& text) override {
        Chats.emplace_back(Peer, text);
        Calls << QStringLiteral("Chat:") + text;
    }
    void ListStarted(Direction d, int count, const QStringList&) override {
        Calls << QStringLiteral("ListStarted:%1:%2").arg(Name(d)).arg(count);
    }
    void FileStarted(Direction d, const FileStart& file) override {
        Started.push_back(file);
        Calls << QStringLiteral("FileStarted:%1:%2").arg(Name(d), file.Name);
    }
    void FileEnded(Direction d, int, const QString& path) override {
        Calls << QStringLiteral("FileEnded:%1:%2").arg(Name(d), path);
    }
    void ListEnded(Direction d, const ListEnd& end) override {
        Ends.emplace_back(d, end);
        if (end.Result != Outcome::Done) Errors << end.Text;
        Calls << QStringLiteral("ListEnded:%1:%2").arg(Name(d), Name(end.Result));
    }
    void ConnectionFailed(ErrorKind, const QString& text) override {
        Errors << text;
        Calls << QStringLiteral("Failed:") + text;
    }
    void PeerClosed() override {
        PeerHasClosed = true;
        Calls << QStringLiteral("PeerClosed");
    }
    void FileVerified(Direction d, int, const QString&, const QByteArray& digest) override {
        Calls << QStringLiteral("FileVerified:%1:%2")
                     .arg(Name(d), QString::fromLatin1(digest.toHex()));
    }
    void CapabilitiesAgreed(std::uint8_t caps) override { Agreed = caps; }
    int Agreed = -1; // none yet
};

// A worker on `conn` as the tests make it: side 1 connects, side 0 listens;
// with the host at stage 4 the handshake counts as done with these switches.
// Events run on context's thread (null: the worker's).
inline std::unique_ptr<ConnectionWorker> MakeWorker(FakeHost& host,
                                                    std::shared_ptr<IConnection> conn, int side,
                                                    bool resume = false, bool compress = false,
                                                    int threads = 0, QObject* context = nullptr) {
    WorkerSettings settings;
    settings.Handshake = {host.User, host.Compress, host.Resume};
    settings.ReceiveFolder = host.Folder;
    settings.OverwriteExisting = host.Overwrite;
    settings.Offer = host.Offer;
    settings.CompressionThreads = threads;
    auto worker = std::make_unique<ConnectionWorker>(host, context, std::move(conn),
                                                     side == 1 ? Role::Connecting : Role::Listening,
                                                     std::move(settings));
    if (host.StageNo == 4) worker->AssumeConnected(compress, resume);
    return worker;
}

} // namespace relvane::test

// Texts in failure messages as text.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace relvane {

// List ends compared and printed whole in the tests' expectations.
inline bool operator==(const ListEnd& a, const ListEnd& b) {
    return a.Result == b.Result && a.Kind == b.Kind && a.Text == b.Text &&
           a.ConnectionKept == b.ConnectionKept;
}
inline void PrintTo(const ListEnd& end, std::ostream* os) {
    *os << test::FakeHost::Name(end.Result).toStdString() << " kind " << static_cast<int>(end.Kind)
        << " \"" << end.Text.toStdString() << "\"" << (end.ConnectionKept ? " kept" : " closed");
}
inline void PrintTo(Direction d, std::ostream* os) {
    *os << test::FakeHost::Name(d).toStdString();
}

} // namespace relvane
