// relvane-cli end to end: real processes on 127.0.0.1, and a scripted raw
// peer for the cases two well-behaved programs never produce.
#include "platform/sjis.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "tests/support/childprocess.h"
#include "tests/support/ports.h"
#include "tests/support/wait.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <csignal>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>

using relvane::test::ChildProcess;
using relvane::test::ConnectRaw;
using relvane::test::FreePort;
using relvane::test::WaitFor;

namespace {

constexpr int ProcessDeadlineMs = 90000; // generous: sanitizer builds are slow

QByteArray RandomBytes(int n, quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray b(n, Qt::Uninitialized);
    for (char& c : b)
        c = static_cast<char>(rng.generate() & 0xFF);
    return b;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QByteArray("<missing>");
    return f.readAll();
}

// One relvane-cli process with everything it printed.
class Peer {
public:
    explicit Peer(const QStringList& args, const QStringList& env = {})
        : P(QStringLiteral(RELVANE_CLI_PATH), args, ChildProcess::ErrorOutput::Captured, env),
          Out(P.Out), Err(P.Err) {}
    ~Peer() {
        if (!P.Finished()) {
            P.Kill();
            P.WaitFinished(5000);
        }
        // Sanitizer builds: a report in a child fails the test that ran it.
        EXPECT_FALSE(ErrHas(QStringLiteral("Sanitizer")) || ErrHas(QStringLiteral("runtime error")))
            << Log();
    }
    bool ErrHas(const QString& text) const { return QString::fromUtf8(Err).contains(text); }
    bool OutHas(const QString& text) const { return QString::fromUtf8(Out).contains(text); }
    bool Finished() { return P.Finished(); }
    int Code() const { return P.ExitCode(); }
    std::string Log() const { return ("stderr:\n" + Err + "stdout:\n" + Out).toStdString(); }

    ChildProcess P;
    const QByteArray& Out;
    const QByteArray& Err;
};

// Starts a listening peer and waits until it listens.
std::unique_ptr<Peer> StartListener(int port, QStringList extra) {
    extra.prepend(QString::number(port));
    extra.prepend(QStringLiteral("--port"));
    extra.prepend(QStringLiteral("--listen"));
    auto peer = std::make_unique<Peer>(extra);
    const bool listening = WaitFor(
        [&] { return peer->ErrHas(QStringLiteral("接続を待っています")) || peer->Finished(); },
        ProcessDeadlineMs);
    EXPECT_TRUE(listening && !peer->Finished()) << peer->Log();
    return peer;
}

QStringList ConnectArgs(int port, QStringList extra) {
    return QStringList{QStringLiteral("--connect"), QStringLiteral("127.0.0.1"),
                       QStringLiteral("--port"), QString::number(port)} +
           extra;
}

// Plain files in a folder, by name.
struct FileSet {
    QTemporaryDir Dir;
    QStringList Paths;
    std::vector<std::pair<QString, QByteArray>> Content;

