// The connection worker against an in-memory connection and a recording host:
// the handshake run inside it, the receive loop, chat, how lists and the
// connection end, the waits, and runs on a real thread.

#include "net/socket.h"
#include "platform/sjis.h"
#include "protocol/handshake.h"
#include "protocol/worker.h"
#include "tests/support/fakes.h"
#include "tests/support/wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <tuple>

#include <poll.h>

using namespace relvane;
using namespace relvane::test;

// Read by ThreadSanitizer at start-up. Qt is not built for it, so QThread's
// own hand-over at the end of a thread (a wait condition woken on the worker,
// destroyed with the thread object here) looks like a race to it.
extern "C" const char* __tsan_default_suppressions() {
    return "race:QWaitCondition::~QWaitCondition\n";
}

namespace {

QByteArray Frame(std::uint8_t slot, Kind kind, Type type, Format format, QByteArrayView payload) {
    return BuildFrame(slot, kind, type, format, payload);
}
QByteArray Control(Kind kind, Type type, Format format, QByteArrayView payload) {
    return Frame(ControlSlot, kind, type, format, payload);
}
QByteArray ChatNotice(const QString& text) {
    return ChatFrame(text);
}

// A header alone, with any Length.
QByteArray HeaderOnly(std::int32_t length) {
    QByteArray h = Frame(0, Kind::Notice, Type::FileData, Format::FmtBinary, {});
    const auto n = static_cast<std::uint32_t>(length);
    for (int i = 0; i < 4; ++i)
        h[3 + i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    return h;
}

struct WorkerFixture : ::testing::Test {
    std::shared_ptr<FakeConnection> Conn = std::make_shared<FakeConnection>();
    FakeHost Host;
    std::unique_ptr<ConnectionWorker> Worker;

    // At the host's stage 4 the handshake counts as done.
    void Make(int side, bool resume = false, bool compress = false) {
        Worker = MakeWorker(Host, Conn, side, resume, compress);
    }
    // Feeds bytes and runs one pass; the pass's result.
    bool Deliver(const QByteArray& bytes) {
        Conn->Feed(bytes);
        return Worker->Pass(0);
    }
    std::vector<SentFrame> Sent() { return SplitFrames(Conn->TakeSent()); }
};

// ---------------------------------------------------------------------------
// Handshake (the object itself: handshake_test.cpp)

TEST_F(WorkerFixture, ListeningWorkerSendsEachRequestAfterEachReplyAndTakesTheSwitches) {
    Host.Compress = Host.Resume = true;
    Make(0);
    ASSERT_TRUE(Worker->Pass(0));
    EXPECT_EQ(Conn->TakeSent(), VersionRequestFrame());
    ASSERT_TRUE(Deliver(Control(Kind::Reply, Type::Version, Format::FmtNumber, "5")));
    EXPECT_EQ(Conn->TakeSent(), NameExchangeFrame(false, QStringLiteral("tester")));
    ASSERT_TRUE(Deliver(NameExchangeFrame(true, QStringLiteral("相手"))));
    EXPECT_EQ(Conn->TakeSent(), CompressFrame(false, true));
    ASSERT_TRUE(Deliver(CompressFrame(true, true)));
    EXPECT_EQ(Conn->TakeSent(), ResumeFrame(false, true));
    ASSERT_TRUE(Deliver(ResumeFrame(true, true)));
    EXPECT_TRUE(Conn->TakeSent().isEmpty());

    EXPECT_EQ(Host.Calls,
              QStringList({"SetStage:1", "SetStage:2", "SetStage:3", "SetStage:5", "SetStage:4"}));
    EXPECT_EQ(Host.Peer, QStringLiteral("相手"));
    EXPECT_TRUE(Worker->CompressOn());
    EXPECT_TRUE(Worker->ResumeOn());
    EXPECT_TRUE(Worker->SharedProgress()->CompressOn.load());
}

// A connection that never finishes the handshake cannot show chat lines or
// start a transfer.
TEST_F(WorkerFixture, BeforeTheHandshakeOnlyItsFramesCount) {
    const QByteArray others =
        ChatNotice(QStringLiteral("早い")) + SendRequestFrame() +
        Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, "0") +
        Frame(0, Kind::Notice, Type::LastIndex, Format::FmtNumber, "0") +
        Frame(1, Kind::Notice, Type::Cancel, Format::FmtNone, QByteArray(1, 0)) +
        Frame(0, Kind::Reply, Type::Ack, Format::FmtFlag, "1");
    for (const int side : {0, 1}) {
        Host = FakeHost();
        Conn = std::make_shared<FakeConnection>();
        Make(side);
        Worker->RequestSend({});
        ASSERT_TRUE(Worker->Pass(0));
        Conn->TakeSent(); // the Version Request of a listening side, and the send request
        EXPECT_TRUE(Deliver(others)) << side;
        EXPECT_EQ(Host.Calls, QStringList({"SetStage:1"})) << side;
        EXPECT_FALSE(Host.HandshakeHasFailed) << side;
        EXPECT_TRUE(Conn->TakeSent().isEmpty()) << side;
    }
}

TEST_F(WorkerFixture, HandshakeFailuresEndTheWorker) {
    const std::tuple<const char*, QByteArray, HandshakeFailure> cases[] = {
        {"asks back", VersionRequestFrame(), HandshakeFailure::OutOfTurn},
        {"stalls", QByteArray(), HandshakeFailure::TimedOut},
    };
    for (const auto& [name, frames, why] : cases) {
        Host = FakeHost();
        Conn = std::make_shared<FakeConnection>();
        WorkerSettings settings;
        settings.HandshakeLimit = std::chrono::milliseconds(50);
        Worker = std::make_unique<ConnectionWorker>(Host, nullptr, Conn, Role::Listening,
                                                    std::move(settings));
        Conn->Feed(frames);
        // Each pass waits for the peer at most until the limit.
        int passes = 0;
        while (Worker->Pass() && ++passes < 100) {
        }
        EXPECT_TRUE(Host.HandshakeHasFailed) << name;
        EXPECT_EQ(Host.FailedWhy, why) << name;
        EXPECT_LT(passes, 100) << name;
    }
}

// ---------------------------------------------------------------------------
// Receive loop

TEST_F(WorkerFixture, BytesArrivingOneAtATimeMakeOneFrameEach) {
    Host.StageNo = 4;
    Host.Peer = QStringLiteral("相手");
    Make(1);
    const QByteArray stream = ChatNotice(QStringLiteral("こんにちは")) +
                              Frame(ControlSlot, Kind::Notice, Type::Chat, Format::FmtText, {});
    for (qsizetype i = 0; i < stream.size(); ++i) {
        ASSERT_TRUE(Deliver(stream.mid(i, 1)));
        // Nothing is dispatched before its last byte is in.
        const qsizetype firstEnd = ChatNotice(QStringLiteral("こんにちは")).size();
        if (i + 1 < firstEnd) {
            EXPECT_TRUE(Host.Chats.empty());
        }
    }
    ASSERT_EQ(Host.Chats.size(), 2u);
    EXPECT_EQ(Host.Chats[0], std::make_pair(QStringLiteral("相手"), QStringLiteral("こんにちは")));
    EXPECT_EQ(Host.Chats[1].second, QString()); // a Length 0 frame is dispatched too
}

TEST_F(WorkerFixture, ChatTextIsCutAtAZeroByte) {
    Host.StageNo = 4;
    Make(1);
    ASSERT_TRUE(
        Deliver(Control(Kind::Notice, Type::Chat, Format::FmtText, QByteArray("ab\0cd", 5))));
    ASSERT_EQ(Host.Chats.size(), 1u);
    EXPECT_EQ(Host.Chats[0].second, QStringLiteral("ab"));
}

TEST_F(WorkerFixture, SeveralFramesInOnePassAreAllDispatchedBeforeThePump) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.txt"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("hello");
    f.close();
    Host.StageNo = 4;
    Make(1);
    Worker->RequestSend({path});
    EXPECT_TRUE(Conn->TakeSent().isEmpty()); // queued, never sent on the caller's thread
    ASSERT_TRUE(Worker->Pass(0));
    EXPECT_EQ(Conn->TakeSent(), QByteArray::fromHex("ff020e010000000400"));

