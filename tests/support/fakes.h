#pragma once
// In-memory stand-ins for the worker's connection and host: the tests feed
// incoming bytes, read the frames sent, and look at the host calls made.

#include "net/connection.h"
#include "protocol/frame.h"
#include "protocol/host.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
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
    bool Writable = true; // false: every send "would block", WaitWritable says no

    int BytesWaiting() override {
        std::lock_guard g(M);
        return Open ? static_cast<int>(Incoming.size()) : 0;
    }
    int ReceiveBytes(void* buffer, int n) override {
        std::lock_guard g(M);
        if (!Open) return 0;
        if (Incoming.isEmpty()) return -1;
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
            if (!Incoming.isEmpty() || !Open || (writable && Writable)) return wakeFd >= 0;
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

// Records every call; settings and the stage are plain fields. Calls run on
// the worker's thread (UiContext() is null).
class FakeHost : public IWorkerHost {
public:
    QString User = QStringLiteral("tester");
    bool Compress = false;
    bool Resume = false;
    QString Folder;
    int StageNo = 1; // the stage's number
    bool HandshakeFailed = false;
    QString Peer;
    QStringList Files; // the send list
    QStringList Calls; // "ShowError:…", "ShowRecvCount:3", …
    QStringList Errors;
    std::vector<std::pair<QString, QString>> Chats;
    bool SendEnabled = false;

    QObject* UiContext() override { return nullptr; }
    QString UserName() override { return User; }
    bool UseCompress() override { return Compress; }
    bool UseResume() override { return Resume; }
    QString ReceiveFolder() override { return Folder; }
    ConnectStage Stage() override { return static_cast<ConnectStage>(StageNo); }
    void SetStage(ConnectStage stage) override {
        StageNo = static_cast<int>(stage);
        Calls << QStringLiteral("SetStage:%1").arg(StageNo);
    }
    void SetHandshakeFailed() override { HandshakeFailed = true; }
    void SetPeerName(const QString& name) override { Peer = name; }
    QString PeerName() override { return Peer; }
    void ShowChat(const QString& peer, const QString& text) override {
        Chats.emplace_back(peer, text);
    }
    void ShowError(const Error& error) override {
        Errors << error.Message();
        Calls << QStringLiteral("ShowError:") + error.Message();
    }
    void ShowRecvWindow() override { Calls << QStringLiteral("ShowRecvWindow"); }
    void HideRecvWindow() override { Calls << QStringLiteral("HideRecvWindow"); }
    void ShowRecvCount(int n) override { Calls << QStringLiteral("ShowRecvCount:%1").arg(n); }
    void ShowRecvName(const QString& name) override {
        Calls << QStringLiteral("ShowRecvName:") + name;
    }
    void ShowSendWindow(const QStringList& files) override {
        Calls << QStringLiteral("ShowSendWindow:%1").arg(files.size());
    }
    void ShowSendName(const QString& path) override {
        Calls << QStringLiteral("ShowSendName:") + path;
    }
    void HideSendWindow() override { Calls << QStringLiteral("HideSendWindow"); }
    void EnableSend() override {
        SendEnabled = true;
        Calls << QStringLiteral("EnableSend");
    }
    void FileReceived(const QString& path) override {
        Calls << QStringLiteral("FileReceived:") + path;
    }
    void ListSent() override { Calls << QStringLiteral("ListSent"); }
    void ListReceived() override { Calls << QStringLiteral("ListReceived"); }
};

} // namespace relvane::test