    void Add(const QString& name, const QByteArray& bytes) {
        const QString path = Dir.filePath(name);
        WriteFile(path, bytes);
        Paths << path;
        Content.emplace_back(name, bytes);
    }
    void ExpectArrivedIn(const QString& folder) const {
        for (const auto& [name, bytes] : Content) {
            const QByteArray got = ReadFile(QDir(folder).filePath(name));
            EXPECT_EQ(got.size(), bytes.size()) << name.toStdString();
            EXPECT_TRUE(got == bytes) << name.toStdString() << " differs";
        }
        const QStringList partial = QDir(folder).entryList({QStringLiteral("*.Recv")}, QDir::Files);
        EXPECT_TRUE(partial.isEmpty()) << partial.join(u' ').toStdString();
    }
};

class CliPeers : public testing::TestWithParam<bool> {};

TEST_P(CliPeers, MoveListsBothWaysAndQuit) {
    const bool compress = GetParam();
    const QString compressArg =
        compress ? QStringLiteral("--compress") : QStringLiteral("--no-compress");
    const int port = FreePort();

    // The two Japanese names share file names across the directions but not contents;
    // "表" is 95 5C in Shift-JIS, a byte that looks like a path separator.
    FileSet fromListener;
    fromListener.Add(QStringLiteral("表示.txt"), QByteArray("表示テスト\r\n").repeated(300));
    fromListener.Add(QStringLiteral("ソフト.txt"), RandomBytes(1024, 1));
    fromListener.Add(QStringLiteral("empty.dat"), QByteArray());
    fromListener.Add(QStringLiteral("random.bin"), RandomBytes(700 * 1024 + 3, 2));
    FileSet fromConnector;
    fromConnector.Add(QStringLiteral("ソフト.txt"), RandomBytes(1025, 3));
    fromConnector.Add(QStringLiteral("表示.txt"), RandomBytes(5000, 4));
    fromConnector.Add(QStringLiteral("text.log"),
                      QByteArray("line of text 0123456789\n").repeated(20000));
    QTemporaryDir listenerIn;
    QTemporaryDir connectorIn;

    auto listener =
        StartListener(port, QStringList{QStringLiteral("--name"), QStringLiteral("listener"),
                                        QStringLiteral("--recv-dir"), listenerIn.path(),
                                        compressArg, QStringLiteral("--quit-after-send"),
                                        QStringLiteral("--quit-after-receive")} +
                                fromListener.Paths);
    Peer connector(
        ConnectArgs(port, QStringList{QStringLiteral("--name"), QStringLiteral("connector"),
                                      QStringLiteral("--recv-dir"), connectorIn.path(),
                                      QStringLiteral("--quit-after-send"),
                                      QStringLiteral("--quit-after-receive")} +
                              fromConnector.Paths));

    ASSERT_TRUE(
        WaitFor([&] { return listener->Finished() && connector.Finished(); }, ProcessDeadlineMs))
        << listener->Log() << connector.Log();
    EXPECT_EQ(listener->Code(), 0) << listener->Log();
    EXPECT_EQ(connector.Code(), 0) << connector.Log() << listener->Log();
    EXPECT_TRUE(connector.ErrHas(QStringLiteral("compression %1").arg(compress ? "on" : "off")))
        << connector.Log();
    fromListener.ExpectArrivedIn(connectorIn.path());
    fromConnector.ExpectArrivedIn(listenerIn.path());
}

INSTANTIATE_TEST_SUITE_P(Compression, CliPeers, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) {
                             return i.param ? "On" : "Off";
                         });

TEST(CliPeersChat, LinesBothWaysThenEndOfInputQuits) {
    const int port = FreePort();
    auto alice = StartListener(port, {QStringLiteral("--name"), QStringLiteral("alice")});
    Peer bob(ConnectArgs(port, {QStringLiteral("--name"), QStringLiteral("ボブ")}));
    ASSERT_TRUE(WaitFor(
        [&] {
            return alice->ErrHas(QStringLiteral("connected")) &&
                   bob.ErrHas(QStringLiteral("connected"));
        },
        ProcessDeadlineMs))
        << alice->Log() << bob.Log();

    alice->P.Write(QStringLiteral("こんにちは、ボブ\n").toUtf8());
    EXPECT_TRUE(WaitFor([&] { return bob.OutHas(QStringLiteral("alice: こんにちは、ボブ")); },
                        ProcessDeadlineMs))
        << bob.Log();
    bob.P.Write("hi alice\r\nsecond line\n");
    EXPECT_TRUE(WaitFor([&] { return alice->OutHas(QStringLiteral("ボブ: second line")); },
                        ProcessDeadlineMs))
        << alice->Log();
    EXPECT_TRUE(alice->OutHas(QStringLiteral("ボブ: hi alice\n"))) << alice->Log();

    // Nothing left to wait for: the end of alice's input ends her session,
    // and bob ends cleanly when she leaves.
    alice->P.CloseWrite();
    ASSERT_TRUE(WaitFor([&] { return alice->Finished() && bob.Finished(); }, ProcessDeadlineMs))
        << alice->Log() << bob.Log();
    EXPECT_EQ(alice->Code(), 0) << alice->Log();
    EXPECT_EQ(bob.Code(), 0) << bob.Log();
    EXPECT_TRUE(bob.ErrHas(QStringLiteral("切断しました"))) << bob.Log();
}

