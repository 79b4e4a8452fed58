// Whole transfers between two workers on a real loopback connection: the
// workers run the handshake, then lists of files go one way or both ways at
// once, with compression, resume, cancel and refusal, each list's end typed.

#include "net/socket.h"
#include "protocol/capabilities.h"
#include "protocol/events.h"
#include "protocol/filehash.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/sendlist.h"
#include "protocol/worker.h"
#include "tests/support/fakes.h"
#include "tests/support/wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <mutex>
#include <optional>
#include <random>

using namespace relvane;
using relvane::test::FakeHost;
using relvane::test::WaitFor;

namespace {

constexpr int Deadline = 60000; // generous: sanitizer builds are slow

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
        b += "row " + QByteArray::number(i % 977 * 7919 % 1000) + ";\n";
    return b.left(n);
}

// A port the system just handed out and took back.
int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// Events arrive on the worker's thread: the hook runs there at once (a
// cancel set as a file starts acts after its first block at the latest), and
// the records are made on this (the user-interface) thread, as the session's
// signals are.
class LoopHost : public IWorkerEvents {
public:
    FakeHost Rec; // this thread only
    QObject Ui;
    std::function<void(Direction)> OnFileStarted; // on the worker's thread

    void StageChanged(ConnectStage stage, const QString& peer) override {
        Later([stage, peer = Own(peer)](FakeHost& h) { h.StageChanged(stage, peer); });
    }
    void HandshakeFailed(HandshakeFailure why) override {
        Later([why](FakeHost& h) { h.HandshakeFailed(why); });
    }
    void ChatReceived(const QString& text) override {
        Later([text = Own(text)](FakeHost& h) { h.ChatReceived(text); });
    }
    void ListStarted(Direction d, int count, const QStringList&) override {
        Later([d, count](FakeHost& h) { h.ListStarted(d, count, {}); });
    }
    void FileStarted(Direction d, const FileStart& file) override {
        if (OnFileStarted) OnFileStarted(d);
        FileStart own = file;
        own.Name = Own(file.Name);
        Later([d, own](FakeHost& h) { h.FileStarted(d, own); });
    }
    void FileEnded(Direction d, int index, const QString& path) override {
        Later([d, index, path = Own(path)](FakeHost& h) { h.FileEnded(d, index, path); });
    }
    void ListEnded(Direction d, const ListEnd& end) override {
        ListEnd own = end;
        own.Text = Own(end.Text);
        Later([d, own](FakeHost& h) { h.ListEnded(d, own); });
    }
    void ConnectionFailed(ErrorKind kind, const QString& text) override {
        Later([kind, text = Own(text)](FakeHost& h) { h.ConnectionFailed(kind, text); });
    }
    void PeerClosed() override {
        Later([](FakeHost& h) { h.PeerClosed(); });
    }
    void FileVerified(Direction d, int index, const QString&, const QByteArray& digest) override {
        Later([d, index, digest = QByteArray(digest.constData(), digest.size())](FakeHost& h) {
            h.FileVerified(d, index, {}, digest);
        });
    }
    void CapabilitiesAgreed(std::uint8_t caps) override {
        Later([caps](FakeHost& h) { h.CapabilitiesAgreed(caps); });
    }

private:
    // Nothing of a Qt buffer is shared between the threads.
    static QString Own(const QString& text) { return QString(text.constData(), text.size()); }
    void Later(std::function<void(FakeHost&)> call) {
        {
            std::lock_guard lock(M);
            Queue.push_back(std::move(call));
        }
        QMetaObject::invokeMethod(
            &Ui, [this] { Run(); }, Qt::QueuedConnection);
    }
    void Run() {
        std::vector<std::function<void(FakeHost&)>> calls;
        {
            std::lock_guard lock(M);
            calls.swap(Queue);
        }
        for (const auto& call : calls)
            call(Rec);
    }
    std::mutex M;
    std::vector<std::function<void(FakeHost&)>> Queue;
};