    // The accept starts the sending slot; the pump may act only after both lines.
    ASSERT_TRUE(Deliver(Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, "0") +
                        ChatNotice(QStringLiteral("一")) + ChatNotice(QStringLiteral("二"))));
    EXPECT_EQ(Host.Calls, QStringList({"ListStarted:Send:1", "Chat:一", "Chat:二",
                                       "FileStarted:Send:" + path}));
}

TEST_F(WorkerFixture, UnknownAndMisaddressedFramesAreIgnored) {
    Host.StageNo = 4;
    Make(1);
    QByteArray junk;
    junk += Frame(ControlSlot, static_cast<Kind>(1), Type::Chat, Format::FmtText, "x");
    junk += Frame(ControlSlot, static_cast<Kind>(4), Type::Chat, Format::FmtText, "x");
    junk += Frame(ControlSlot, Kind::Notice, static_cast<Type>(17), Format::FmtText, "x");
    junk += Frame(ControlSlot, Kind::Notice, Type::Version, Format::FmtNumber, "5");
    junk += Frame(ControlSlot, Kind::Request, Type::Disconnect, Format::FmtNone, QByteArray(1, 0));
    junk += Frame(2, Kind::Notice, Type::Cancel, Format::FmtNone, QByteArray(1, 0));
    junk += Frame(ControlSlot, Kind::Reply, Type::Ack, Format::FmtFlag, "0");
    ASSERT_TRUE(Deliver(junk));
    EXPECT_TRUE(Host.Calls.isEmpty());
    EXPECT_TRUE(Host.Errors.isEmpty());
    EXPECT_FALSE(Host.HandshakeHasFailed);
    EXPECT_TRUE(Conn->TakeSent().isEmpty());
}