TEST(CliPeersFailures, ExitCodes) {
    QTemporaryDir dir;
    // A bad command line.
    {
        Peer p({QStringLiteral("--listen"), QStringLiteral("--port"), QStringLiteral("0")});
        ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs));
        EXPECT_EQ(p.Code(), 2) << p.Log();
    }
    // A file that does not exist fails before any connection is tried.
    {
        Peer p(ConnectArgs(FreePort(), {dir.filePath(QStringLiteral("missing.txt"))}));
        ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs));
        EXPECT_EQ(p.Code(), 1) << p.Log();
        EXPECT_TRUE(p.ErrHas(QStringLiteral("missing.txt"))) << p.Log();
    }
    // Nobody listens.
    {
        Peer p(ConnectArgs(FreePort(), {QStringLiteral("--timeout"), QStringLiteral("20")}));
        ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs));
        EXPECT_EQ(p.Code(), 1) << p.Log();
    }
    // Nobody comes.
    {
        Peer p({QStringLiteral("--listen"), QStringLiteral("--port"), QString::number(FreePort()),
                QStringLiteral("--timeout"), QStringLiteral("1")});
        ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs));
        EXPECT_EQ(p.Code(), 1) << p.Log();
        EXPECT_TRUE(p.ErrHas(QStringLiteral("no peer"))) << p.Log();
    }
}

// A peer scripted frame by frame over a plain socket: it listens, and the
// program under test connects to it.
class RawPeer {
public:
    RawPeer() {
        Listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(Listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        // Inherited by the accepted socket: once the peer stops reading, the
        // program under test stalls after a few hundred KiB, not 32 MiB.
        const int small = 128 * 1024;
        ::setsockopt(Listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(Listener, 4);
        socklen_t len = sizeof a;
        ::getsockname(Listener, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
    }
    ~RawPeer() {
        if (Fd >= 0) ::close(Fd);
        ::close(Listener);
    }
    bool Accept(int timeoutMs) {
        pollfd p{Listener, POLLIN, 0};
        if (!PollWhileDispatching(p, timeoutMs)) return false;
        Fd = ::accept(Listener, nullptr, nullptr);
        return Fd >= 0;
    }
    void Send(const QByteArray& frame) {
        ASSERT_EQ(::send(Fd, frame.constData(), frame.size(), MSG_NOSIGNAL), frame.size());
    }
    // The next frame from the program, or nothing by the deadline.
    std::optional<std::pair<relvane::FrameHeader, QByteArray>> Read(int timeoutMs) {
        QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            if (Buffer.size() >= relvane::HeaderSize) {
                const auto h = relvane::ParseHeader(Buffer.constData());
                if (Buffer.size() >= relvane::HeaderSize + h.Length) {
                    QByteArray payload = Buffer.mid(relvane::HeaderSize, h.Length);
                    Buffer.remove(0, relvane::HeaderSize + h.Length);
                    return std::make_pair(h, payload);
                }
            }
            pollfd p{Fd, POLLIN, 0};
            if (!PollWhileDispatching(p, static_cast<int>(deadline.remainingTime())))
                return std::nullopt;
            char chunk[4096];
            const ssize_t n = ::recv(Fd, chunk, sizeof chunk, 0);
            if (n <= 0) return std::nullopt;
            Buffer.append(chunk, n);
        }
    }
    // Reads frames until one of this kind and type (others are skipped).
    std::optional<QByteArray> Expect(relvane::Kind kind, relvane::Type type,
                                     int timeoutMs = ProcessDeadlineMs) {
        QDeadlineTimer deadline(timeoutMs);
        while (auto f = Read(static_cast<int>(deadline.remainingTime()))) {
            if (f->first.Kind == static_cast<std::uint8_t>(kind) &&
                f->first.Type == static_cast<std::uint8_t>(type)) {
                return f->second;
            }
        }
        return std::nullopt;
    }
    void Close() {
        ::close(Fd);
        Fd = -1;
    }
    // Bytes the program sent that this peer has not read.
    [[nodiscard]] int Unread() const {
        int n = 0;
        ::ioctl(Fd, FIONREAD, &n);
        return n;
    }
    // Whether a connection waits to be accepted.
    [[nodiscard]] bool Knocked() const {
        pollfd p{Listener, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

    int Port = 0;

private:
    // The test's own event queue keeps running (the programs' output).
    static bool PollWhileDispatching(pollfd& p, int timeoutMs) {
        return WaitFor([&] { return ::poll(&p, 1, 0) > 0; }, std::max(0, timeoutMs));
    }
    int Listener = -1;
    int Fd = -1;
    QByteArray Buffer;
};

QByteArray Notice(std::uint8_t slot, relvane::Type type, relvane::Format format,
                  const QByteArray& payload) {
    return relvane::BuildFrame(slot, relvane::Kind::Notice, type, format, payload);
}

// Two files with one bare name: refused before any connection is tried.
TEST(CliPeersFailures, TwinNamesFailBeforeConnecting) {
    QTemporaryDir dir;
    RawPeer raw;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("one")));
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("two")));
    const QStringList twins{dir.filePath(QStringLiteral("one/report.txt")),
                            dir.filePath(QStringLiteral("two/report.txt"))};
    for (const QString& f : twins)
        WriteFile(f, "report");
    Peer p(ConnectArgs(raw.Port, twins));
    ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs));
    EXPECT_EQ(p.Code(), 1) << p.Log();
    EXPECT_TRUE(p.ErrHas(QStringLiteral("report.txt"))) << p.Log();
    EXPECT_FALSE(raw.Knocked()) << p.Log();
}