// One copy of the program: events, receive folder, files to send, worker.
struct Peer {
    QTemporaryDir Inbox;
    QTemporaryDir Outbox;
    LoopHost Host;
    std::unique_ptr<ConnectionWorker> Worker;

    void Start(std::shared_ptr<IConnection> connection, Role role, bool compress, bool resume,
               Capabilities offer = 0) {
        WorkerSettings settings;
        settings.Offer = offer;
        settings.Handshake = {role == Role::Listening ? QStringLiteral("server")
                                                      : QStringLiteral("client"),
                              compress, resume};
        settings.ReceiveFolder = Inbox.path();
        Worker = std::make_unique<ConnectionWorker>(Host, nullptr, std::move(connection), role,
                                                    std::move(settings));
        Worker->Start();
    }
    QString MakeFile(const QString& name, const QByteArray& bytes) {
        const QString path = Outbox.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        EXPECT_EQ(f.write(bytes), bytes.size());
        return path;
    }
    QByteArray Received(const QString& name) const {
        QFile f(QDir(Inbox.path()).filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
    }
    // The send action: the list is checked, then offered to the peer.
    void Send(const QStringList& files) {
        ASSERT_EQ(CheckSendList(files), QString());
        Worker->RequestSend(files);
    }
    TransferProgress& Progress() const { return *Worker->SharedProgress(); }
    FakeHost& Rec() { return Host.Rec; }
    bool Has(const QString& call) const { return Host.Rec.Calls.contains(call); }
    // The last end of a list in that direction, if any.
    std::optional<ListEnd> LastEnd(Direction d) const {
        const auto& ends = Host.Rec.Ends;
        const auto at = std::find_if(ends.rbegin(), ends.rend(),
                                     [d](const auto& end) { return end.first == d; });
        if (at == ends.rend()) return std::nullopt;
        return at->second;
    }
};

// Listener (Side 0) and connector (Side 1), connected and through the
// handshake, which the workers run themselves.
class Link {
public:
    Link(bool compress, bool resume, Capabilities offer = 0) {
        const int port = FreePort();
        std::shared_ptr<TcpConnection> accepted, connected;
        ServerSocket.SetPort(port);
        ServerSocket.OnAccept = [&](QObject*, const std::shared_ptr<TcpConnection>& s) {
            accepted = s;
        };
        ClientSocket.OnConnect = [&](QObject*, const std::shared_ptr<TcpConnection>& s) {
            connected = s;
        };
        ServerSocket.Open();
        ClientSocket.SetPort(port);
        ClientSocket.SetAddress(QStringLiteral("127.0.0.1"));
        ClientSocket.Open();
        EXPECT_TRUE(WaitFor([&] { return accepted && connected; }, Deadline));
        ServerSocket.OnAccept = nullptr;
        ClientSocket.OnConnect = nullptr;
        if (!accepted || !connected) return;
        ServerConnection = accepted;

        Server.Start(accepted, Role::Listening, compress, resume, offer);
        Client.Start(connected, Role::Connecting, compress, resume, offer);
        Ready = WaitFor([this] { return Server.Rec().StageNo == 4 && Client.Rec().StageNo == 4; },
                        Deadline);
        EXPECT_EQ(Server.Rec().Peer, QStringLiteral("client"));
        EXPECT_EQ(Client.Rec().Peer, QStringLiteral("server"));
    }

    // Both peers still connected, nothing reported but what is expected.
    void ExpectCleanAndConnected() {
        EXPECT_TRUE(Server.Rec().Errors.isEmpty()) << Server.Rec().Errors.join(" | ").toStdString();
        EXPECT_TRUE(Client.Rec().Errors.isEmpty()) << Client.Rec().Errors.join(" | ").toStdString();
        ExpectConnected();
    }
    void ExpectConnected() const {
        EXPECT_TRUE(Server.Worker->isRunning());
        EXPECT_TRUE(Client.Worker->isRunning());
        EXPECT_TRUE(ServerConnection->IsConnected());
    }