TEST_F(WorkerFixture, HostileLengthEndsTheConnectionWithoutAllocating) {
    for (const std::int32_t length : {-1, MaxPayload + 1, std::numeric_limits<std::int32_t>::max(),
                                      std::numeric_limits<std::int32_t>::min()}) {
        Host = FakeHost();
        Host.StageNo = 4;
        Conn = std::make_shared<FakeConnection>();
        Make(1);
        EXPECT_FALSE(Deliver(HeaderOnly(length) + ChatNotice(QStringLiteral("x"))));
        EXPECT_EQ(Host.Calls,
                  QStringList({QStringLiteral("Failed:不正なフレーム長 %1").arg(length)}));
    }
}

TEST_F(WorkerFixture, LargestLengthIsAcceptedAndWaitsForItsPayload) {
    Make(1);
    EXPECT_TRUE(Deliver(HeaderOnly(MaxPayload)));
    EXPECT_TRUE(Deliver(QByteArray(1000, 'x')));
    EXPECT_TRUE(Host.Errors.isEmpty());
}

TEST_F(WorkerFixture, ListEndThatKeepsTheConnectionKeepsTheStreamInStep) {
    Host.StageNo = 4;
    Make(1);
    ASSERT_TRUE(
        Deliver(Control(Kind::Request, Type::SendRequest, Format::FmtNone, QByteArray(1, 0))));
    // The sender's Cancel ends its handler; the line behind it is intact.
    EXPECT_TRUE(Deliver(Frame(1, Kind::Notice, Type::Cancel, Format::FmtNone, QByteArray(1, 0)) +
                        ChatNotice(QStringLiteral("後"))));
    ASSERT_EQ(Host.Ends.size(), 1u);
    EXPECT_EQ(Host.Ends[0].first, Direction::Receive);
    EXPECT_EQ(Host.Ends[0].second,
              (ListEnd{Outcome::CancelledByPeer, ErrorKind::Cancelled, "中止しました", true}));
    EXPECT_TRUE(Worker->Pass(0));
    ASSERT_EQ(Host.Chats.size(), 1u);
    EXPECT_EQ(Host.Chats[0].second, QStringLiteral("後"));
}

// A fatal error ends the open list first, then the connection.
TEST_F(WorkerFixture, FatalErrorEndsTheOpenListThenTheConnection) {
    Host.StageNo = 4;
    Make(1);
    ASSERT_TRUE(
        Deliver(Control(Kind::Request, Type::SendRequest, Format::FmtNone, QByteArray(1, 0))));
    EXPECT_FALSE(Deliver(Frame(1, Kind::Notice, Type::LastIndex, Format::FmtNumber, "abc") +
                         ChatNotice(QStringLiteral("後"))));
    const QString text = QStringLiteral("'abc' は整数ではありません");
    EXPECT_EQ(Host.Calls,
              QStringList({"ListStarted:Receive:0", "ListEnded:Receive:Failed", "Failed:" + text}));
    EXPECT_EQ(Host.Ends.at(0).second, (ListEnd{Outcome::Failed, ErrorKind::Failure, text, false}));
    // A worker that has ended handles nothing more.
    EXPECT_FALSE(Worker->Pass(0));
    EXPECT_TRUE(Host.Chats.empty());
}

// A connection whose reads fail hard, as a reset peer's do.
class FailingConnection : public FakeConnection {
public:
    int ReceiveBytes(void*, int) override { throw SocketApiError(ECONNRESET, "recv"); }
};