TEST(CliPeersFailures, WrongProtocolVersionFailsTheHandshake) {
    RawPeer raw;
    Peer p(ConnectArgs(raw.Port, {}));
    ASSERT_TRUE(raw.Accept(ProcessDeadlineMs)) << p.Log();
    raw.Send(relvane::BuildFrame(relvane::ControlSlot, relvane::Kind::Request,
                                 relvane::Type::Version, relvane::Format::FmtNumber, "4"));
    ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs)) << p.Log();
    EXPECT_EQ(p.Code(), 1) << p.Log();
    EXPECT_TRUE(p.ErrHas(QStringLiteral("接続情報チェックに失敗しました"))) << p.Log();
}

TEST(CliPeersFailures, SilentPeerTimesOutTheHandshake) {
    RawPeer raw;
    Peer p(ConnectArgs(raw.Port, {QStringLiteral("--timeout"), QStringLiteral("1")}));
    ASSERT_TRUE(raw.Accept(ProcessDeadlineMs)) << p.Log();
    ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs)) << p.Log();
    EXPECT_EQ(p.Code(), 1) << p.Log();
}

// Plays the listening side of the handshake (compression off) until the
// program reports it is connected.
void HandshakeAsListener(RawPeer& raw, Peer& p, bool resume = false) {
    using namespace relvane;
    ASSERT_TRUE(raw.Accept(ProcessDeadlineMs)) << p.Log();
    raw.Send(VersionRequestFrame());
    ASSERT_TRUE(raw.Expect(Kind::Reply, Type::Version)) << p.Log();
    raw.Send(NameExchangeFrame(false, QStringLiteral("raw")));
    ASSERT_TRUE(raw.Expect(Kind::Reply, Type::NameExchange)) << p.Log();
    raw.Send(CompressFrame(false, false));
    ASSERT_TRUE(raw.Expect(Kind::Reply, Type::Compress)) << p.Log();
    raw.Send(ResumeFrame(false, resume));
    ASSERT_TRUE(raw.Expect(Kind::Reply, Type::Resume)) << p.Log();
    ASSERT_TRUE(WaitFor([&] { return p.ErrHas(QStringLiteral("connected")); }, ProcessDeadlineMs))
        << p.Log();
}