    // Declared before the workers: the workers end first.
    TcpServer ServerSocket;
    TcpClient ClientSocket;
    std::shared_ptr<TcpConnection> ServerConnection;
    Peer Server;
    Peer Client;
    bool Ready = false;
};

class Transfer : public testing::TestWithParam<bool> {};

} // namespace

TEST_P(Transfer, ListArrivesByteIdentical) {
    Link link(GetParam(), false);
    ASSERT_TRUE(link.Ready);
    Peer& from = link.Client;
    const QList<std::pair<QString, QByteArray>> files{
        {"empty", QByteArray()},
        {"exact.bin", RandomBytes(1024, 1)},
        {"odd.bin", RandomBytes(1025, 2)},
        {"big.bin", RandomBytes(3 * 1024 * 1024, 3)},
        {"text.txt", TextBytes(300 * 1024)},
        {QStringLiteral("表示.txt"), TextBytes(5000)},
        {QStringLiteral("ソフト.txt"), "soft"},
    };
    QStringList paths;
    for (const auto& [name, bytes] : files)
        paths << from.MakeFile(name, bytes);
    from.Send(paths);
    ASSERT_TRUE(WaitFor([&] { return from.Has("ListEnded:Send:Done"); }, Deadline));
    ASSERT_TRUE(WaitFor([&] { return link.Server.Has("ListEnded:Receive:Done"); }, Deadline));

    for (const auto& [name, bytes] : files) {
        EXPECT_TRUE(link.Server.Received(name) == bytes) << name.toStdString();
        EXPECT_FALSE(QFile::exists(link.Server.Inbox.filePath(name + ".Recv")));
    }
    EXPECT_EQ(from.Progress().CompressOn.load(), GetParam());
    link.ExpectCleanAndConnected();
}

TEST_P(Transfer, BothWaysAtOnceWithChat) {
    Link link(GetParam(), false);
    ASSERT_TRUE(link.Ready);
    // Big enough to fill both socket buffers while the two pumps run.
    const QByteArray up = RandomBytes(4 * 1024 * 1024, 4), down = TextBytes(4 * 1024 * 1024);
    link.Client.Send({link.Client.MakeFile("up.bin", up)});
    link.Server.Send({link.Server.MakeFile("down.txt", down)});
    link.Server.Worker->QueueFrame(ChatFrame(QStringLiteral("こんにちは")));
    ASSERT_TRUE(WaitFor(
        [&] {
            return link.Client.Has("ListEnded:Send:Done") &&
                   link.Server.Has("ListEnded:Send:Done") &&
                   link.Client.Has("ListEnded:Receive:Done") &&
                   link.Server.Has("ListEnded:Receive:Done");
        },
        Deadline));
    EXPECT_TRUE(link.Server.Received("up.bin") == up);
    EXPECT_TRUE(link.Client.Received("down.txt") == down);
    ASSERT_EQ(link.Client.Rec().Chats.size(), 1u);
    EXPECT_EQ(link.Client.Rec().Chats[0].second, QStringLiteral("こんにちは"));
    link.ExpectCleanAndConnected();
}

INSTANTIATE_TEST_SUITE_P(CompressOffOn, Transfer, testing::Bool());