TEST(WorkerSocketFailure, IsShownAndEndsTheConnection) {
    auto conn = std::make_shared<FailingConnection>();
    conn->Feed(ChatNotice(QStringLiteral("x")));
    FakeHost host;
    host.StageNo = 4;
    const auto worker = MakeWorker(host, conn, 1);
    EXPECT_FALSE(worker->Pass(0));
    ASSERT_EQ(host.Errors.size(), 1);
    EXPECT_EQ(host.Errors[0], QStringLiteral("Windows ソケットエラー： %1 (%2) [API 'recv']")
                                  .arg(QString::fromLocal8Bit(strerror(ECONNRESET)))
                                  .arg(ECONNRESET));
}

TEST_F(WorkerFixture, LostConnectionEndsTheLoop) {
    Host.StageNo = 4;
    Make(1);
    EXPECT_TRUE(Worker->Pass(0));
    Conn->Disconnect();
    EXPECT_FALSE(Worker->Pass(0));
    EXPECT_EQ(Host.Calls, QStringList({"PeerClosed"}));
}

// The peer closes right after a block that does not inflate: the list fails
// with the block's error, never ends well, and nothing of the close hides it.
TEST_F(WorkerFixture, CorruptBlockThenCloseFailsTheList) {
    QTemporaryDir dir;
    Host.StageNo = 4;
    Host.Folder = dir.path();
    Make(0, false, true);
    Conn->Feed(SendRequestFrame() +
               Frame(0, Kind::Notice, Type::LastIndex, Format::FmtNumber, "0") +
               Frame(0, Kind::Notice, Type::FileName, Format::FmtText, "z.bin") +
               Frame(0, Kind::Notice, Type::FileSize, Format::FmtNumber, "5000") +
               Frame(0, Kind::Notice, Type::FileData, Format::FmtBinary, "not a zlib stream"));
    Conn->CloseAfterData();
    for (int i = 0; i < 10 && Worker->Pass(0); ++i) {
    }
    EXPECT_EQ(Host.Calls, QStringList({"ListStarted:Receive:0", "FileStarted:Receive:z.bin",
                                       "ListEnded:Receive:Failed", "Failed:error"}));
    EXPECT_EQ(Host.Ends.at(0).second,
              (ListEnd{Outcome::Failed, ErrorKind::Failure, "error", false}));
}

// A close mid-list ends the list after everything the peer sent before it.
TEST_F(WorkerFixture, PeersCloseMidListEndsTheListAfterItsLastFrames) {
    QTemporaryDir dir;
    Host.StageNo = 4;
    Host.Folder = dir.path();
    Make(0);
    const auto notice = [](Type type, Format format, QByteArrayView payload) {
        return Frame(0, Kind::Notice, type, format, payload);
    };
    Conn->Feed(SendRequestFrame() + notice(Type::LastIndex, Format::FmtNumber, "1") +
               notice(Type::FileName, Format::FmtText, "a.txt") +
               notice(Type::FileSize, Format::FmtNumber, "3") +
               notice(Type::FileData, Format::FmtBinary, "abc") +
               notice(Type::End, Format::FmtNone, NonePayload()) +
               ChatNotice(QStringLiteral("さようなら")));
    Conn->CloseAfterData();
    for (int i = 0; i < 10 && Worker->Pass(0); ++i) {
    }
    EXPECT_EQ(Host.Calls,
              QStringList({"ListStarted:Receive:0", "FileStarted:Receive:a.txt",
                           "FileEnded:Receive:" + dir.filePath("a.txt"), "Chat:さようなら",
                           "ListEnded:Receive:Failed", "PeerClosed"}));
    EXPECT_EQ(Host.Ends.at(0).second,
              (ListEnd{Outcome::Failed, ErrorKind::Disconnected, "切断しました", false}));
}

// Mid-frame nothing is handled; a close found then must not drop what the
// peer sent before it.
TEST_F(WorkerFixture, PeersCloseWhileAFrameIsHalfSentStillHandlesItsLastFrames) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.bin"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(QByteArray(200 * 1024, 'x')) > 0);
    f.close();
    Host.StageNo = 4;
    Make(1);
    Conn->PartLimit = 1500; // cuts a run of blocks mid-frame
    Worker->RequestSend({path});
    ASSERT_TRUE(Worker->Pass(0));
    ASSERT_TRUE(Deliver(Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, "0")));
    ASSERT_TRUE(Worker->Pass(0)); // the first blocks; the rest of one waits
    Conn->Writable = false;
    Conn->Feed(ChatNotice(QStringLiteral("さようなら")));
    Conn->CloseAfterData();
    for (int i = 0; i < 10 && Worker->Pass(0); ++i) {
    }
    EXPECT_EQ(Host.Calls.mid(2),
              QStringList({"Chat:さようなら", "ListEnded:Send:Failed", "PeerClosed"}));
}

