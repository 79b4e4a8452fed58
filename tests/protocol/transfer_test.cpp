// Whole transfers between two workers on a real loopback connection: the
// listening peer drives the handshake, then lists of files go one way or
// both ways at once, with compression, resume and cancel.

#include "net/socket.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/sendlist.h"
#include "protocol/worker.h"
#include "tests/support/fakes.h"
#include "tests/support/wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
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

// The fake host, with its calls made on this (the user-interface) thread as
// the program's windows would have them.
class LoopHost : public FakeHost {
public:
    QObject* UiContext() override { return &Ui; }
    // Hooks run while the worker waits: a cancel set here is deterministic.
    void ShowSendName(const QString& path) override {
        FakeHost::ShowSendName(path);
        if (OnSendName) OnSendName();
    }
    void ShowRecvName(const QString& name) override {
        FakeHost::ShowRecvName(name);
        if (OnRecvName) OnRecvName();
    }
    QObject Ui;
    std::function<void()> OnSendName;
    std::function<void()> OnRecvName;
};

// One copy of the program: host, receive folder, files to send, worker.
struct Peer {
    QTemporaryDir Inbox;
    QTemporaryDir Outbox;
    LoopHost Host;
    std::unique_ptr<ConnectionWorker> Worker;

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
        Host.Files = files;
        Host.SendEnabled = false;
        Worker->RequestSend(Host.Files);
    }
    TransferProgress& Progress() const { return *Worker->SharedProgress(); }
    bool Has(const QString& call) const { return Host.Calls.contains(call); }
    bool HasError(const QString& text) const { return Host.Errors.contains(text); }
};

// Listener (Side 0) and connector (Side 1), connected and through the handshake.
class Link {
public:
    Link(bool compress, bool resume) {
        for (Peer* p : {&Server, &Client}) {
            p->Host.Compress = compress;
            p->Host.Resume = resume;
            p->Host.Folder = p->Inbox.path();
        }
        const int port = FreePort();
        std::shared_ptr<TcpConnection> accepted, connected;
        ServerSocket.SetPort(port);
        ServerSocket.OnAccept = [&](QObject*, const std::shared_ptr<TcpConnection>& s) {
            accepted = s;
        };
        ClientSocket.OnConnect = [&](QObject*, const std::shared_ptr<TcpConnection>& s) {
            connected = s;
        };
        ServerSocket.SetActive(true);
        ClientSocket.SetPort(port);
        ClientSocket.SetAddress(QStringLiteral("127.0.0.1"));
        ClientSocket.SetActive(true);
        EXPECT_TRUE(WaitFor([&] { return accepted && connected; }, Deadline));
        ServerSocket.OnAccept = nullptr;
        ClientSocket.OnConnect = nullptr;
        if (!accepted || !connected) return;
        ServerConnection = accepted;

        Server.Worker = std::make_unique<ConnectionWorker>(Server.Host, accepted, 0);
        Client.Worker = std::make_unique<ConnectionWorker>(Client.Host, connected, 1);
        Server.Worker->Start();
        Client.Worker->Start();

        StageWait wait;
        wait.Stage = [this] { return Server.Host.StageNo; };
        wait.HandshakeFailed = [this] { return Server.Host.HandshakeFailed; };
        wait.DispatchEvents = [](int) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QThread::usleep(200);
        };
        DriveHandshake(*accepted, QStringLiteral("server"), compress, resume, wait, Deadline);
        EXPECT_TRUE(WaitFor([this] { return Client.Host.StageNo == 4; }, Deadline));
        Ready = Server.Host.StageNo == 4 && Client.Host.StageNo == 4;
    }

    // Both peers still connected, nothing reported but what is expected.
    void ExpectCleanAndConnected() const {
        EXPECT_TRUE(Server.Host.Errors.isEmpty()) << Server.Host.Errors.join(" | ").toStdString();
        EXPECT_TRUE(Client.Host.Errors.isEmpty()) << Client.Host.Errors.join(" | ").toStdString();
        ExpectConnected();
    }
    void ExpectConnected() const {
        EXPECT_FALSE(Server.Worker->TerminateRequested());
        EXPECT_FALSE(Client.Worker->TerminateRequested());
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
    ASSERT_TRUE(WaitFor([&] { return from.Has("ListSent"); }, Deadline));
    ASSERT_TRUE(WaitFor([&] { return link.Server.Has("ListReceived"); }, Deadline));

    for (const auto& [name, bytes] : files) {
        EXPECT_TRUE(link.Server.Received(name) == bytes) << name.toStdString();
        EXPECT_FALSE(QFile::exists(link.Server.Inbox.filePath(name + ".Recv")));
    }
    EXPECT_TRUE(from.Host.SendEnabled);
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
            return link.Client.Has("ListSent") && link.Server.Has("ListSent") &&
                   link.Client.Has("ListReceived") && link.Server.Has("ListReceived");
        },
        Deadline));
    EXPECT_TRUE(link.Server.Received("up.bin") == up);
    EXPECT_TRUE(link.Client.Received("down.txt") == down);
    ASSERT_EQ(link.Client.Host.Chats.size(), 1u);
    EXPECT_EQ(link.Client.Host.Chats[0].second, QStringLiteral("こんにちは"));
    link.ExpectCleanAndConnected();
}