// Between two copies every file is verified: with XXH3-128 where both offer
// it, with SHA-256 where one offers only that; small and large files, and a
// resumed one; compressed, a file part stored, part deflated.
TEST(TransferVerified, EitherDigestChecksEveryFile) {
    const std::pair<Capabilities, bool> cases[] = {
        {Capabilities(AllCapabilities & ~CapXxh128), false}, {AllCapabilities, true}};
    for (const auto& [offer, compress] : cases) {
        Link link(compress, true, offer);
        ASSERT_TRUE(link.Ready);
        Peer& from = link.Client;
        ASSERT_TRUE(WaitFor([&] { return from.Rec().Agreed == offer; }, Deadline));
        const DigestKind kind = DigestOf(offer);
        const QList<QByteArray> files{{}, RandomBytes(5000, 4),
                                      RandomBytes(1024 * 1024, 5) + TextBytes(2 * 1024 * 1024),
                                      RandomBytes(3 * 1024 * 1024, 6)};
        // The last one resumes: its kept part is hashed from the disk.
        QFile partial(link.Server.Inbox.filePath(QStringLiteral("3.Recv")));
        ASSERT_TRUE(partial.open(QIODevice::WriteOnly));
        partial.write(files[3].left(1024 * 1024));
        partial.close();
        QStringList paths;
        QStringList expected;
        for (int i = 0; i < files.size(); ++i) {
            paths << from.MakeFile(QString::number(i), files[i]);
            Digest d(kind);
            d.Add(files[i]);
            expected << QStringLiteral("FileVerified:Receive:") + d.Finish().toHex();
        }
        from.Send(paths);
        ASSERT_TRUE(WaitFor([&] { return link.Server.Has("ListEnded:Receive:Done"); }, Deadline));
        EXPECT_EQ(link.Server.Rec().Calls.filter(QStringLiteral("FileVerified:")), expected);
        for (int i = 0; i < files.size(); ++i)
            EXPECT_TRUE(link.Server.Received(QString::number(i)) == files[i]);
    }
}