// `echo text | relvane-cli --connect ...`: the line and the end of input are
// read together once connected, and the line still goes before the program leaves.
TEST(CliPeersChat, PipedLineGoesBeforeTheEndOfInputQuits) {
    using namespace relvane;
    RawPeer raw;
    Peer p(ConnectArgs(raw.Port, {}));
    p.P.Write("piped\n");
    p.P.CloseWrite();
    ASSERT_TRUE(WaitFor([&] { return p.P.BytesToWrite() == 0; }, ProcessDeadlineMs));
    HandshakeAsListener(raw, p);
    const auto chat = raw.Expect(Kind::Notice, Type::Chat);
    ASSERT_TRUE(chat) << p.Log();
    EXPECT_EQ(FromShiftJis(PayloadText(*chat)), QStringLiteral("piped"));
    ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs)) << p.Log();
    EXPECT_EQ(p.Code(), 0) << p.Log();
}

// Starts a list towards the connecting side (slot 1): two files announced,
// the first block of the first one sent.
QByteArray StartIncomingList(RawPeer& raw, Peer& p) {
    using namespace relvane;
    raw.Send(SendRequestFrame());
    EXPECT_TRUE(raw.Expect(Kind::Reply, Type::SendAccept)) << p.Log();
    const QByteArray block = RandomBytes(BlockSize, 9);
    raw.Send(Notice(1, Type::LastIndex, Format::FmtNumber, "1"));
    raw.Send(Notice(1, Type::FileName, Format::FmtText, ToShiftJis(QStringLiteral("表示.txt"))));
    raw.Send(Notice(1, Type::FileSize, Format::FmtNumber, "3000"));
    raw.Send(Notice(1, Type::FileData, Format::FmtBinary, block));
    return block;
}

// The peer leaves in the middle of a list: the part received stays as a
// partial file and the program reports failure.
TEST(CliPeersFailures, PeerGoneMidListLeavesPartialAndFails) {
    RawPeer raw;
    QTemporaryDir in;
    Peer p(ConnectArgs(raw.Port,
                       {QStringLiteral("--recv-dir"), in.path(), QStringLiteral("--no-compress"),
                        QStringLiteral("--no-resume"), QStringLiteral("--quit-after-receive")}));
    HandshakeAsListener(raw, p);
    const QByteArray block = StartIncomingList(raw, p);
    const QString partial = QDir(in.path()).filePath(QStringLiteral("表示.txt.Recv"));
    ASSERT_TRUE(WaitFor([&] { return QFileInfo::exists(partial); }, ProcessDeadlineMs)) << p.Log();
    raw.Close();

    ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs)) << p.Log();
    EXPECT_EQ(p.Code(), 1) << p.Log();
    EXPECT_EQ(ReadFile(partial), block);
    EXPECT_FALSE(QFileInfo::exists(QDir(in.path()).filePath(QStringLiteral("表示.txt"))));
}

// A cancel by the peer keeps the connection, but what the command line asked
// for can no longer happen: the program ends with failure instead of waiting.
TEST(CliPeersFailures, PeerCancelOfIncomingListEndsPendingReceive) {
    using namespace relvane;
    RawPeer raw;
    QTemporaryDir in;
    Peer p(ConnectArgs(raw.Port, {QStringLiteral("--recv-dir"), in.path(),
                                  QStringLiteral("--quit-after-receive")}));
    HandshakeAsListener(raw, p);
    StartIncomingList(raw, p);
    raw.Send(Notice(1, Type::Cancel, Format::FmtNone, NonePayload()));
    ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs)) << p.Log();
    EXPECT_EQ(p.Code(), 1) << p.Log();
    EXPECT_TRUE(p.ErrHas(QStringLiteral("中止しました"))) << p.Log();
    EXPECT_TRUE(QFileInfo::exists(QDir(in.path()).filePath(QStringLiteral("表示.txt.Recv"))));
}