TEST_F(WorkerFixture, SendAgainstAPeerThatNeverReadsGivesUpOnTerminate) {
    Host.StageNo = 4;
    Make(1);
    Conn->Writable = false;
    Worker->RequestTerminate();
    Worker->RequestSend({});
    EXPECT_FALSE(Worker->Pass(0));
}

// ---------------------------------------------------------------------------
// Waiting between passes: only when nothing can run before the peer acts,
// another thread queues a frame or the end is asked for; then on all of them
// at once, never in short polling steps.

TEST_F(WorkerFixture, FramesTakenInPiecesNeverMix) {
    // A connection that takes odd-sized pieces cuts runs of blocks mid-frame;
    // chat lines queued meanwhile must still go between whole frames.
    QTemporaryDir dir;
    const QString path = dir.filePath("a");
    QByteArray bytes(300 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7 + i / 1024);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size());
    f.close();
    Host.StageNo = 4;
    Make(1);
    Conn->PartLimit = 1500;
    Worker->RequestSend({path});
    Worker->Pass(0);
    Deliver(Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, "0"));
    QByteArray all;
    for (int i = 0; i < 100000 && !all.endsWith(BuildFrame(0, Kind::Notice, Type::End,
                                                           Format::FmtNone, NonePayload()));
         ++i) {
        if (i % 7 == 0) Worker->QueueFrame(ChatNotice(QString::number(i)));
        Worker->Pass(0);
        all += Conn->TakeSent();
    }
    QByteArray data;
    int chats = 0;
    for (const SentFrame& frame : SplitFrames(all)) {
        if (frame.Header.Type == static_cast<int>(Type::FileData)) data += frame.Payload;
        if (frame.Header.Type == static_cast<int>(Type::Chat)) {
            ++chats;
            EXPECT_TRUE(frame.Payload.front() >= '0' && frame.Payload.front() <= '9');
        }
    }
    EXPECT_TRUE(data == bytes);
    EXPECT_GT(chats, 10);
}

TEST_F(WorkerFixture, PassWaitsOnlyWhenNothingCanRunAndThenOnEverySource) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("a.bin"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(200 * 1024, 'x')); // more than one pass sends
    f.close();
    const auto sending = [&](WorkerFixture& w) { // the sender's slot in SendData
        w.Worker->RequestSend({path});
        w.Worker->Pass(0);
        w.Deliver(Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, "0"));
        ASSERT_EQ(w.Worker->Slot(0).State, SlotState::SendData);
    };
    struct Case {
        const char* Name;
        std::function<void(WorkerFixture&)> Setup;
        bool Waits;
        bool ForRoom; // the wait also ends when the connection takes bytes
    };
    const Case cases[] = {
        {"quiet connection", [](WorkerFixture&) {}, true, false},
        {"half a frame in",
         [](WorkerFixture& w) { w.Conn->Feed(ChatNotice(QStringLiteral("x")).left(5)); }, true,
         false},
        {"a block to send", sending, false, false},
        {"peer stopped reading",
         [&](WorkerFixture& w) {
             sending(w);
             w.Conn->Writable = false;
         },
         true, true},
        {"queued frame, no room",
         [](WorkerFixture& w) {
             w.Conn->Writable = false;
             w.Worker->QueueFrame(ChatNotice(QStringLiteral("x")));
         },
         true, true},
    };
    for (const Case& c : cases) {
        Host = FakeHost();
        Host.StageNo = 4;
        Conn = std::make_shared<FakeConnection>();
        Conn->WaitBlocks = false;
        Make(1);
        c.Setup(*this);
        Conn->Waits = 0;
        EXPECT_TRUE(Worker->Pass()) << c.Name;
        EXPECT_EQ(Conn->Waits.load(), c.Waits ? 1 : 0) << c.Name;
        if (!c.Waits) continue;
        EXPECT_GE(Conn->LastWait.TimeoutMs, 1000) << c.Name;
        EXPECT_GE(Conn->LastWait.WakeFd, 0) << c.Name;
        EXPECT_EQ(Conn->LastWait.Writable, c.ForRoom) << c.Name;
    }
}