TEST(TransferResume, MatchingPartialContinuesOtherRestarts) {
    Link link(true, true);
    ASSERT_TRUE(link.Ready);
    Peer& from = link.Server;
    Peer& to = link.Client;
    const QByteArray data = RandomBytes(200 * 1024 + 5, 5);

    const auto partial = [&](const QString& name, const QByteArray& bytes) {
        QFile f(to.Inbox.filePath(name + ".Recv"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    const auto sendAndWait = [&](const QString& path) {
        from.Rec().Calls.clear();
        to.Rec().Calls.clear();
        from.Send({path});
        ASSERT_TRUE(WaitFor(
            [&] { return from.Has("ListEnded:Send:Done") && to.Has("ListEnded:Receive:Done"); },
            Deadline));
    };

    partial("same.bin", data.left(70001));
    sendAndWait(from.MakeFile("same.bin", data));
    EXPECT_TRUE(to.Received("same.bin") == data);
    EXPECT_TRUE(from.Progress().Resumed.load());

    QByteArray other = data.left(70001);
    other[100] = static_cast<char>(other[100] ^ 1);
    partial("other.bin", other);
    sendAndWait(from.MakeFile("other.bin", data));
    EXPECT_TRUE(to.Received("other.bin") == data);
    EXPECT_FALSE(from.Progress().Resumed.load());

    partial("whole.bin", data);
    sendAndWait(from.MakeFile("whole.bin", data));
    EXPECT_TRUE(to.Received("whole.bin") == data);
    EXPECT_TRUE(from.Progress().Resumed.load());
    link.ExpectCleanAndConnected();
}

TEST(TransferCancel, EitherSideCancelsKeepsThePartialAndTheConnection) {
    Link link(false, true);
    ASSERT_TRUE(link.Ready);
    Peer& from = link.Client;
    Peer& to = link.Server;
    const QByteArray data = RandomBytes(24 * 1024 * 1024, 6);
    const QString path = from.MakeFile("long.bin", data);
    const QString partial = to.Inbox.filePath("long.bin.Recv");
    const auto ended = [](Outcome outcome) {
        return ListEnd{outcome, ErrorKind::Cancelled, QStringLiteral("中止しました"), true};
    };

    for (bool senderCancels : {true, false}) {
        from.Rec().Ends.clear();
        to.Rec().Ends.clear();
        // The button is pressed as the file starts: after its first block.
        if (senderCancels) {
            from.Host.OnFileStarted = [p = from.Worker->SharedProgress()](Direction) {
                p->SendCancel = true;
            };
        } else {
            to.Host.OnFileStarted = [p = to.Worker->SharedProgress()](Direction) {
                p->ReceiveCancel = true;
            };
        }
        from.Send({path});
        ASSERT_TRUE(
            WaitFor([&] { return from.LastEnd(Direction::Send) && to.LastEnd(Direction::Receive); },
                    Deadline))
            << (senderCancels ? "sender" : "receiver") << " cancel";
        EXPECT_EQ(from.LastEnd(Direction::Send),
                  ended(senderCancels ? Outcome::CancelledHere : Outcome::CancelledByPeer));
        EXPECT_EQ(to.LastEnd(Direction::Receive),
                  ended(senderCancels ? Outcome::CancelledByPeer : Outcome::CancelledHere));
        EXPECT_TRUE(QFile::exists(partial));
        EXPECT_LT(QFileInfo(partial).size(), data.size());
        link.ExpectConnected();
        from.Host.OnFileStarted = nullptr;
        to.Host.OnFileStarted = nullptr;
    }

    // The same file again resumes after the partial and completes.
    from.Rec().Errors.clear();
    to.Rec().Errors.clear();
    from.Send({path});
    ASSERT_TRUE(
        WaitFor([&] { return to.Has("ListEnded:Receive:Done") && from.Has("ListEnded:Send:Done"); },
                Deadline));
    EXPECT_TRUE(to.Received("long.bin") == data);
    EXPECT_TRUE(from.Progress().Resumed.load());
    link.ExpectCleanAndConnected();
}

// The receiver cannot create the file: its list fails (the connection stays),
// the sender's is refused.
TEST(TransferRefusal, FileTheReceiverCannotStoreEndsTheListNotTheConnection) {
    Link link(false, false);
    ASSERT_TRUE(link.Ready);
    Peer& from = link.Client;
    Peer& to = link.Server;
    // A folder where the partial file would go.
    ASSERT_TRUE(QDir(to.Inbox.path()).mkdir(QStringLiteral("blocked.bin.Recv")));
    const QByteArray data = RandomBytes(300 * 1024, 7);
    from.Send({from.MakeFile("blocked.bin", data), from.MakeFile("after.bin", "abc")});
    ASSERT_TRUE(WaitFor(
        [&] { return from.LastEnd(Direction::Send) && to.LastEnd(Direction::Receive); }, Deadline));
    const ListEnd sent = *from.LastEnd(Direction::Send);
    EXPECT_EQ(sent.Result, Outcome::Refused);
    EXPECT_EQ(sent.Kind, ErrorKind::PeerRefused);
    EXPECT_TRUE(sent.ConnectionKept);
    // Refused at its first block, or at its End when that went out before the "0" came.
    EXPECT_TRUE(sent.Text == "送信エラー" || sent.Text == "送信完了エラー")
        << sent.Text.toStdString();
    const ListEnd received = *to.LastEnd(Direction::Receive);
    EXPECT_EQ(received.Result, Outcome::Failed);
    EXPECT_EQ(received.Kind, ErrorKind::FileAccess);
    EXPECT_TRUE(received.ConnectionKept);
    EXPECT_TRUE(received.Text.endsWith(QStringLiteral("を作成できません")));
    EXPECT_FALSE(QFile::exists(to.Inbox.filePath("after.bin")));
    link.ExpectConnected();

    from.Rec().Errors.clear();
    to.Rec().Errors.clear();
    from.Send({from.MakeFile("next.bin", data)});
    ASSERT_TRUE(
        WaitFor([&] { return from.Has("ListEnded:Send:Done") && to.Has("ListEnded:Receive:Done"); },
                Deadline));
    EXPECT_TRUE(to.Received("next.bin") == data);
    link.ExpectCleanAndConnected();
}