INSTANTIATE_TEST_SUITE_P(CompressOffOn, Transfer, testing::Bool());

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
        from.Host.Calls.clear();
        to.Host.Calls.clear();
        from.Send({path});
        ASSERT_TRUE(
            WaitFor([&] { return from.Has("ListSent") && to.Has("ListReceived"); }, Deadline));
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
    const QString stopped = QStringLiteral("中止しました");

    for (bool senderCancels : {true, false}) {
        from.Host.Errors.clear();
        to.Host.Errors.clear();
        // The button is pressed as the file starts: after its first block.
        if (senderCancels)
            from.Host.OnSendName = [&] { from.Progress().SendCancel = true; };
        else
            to.Host.OnRecvName = [&] { to.Progress().ReceiveCancel = true; };
        from.Send({path});
        ASSERT_TRUE(
            WaitFor([&] { return from.HasError(stopped) && to.HasError(stopped); }, Deadline))
            << (senderCancels ? "sender" : "receiver") << " cancel";
        EXPECT_TRUE(WaitFor([&] { return from.Host.SendEnabled; }, Deadline));
        EXPECT_TRUE(QFile::exists(partial));
        EXPECT_LT(QFileInfo(partial).size(), data.size());
        link.ExpectConnected();
    }

    // The same file again resumes after the partial and completes.
    from.Host.OnSendName = nullptr;
    to.Host.OnRecvName = nullptr;
    from.Host.Errors.clear();
    to.Host.Errors.clear();
    from.Send({path});
    ASSERT_TRUE(WaitFor([&] { return to.Has("ListReceived") && from.Has("ListSent"); }, Deadline));
    EXPECT_TRUE(to.Received("long.bin") == data);
    EXPECT_TRUE(from.Progress().Resumed.load());
    link.ExpectCleanAndConnected();
}

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
        [&] {
            return !from.Host.Errors.isEmpty() && from.Host.SendEnabled &&
                   !to.Host.Errors.isEmpty();
        },
        Deadline));
    // Refused at its first block, or at its End when that went out before the "0" came.
    EXPECT_TRUE(from.HasError("送信エラー") || from.HasError("送信完了エラー"))
        << from.Host.Errors.join(" | ").toStdString();
    ASSERT_EQ(to.Host.Errors.size(), 1);
    EXPECT_TRUE(to.Host.Errors[0].endsWith(QStringLiteral("を作成できません")));
    EXPECT_FALSE(QFile::exists(to.Inbox.filePath("after.bin")));
    link.ExpectConnected();

    from.Host.Errors.clear();
    to.Host.Errors.clear();
    from.Send({from.MakeFile("next.bin", data)});
    ASSERT_TRUE(WaitFor([&] { return from.Has("ListSent") && to.Has("ListReceived"); }, Deadline));
    EXPECT_TRUE(to.Received("next.bin") == data);
    link.ExpectCleanAndConnected();
}