TEST_F(WorkerFixture, OtherThreadsWakeTheWaitingLoop) {
    const std::pair<const char*, std::function<void(ConnectionWorker&)>> wakers[] = {
        {"queued frame", [](ConnectionWorker& w) { w.QueueFrame(ChatNotice("x")); }},
        {"send request", [](ConnectionWorker& w) { w.RequestSend({}); }},
        {"terminate request", [](ConnectionWorker& w) { w.RequestTerminate(); }},
    };
    Host.StageNo = 4;
    Make(1);
    Conn->WaitBlocks = false;
    for (const auto& [name, wake] : wakers) {
        Worker->Pass();
        const auto woken = [fd = Conn->LastWait.WakeFd] {
            pollfd p{fd, POLLIN, 0};
            return ::poll(&p, 1, 0) == 1;
        };
        EXPECT_FALSE(woken()) << name;
        wake(*Worker);
        EXPECT_TRUE(woken()) << name;
    }
}

// ---------------------------------------------------------------------------
// On a real thread, events run on the test's (user-interface) thread.

class ThreadHost : public FakeHost {
public:
    QObject Ui; // lives on the test's thread
    bool CalledOffUiThread = false;
    void ChatReceived(const QString& text) override {
        Check();
        FakeHost::ChatReceived(text);
    }
    void ListEnded(Direction d, const ListEnd& end) override {
        Check();
        FakeHost::ListEnded(d, end);
    }
    void ConnectionFailed(ErrorKind kind, const QString& text) override {
        Check();
        FakeHost::ConnectionFailed(kind, text);
    }

private:
    void Check() {
        if (QThread::currentThread() != Ui.thread()) CalledOffUiThread = true;
    }
};

TEST(WorkerThread, RunsEventsOnTheUiThreadAndStopsOnRequest) {
    auto conn = std::make_shared<FakeConnection>();
    ThreadHost host;
    host.StageNo = 4;
    const auto worker = MakeWorker(host, conn, 1, false, false, 0, &host.Ui);
    worker->Start();
    conn->Feed(ChatNotice(QStringLiteral("一")) + ChatNotice(QStringLiteral("二")));
    ASSERT_TRUE(WaitFor([&] { return host.Chats.size() == 2; }));
    EXPECT_EQ(host.Chats[1].second, QStringLiteral("二"));

    // A cancel keeps the loop going.
    conn->Feed(Control(Kind::Request, Type::SendRequest, Format::FmtNone, QByteArray(1, 0)) +
               Frame(1, Kind::Notice, Type::Cancel, Format::FmtNone, QByteArray(1, 0)));
    ASSERT_TRUE(WaitFor([&] { return host.Ends.size() == 1; }));
    EXPECT_FALSE(worker->isFinished());

    worker->RequestTerminate();
    ASSERT_TRUE(WaitFor([&] { return worker->isFinished(); }));
    EXPECT_FALSE(host.CalledOffUiThread);
    EXPECT_EQ(host.Errors, QStringList({"中止しました"}));
}

TEST(WorkerThread, ErrorEndsTheLoopByItself) {
    auto conn = std::make_shared<FakeConnection>();
    ThreadHost host;
    const auto worker = MakeWorker(host, conn, 1, false, false, 0, &host.Ui);
    worker->Start();
    conn->Feed(HeaderOnly(-5));
    ASSERT_TRUE(WaitFor([&] { return worker->isFinished() && !host.Errors.isEmpty(); }));
    EXPECT_EQ(host.Errors, QStringList({"不正なフレーム長 -5"}));
}

// Events noted but not yet run when the worker goes are dropped: its owner
// hears nothing from a worker it has destroyed.
TEST(WorkerThread, NoEventAfterTheWorkerIsDestroyed) {
    auto conn = std::make_shared<FakeConnection>();
    ThreadHost host;
    host.StageNo = 4;
    auto worker = MakeWorker(host, conn, 1, false, false, 0, &host.Ui);
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += ChatNotice(QString::number(i));
    conn->Feed(lines);
    worker->Start();
    // Read (and its lines noted) without this thread running any event.
    QDeadlineTimer deadline(5000);
    while (conn->BytesWaiting() > 0 && !deadline.hasExpired())
        QThread::usleep(200);
    worker.reset();
    QCoreApplication::processEvents();
    EXPECT_TRUE(host.Chats.empty());
}

} // namespace