// The files that did not arrive are listed.
TEST(CliPeersFailures, PeerCancelOfOwnListEndsPendingSend) {
    using namespace relvane;
    RawPeer raw;
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("ソフト.txt"));
    const QString second = dir.filePath(QStringLiteral("second.txt"));
    WriteFile(file, RandomBytes(5000, 5));
    WriteFile(second, RandomBytes(10, 6));
    Peer p(ConnectArgs(raw.Port, {QStringLiteral("--quit-after-send"), file, second}));
    HandshakeAsListener(raw, p);
    ASSERT_TRUE(raw.Expect(Kind::Request, Type::SendRequest)) << p.Log();
    raw.Send(BuildFrame(ControlSlot, Kind::Reply, Type::SendAccept, Format::FmtNumber, "0"));
    // The connecting side sends through slot 0.
    const auto name = raw.Expect(Kind::Notice, Type::FileName);
    ASSERT_TRUE(name) << p.Log();
    EXPECT_EQ(FromShiftJis(*name), QStringLiteral("ソフト.txt"));
    raw.Send(Notice(0, Type::Cancel, Format::FmtNone, NonePayload()));
    ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, ProcessDeadlineMs)) << p.Log();
    EXPECT_EQ(p.Code(), 1) << p.Log();
    EXPECT_TRUE(p.ErrHas(QStringLiteral("中止しました"))) << p.Log();
    EXPECT_TRUE(
        p.ErrHas(QStringLiteral("送信できなかったファイル:\n  %1\n  %2\n").arg(file, second)))
        << p.Log();
}

// The peer holds the first 1000 bytes: the progress line says so.
TEST(CliPeersProgress, ResumedFileShowsItsOffset) {
    using namespace relvane;
    RawPeer raw;
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("ソフト.txt"));
    WriteFile(file, RandomBytes(3000, 7));
    Peer p(ConnectArgs(raw.Port, {QStringLiteral("--verbose"), file}));
    HandshakeAsListener(raw, p, true);
    ASSERT_TRUE(raw.Expect(Kind::Request, Type::SendRequest)) << p.Log();
    raw.Send(BuildFrame(ControlSlot, Kind::Reply, Type::SendAccept, Format::FmtNumber, "0"));
    ASSERT_TRUE(raw.Expect(Kind::Request, Type::ResumeOffset)) << p.Log();
    raw.Send(BuildFrame(0, Kind::Reply, Type::ResumeOffset, Format::FmtNumber, "1000"));
    ASSERT_TRUE(raw.Expect(Kind::Notice, Type::Checksum)) << p.Log();
    raw.Send(BuildFrame(0, Kind::Reply, Type::Ack, Format::FmtFlag, FlagPayload(true)));
    // The file's own Ack never comes: the transfer stays on the screen.
    EXPECT_TRUE(WaitFor([&] { return p.ErrHas(QStringLiteral("resuming ソフト.txt at 1000 B")); },
                        ProcessDeadlineMs))
        << p.Log();
}

// A second peer is turned away while the first one is served.
TEST(CliPeersFailures, SecondPeerIsClosedAtOnce) {
    const int port = FreePort();
    auto listener = StartListener(port, {});
    Peer first(ConnectArgs(port, {}));
    ASSERT_TRUE(
        WaitFor([&] { return listener->ErrHas(QStringLiteral("connected")); }, ProcessDeadlineMs))
        << listener->Log();

    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    pollfd pfd{fd, POLLIN, 0};
    ASSERT_TRUE(WaitFor([&] { return ::poll(&pfd, 1, 0) > 0; }, ProcessDeadlineMs));
    char c;
    EXPECT_LE(::recv(fd, &c, 1, 0), 0); // closed without a word
    ::close(fd);

    // The first connection still works.
    first.P.Write("still here\n");
    EXPECT_TRUE(WaitFor([&] { return listener->OutHas(QStringLiteral("NoName: still here")); },
                        ProcessDeadlineMs))
        << listener->Log() << first.Log();
    first.P.CloseWrite();
    ASSERT_TRUE(
        WaitFor([&] { return listener->Finished() && first.Finished(); }, ProcessDeadlineMs));
    EXPECT_EQ(first.Code(), 0) << first.Log();
    EXPECT_EQ(listener->Code(), 0) << listener->Log();
}

// A name of 83 kanji is 170 bytes on the wire but 253 in UTF-8 here: the
// partial ".Recv" name would be too long for the file system.
TEST(CliPeersNames, LongKanjiNameArrives) {
    const int port = FreePort();
    FileSet files;
    files.Add(QString(83, QChar(0x6F22)) + QStringLiteral(".txt"), RandomBytes(3000, 6));
    QTemporaryDir in;
    auto listener = StartListener(
        port, {QStringLiteral("--recv-dir"), in.path(), QStringLiteral("--quit-after-receive")});
    Peer sender(ConnectArgs(port, QStringList{QStringLiteral("--quit-after-send")} + files.Paths));
    ASSERT_TRUE(WaitFor([&] { return sender.Finished(); }, ProcessDeadlineMs)) << sender.Log();
    ASSERT_EQ(sender.Code(), 0) << sender.Log();
    ASSERT_TRUE(WaitFor([&] { return listener->Finished(); }, ProcessDeadlineMs))
        << listener->Log();
    EXPECT_EQ(listener->Code(), 0) << listener->Log();
    files.ExpectArrivedIn(in.path());
}

// Port scanners and peers that give up: neither stops a listener from
// serving the real peer that comes afterwards.
TEST(CliPeersFailures, ProbesDoNotEndListening) {
    const int port = FreePort();
    auto listener = StartListener(port, {QStringLiteral("--answer-timeout"),
                                         QString::number(relvane::test::SlowBuildFactor)});
    const auto dropped = [&](int count) {
        return WaitFor([&] { return listener->Err.count("waiting for the next one") >= count; },
                       ProcessDeadlineMs);
    };
    ::close(ConnectRaw(port)); // closes at once
    ASSERT_TRUE(dropped(1)) << listener->Log();
    const int silent = ConnectRaw(port); // never answers
    ASSERT_TRUE(dropped(2)) << listener->Log();
    ::close(silent);

    Peer real(ConnectArgs(port, {QStringLiteral("--name"), QStringLiteral("real")}));
    real.P.Write("served\n");
    EXPECT_TRUE(WaitFor([&] { return listener->OutHas(QStringLiteral("real: served")); },
                        ProcessDeadlineMs))
        << listener->Log() << real.Log();
    real.P.CloseWrite();
    ASSERT_TRUE(
        WaitFor([&] { return listener->Finished() && real.Finished(); }, ProcessDeadlineMs));
    EXPECT_EQ(real.Code(), 0) << real.Log();
    EXPECT_EQ(listener->Code(), 0) << listener->Log();
}

// Ctrl-C while the worker is stuck sending a chat line to a peer that stopped
// reading: the program leaves at once and cleanly.
TEST(CliPeersFailures, InterruptWhileChatIsStalled) {
    RawPeer raw;
    // The line is converted whole: see BULK_TEXT in tests/CMakeLists.txt.
    QStringList env;
    if (relvane::test::UnderThreadSanitizer)
        env << QStringLiteral("TSAN_OPTIONS=%1 ignore_interceptors_accesses=1")
                   .arg(qEnvironmentVariable("TSAN_OPTIONS"));
    Peer p(ConnectArgs(raw.Port, {}), env);
    HandshakeAsListener(raw, p);
    p.P.Write(QByteArray(17 * 1024 * 1024, 'x') + '\n');
    ASSERT_TRUE(WaitFor([&] { return raw.Unread() > 64 * 1024; }, ProcessDeadlineMs)) << p.Log();
    ::kill(p.P.ProcessId(), SIGINT);
    // Well within the time a stalled send may take before it fails by itself.
    ASSERT_TRUE(WaitFor([&] { return p.Finished(); }, 20000)) << p.Log();
    EXPECT_EQ(p.Code(), 128 + SIGINT) << p.Log();
}

} // namespace
