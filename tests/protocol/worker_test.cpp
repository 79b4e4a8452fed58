// The connection worker against an in-memory connection and a recording host:
// the receive loop, the handshake answers and replies, chat, the error step,
// and one run on a real thread.

#include "net/socket.h"
#include "platform/sjis.h"
#include "protocol/handshake.h"
#include "protocol/worker.h"
#include "tests/support/fakes.h"
#include "tests/support/wait.h"

#include <QCoreApplication>
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

// Chat lines go into Calls too, so their order against other calls shows.
class OrderedHost : public FakeHost {
public:
    void ShowChat(const QString& peer, const QString& text) override {
        FakeHost::ShowChat(peer, text);
        Calls << QStringLiteral("ShowChat:") + text;
    }
};

struct WorkerFixture : ::testing::Test {
    std::shared_ptr<FakeConnection> Conn = std::make_shared<FakeConnection>();
    OrderedHost Host;
    std::unique_ptr<ConnectionWorker> Worker;

    void Make(int side, bool resume = false, bool compress = false) {
        Worker = std::make_unique<ConnectionWorker>(Host, Conn, side, resume, compress);
    }
    // Feeds bytes and runs one pass; the pass's result.
    bool Deliver(const QByteArray& bytes) {
        Conn->Feed(bytes);
        return Worker->Pass(0);
    }
    std::vector<SentFrame> Sent() { return SplitFrames(Conn->TakeSent()); }
};

// ---------------------------------------------------------------------------
// Handshake

// (own setting, peer's setting) for compression; resume takes them swapped,
// so each of the four combinations is seen by both switches.
class HandshakeCombos : public WorkerFixture,
                        public ::testing::WithParamInterface<std::tuple<bool, bool>> {};

TEST_P(HandshakeCombos, ConnectingSideAnswersEveryRequestAndMovesTheStage) {
    const auto [own, peer] = GetParam();
    Host.Compress = own;
    Host.Resume = peer;
    Host.User = QStringLiteral("受信者");
    Make(1);

    ASSERT_TRUE(Deliver(VersionRequestFrame()));
    EXPECT_EQ(Conn->TakeSent(), QByteArray::fromHex("ff030501000000"
                                                    "0135"));
    EXPECT_EQ(Host.StageNo, 2);

    ASSERT_TRUE(Deliver(NameExchangeFrame(false, QStringLiteral("送信者"))));
    EXPECT_EQ(Conn->TakeSent(), NameExchangeFrame(true, QStringLiteral("受信者")));
    EXPECT_EQ(Host.Peer, QStringLiteral("送信者"));
    EXPECT_EQ(Host.StageNo, 3);

    ASSERT_TRUE(Deliver(CompressFrame(false, peer)));
    EXPECT_EQ(Conn->TakeSent(), CompressFrame(true, own));
    EXPECT_EQ(Host.StageNo, 5);

    ASSERT_TRUE(Deliver(ResumeFrame(false, own)));
    EXPECT_EQ(Conn->TakeSent(), ResumeFrame(true, peer));
    EXPECT_EQ(Host.StageNo, 4);

    EXPECT_EQ(Worker->CompressOn(), own && peer);
    EXPECT_EQ(Worker->ResumeOn(), own && peer);
    EXPECT_EQ(Worker->SharedProgress()->CompressOn.load(), own && peer);
    EXPECT_FALSE(Host.HandshakeFailed);
    EXPECT_EQ(Host.Calls, QStringList({"SetStage:2", "SetStage:3", "SetStage:5", "SetStage:4"}));
    EXPECT_TRUE(Host.Errors.isEmpty());
}

TEST_P(HandshakeCombos, ListeningSideTakesEveryReply) {
    const auto [own, peer] = GetParam();
    Host.Compress = own;
    Host.Resume = peer;
    Make(0);

    ASSERT_TRUE(Deliver(Control(Kind::Reply, Type::Version, Format::FmtNumber, "5")));
    EXPECT_EQ(Host.StageNo, 2);
    ASSERT_TRUE(Deliver(NameExchangeFrame(true, QStringLiteral("相手"))));
    EXPECT_EQ(Host.Peer, QStringLiteral("相手"));
    EXPECT_EQ(Host.StageNo, 3);
    ASSERT_TRUE(Deliver(CompressFrame(true, peer)));
    EXPECT_EQ(Host.StageNo, 5);
    ASSERT_TRUE(Deliver(ResumeFrame(true, own)));
    EXPECT_EQ(Host.StageNo, 4);

    EXPECT_EQ(Worker->CompressOn(), own && peer);
    EXPECT_EQ(Worker->ResumeOn(), own && peer);
    EXPECT_FALSE(Host.HandshakeFailed);
    EXPECT_TRUE(Conn->TakeSent().isEmpty()); // replies are not answered
}

INSTANTIATE_TEST_SUITE_P(AllSwitches, HandshakeCombos,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()));

TEST_F(WorkerFixture, SwitchPayloadOtherThanExactlyOneIsOff) {
    Host.Compress = true;
    Host.StageNo = 3;
    Make(1);
    ASSERT_TRUE(Deliver(Control(Kind::Request, Type::Compress, Format::FmtFlag, "2")));
    EXPECT_EQ(Host.StageNo, 5);
    EXPECT_FALSE(Worker->CompressOn());
}

TEST_F(WorkerFixture, VersionOtherThanFiveIsStillAnsweredThenFails) {
    for (const QByteArray& payload : {QByteArray("4"), QByteArray("abc")}) {
        Host = OrderedHost();
        Make(1);
        ASSERT_TRUE(Deliver(Control(Kind::Request, Type::Version, Format::FmtNumber, payload)));
        const auto sent = Sent();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].Payload, "5");
        EXPECT_EQ(sent[0].Header.Kind, 3);
        EXPECT_EQ(Host.StageNo, 2);
        EXPECT_TRUE(Host.HandshakeFailed) << payload.constData();
        EXPECT_TRUE(Host.Errors.isEmpty()); // a bad version is no worker error
    }
}

TEST_F(WorkerFixture, VersionReplyOtherThanFiveFails) {
    Make(0);
    ASSERT_TRUE(Deliver(Control(Kind::Reply, Type::Version, Format::FmtNumber, "6")));
    EXPECT_EQ(Host.StageNo, 1);
    EXPECT_TRUE(Host.HandshakeFailed);
}

TEST_F(WorkerFixture, RequestInTheWrongStageFailsWithoutReply) {
    const QByteArray requests[] = {VersionRequestFrame(),
                                   NameExchangeFrame(false, QStringLiteral("x")),
                                   CompressFrame(false, true), ResumeFrame(false, true)};
    const int rightStage[] = {1, 2, 3, 5};
    for (int i = 0; i < 4; ++i) {
        for (int stage : {1, 2, 3, 5, 4}) {
            if (stage == rightStage[i]) continue;
            Host = OrderedHost();
            Host.StageNo = stage;
            Make(1);
            ASSERT_TRUE(Deliver(requests[i]));
            EXPECT_TRUE(Host.HandshakeFailed) << "request " << i << " stage " << stage;
            EXPECT_TRUE(Conn->TakeSent().isEmpty());
            EXPECT_EQ(Host.StageNo, stage);
        }
    }
}

TEST_F(WorkerFixture, ReplyInTheWrongStageIsIgnored) {
    Host.StageNo = 4;
    Make(0);
    ASSERT_TRUE(Deliver(Control(Kind::Reply, Type::Version, Format::FmtNumber, "5") +
                        NameExchangeFrame(true, QStringLiteral("x")) + CompressFrame(true, true) +
                        ResumeFrame(true, true)));
    EXPECT_FALSE(Host.HandshakeFailed);
    EXPECT_EQ(Host.StageNo, 4);
    EXPECT_TRUE(Host.Peer.isEmpty());
    EXPECT_TRUE(Host.Calls.isEmpty());
}

TEST_F(WorkerFixture, LongUserNameIsCutAtACharacterBoundary) {
    Host.StageNo = 2;
    Host.User = QString(30, QChar(u'表')); // 60 bytes in Shift-JIS
    Make(1);
    ASSERT_TRUE(Deliver(NameExchangeFrame(false, QStringLiteral("a"))));
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Payload.size(), 50);
    EXPECT_EQ(FromShiftJis(sent[0].Payload), QString(25, QChar(u'表')));
}

// ---------------------------------------------------------------------------
// Receive loop

TEST_F(WorkerFixture, BytesArrivingOneAtATimeMakeOneFrameEach) {
    Host.Peer = QStringLiteral("相手");
    Make(1);
    const QByteArray stream = ChatNotice(QStringLiteral("こんにちは")) + VersionRequestFrame() +
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
    EXPECT_EQ(Host.StageNo, 2);
    EXPECT_EQ(Conn->TakeSent(), QByteArray::fromHex("ff0305010000000135"));
}

// What an owner waits for before it releases a connection the peer closed.
TEST_F(WorkerFixture, InputCountsAsHandlingUntilItsFramesAreHandled) {
    struct Probe : OrderedHost {
        ConnectionWorker* Worker = nullptr;
        std::vector<bool> During;
        void ShowChat(const QString& peer, const QString& text) override {
            During.push_back(Worker->HandlingInput());
            OrderedHost::ShowChat(peer, text);
        }
    } probe;
    Worker = std::make_unique<ConnectionWorker>(probe, Conn, 1);
    probe.Worker = Worker.get();
    EXPECT_FALSE(Worker->HandlingInput());
    ASSERT_TRUE(Deliver(ChatNotice("a") + ChatNotice("b") + ChatNotice("c").left(5)));
    EXPECT_EQ(probe.During, (std::vector<bool>{true, true}));
    EXPECT_FALSE(Worker->HandlingInput()); // the half frame waits for its rest
}

TEST_F(WorkerFixture, ChatTextIsCutAtAZeroByte) {
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
    Host.Files = {path};
    Host.StageNo = 4;
    Make(1);
    Worker->RequestSend(Host.Files);
    EXPECT_TRUE(Conn->TakeSent().isEmpty()); // queued, never sent on the caller's thread
    ASSERT_TRUE(Worker->Pass(0));
    EXPECT_EQ(Conn->TakeSent(), QByteArray::fromHex("ff020e010000000400"));

    // The accept starts the sending slot; the pump may act only after both lines.
    ASSERT_TRUE(Deliver(Control(Kind::Reply, Type::SendAccept, Format::FmtNumber, "0") +
                        ChatNotice(QStringLiteral("一")) + ChatNotice(QStringLiteral("二"))));
    EXPECT_EQ(Host.Calls, QStringList({"ShowSendWindow:1", "ShowChat:一", "ShowChat:二",
                                       "ShowSendName:" + path}));
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
    EXPECT_FALSE(Host.HandshakeFailed);
    EXPECT_TRUE(Conn->TakeSent().isEmpty());
}

TEST_F(WorkerFixture, HostileLengthEndsTheConnectionWithoutAllocating) {
    for (const std::int32_t length : {-1, MaxPayload + 1, std::numeric_limits<std::int32_t>::max(),
                                      std::numeric_limits<std::int32_t>::min()}) {
        Host = OrderedHost();
        Conn = std::make_shared<FakeConnection>();
        Make(1);
        EXPECT_FALSE(Deliver(HeaderOnly(length) + ChatNotice(QStringLiteral("x"))));
        ASSERT_EQ(Host.Errors.size(), 1);
        EXPECT_EQ(Host.Errors[0], QStringLiteral("不正なフレーム長 %1").arg(length));
        EXPECT_TRUE(Worker->TerminateRequested());
        EXPECT_TRUE(Host.Chats.empty());
    }
}

TEST_F(WorkerFixture, LargestLengthIsAcceptedAndWaitsForItsPayload) {
    Make(1);
    EXPECT_TRUE(Deliver(HeaderOnly(MaxPayload)));
    EXPECT_TRUE(Deliver(QByteArray(1000, 'x')));
    EXPECT_TRUE(Host.Errors.isEmpty());
    EXPECT_FALSE(Worker->TerminateRequested());
}

TEST_F(WorkerFixture, CancelErrorKeepsTheWorkerAndTheStreamInStep) {
    Host.StageNo = 4;
    Make(1);
    ASSERT_TRUE(
        Deliver(Control(Kind::Request, Type::SendRequest, Format::FmtNone, QByteArray(1, 0))));
    // The sender's Cancel fails its handler; the line behind it is intact.
    EXPECT_TRUE(Deliver(Frame(1, Kind::Notice, Type::Cancel, Format::FmtNone, QByteArray(1, 0)) +
                        ChatNotice(QStringLiteral("後"))));
    EXPECT_EQ(Host.Errors, QStringList({"中止しました"}));
    EXPECT_FALSE(Worker->TerminateRequested());
    EXPECT_TRUE(Worker->Pass(0));
    ASSERT_EQ(Host.Chats.size(), 1u);
    EXPECT_EQ(Host.Chats[0].second, QStringLiteral("後"));
}

TEST_F(WorkerFixture, OtherErrorsRequestTermination) {
    Host.StageNo = 4;
    Make(1);
    ASSERT_TRUE(
        Deliver(Control(Kind::Request, Type::SendRequest, Format::FmtNone, QByteArray(1, 0))));
    EXPECT_FALSE(Deliver(Frame(1, Kind::Notice, Type::LastIndex, Format::FmtNumber, "abc") +
                         ChatNotice(QStringLiteral("後"))));
    EXPECT_EQ(Host.Errors, QStringList({"'abc' は整数ではありません"}));
    EXPECT_TRUE(Worker->TerminateRequested());
    // A worker that is ending handles nothing more.
    EXPECT_FALSE(Worker->Pass(0));
    EXPECT_TRUE(Host.Chats.empty());
    EXPECT_EQ(Host.Errors.size(), 1);
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
    ConnectionWorker worker(host, conn, 1);
    EXPECT_FALSE(worker.Pass(0));
    ASSERT_EQ(host.Errors.size(), 1);
    EXPECT_EQ(host.Errors[0], QStringLiteral("Windows ソケットエラー： %1 (%2) [API 'recv']")
                                  .arg(QString::fromLocal8Bit(strerror(ECONNRESET)))
                                  .arg(ECONNRESET));
    EXPECT_TRUE(worker.TerminateRequested());
}

TEST_F(WorkerFixture, LostConnectionEndsTheLoop) {
    Make(1);
    EXPECT_TRUE(Worker->Pass(0));
    Conn->Disconnect();
    EXPECT_FALSE(Worker->Pass(0));
}

TEST_F(WorkerFixture, SendAgainstAPeerThatNeverReadsGivesUpOnTerminate) {
    Make(1);
    Conn->Writable = false;
    Worker->RequestTerminate();
    Worker->RequestSend(Host.Files);
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
        Host = OrderedHost();
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
// On a real thread, host calls made on the test's (user-interface) thread.

class ThreadHost : public FakeHost {
public:
    QObject Ui; // lives on the test's thread
    QObject* UiContext() override { return &Ui; }
    bool CalledOffUiThread = false;
    void ShowChat(const QString& peer, const QString& text) override {
        if (QThread::currentThread() != Ui.thread()) CalledOffUiThread = true;
        FakeHost::ShowChat(peer, text);
    }
    void ShowError(const Error& error) override {
        if (QThread::currentThread() != Ui.thread()) CalledOffUiThread = true;
        FakeHost::ShowError(error);
    }
};

TEST(WorkerThread, RunsHostCallsOnTheUiThreadAndStopsOnRequest) {
    auto conn = std::make_shared<FakeConnection>();
    ThreadHost host;
    host.StageNo = 4;
    ConnectionWorker worker(host, conn, 1);
    worker.Start();
    conn->Feed(ChatNotice(QStringLiteral("一")) + ChatNotice(QStringLiteral("二")));
    ASSERT_TRUE(WaitFor([&] { return host.Chats.size() == 2; }));
    EXPECT_EQ(host.Chats[1].second, QStringLiteral("二"));

    // A cancel keeps the loop going.
    conn->Feed(Control(Kind::Request, Type::SendRequest, Format::FmtNone, QByteArray(1, 0)) +
               Frame(1, Kind::Notice, Type::Cancel, Format::FmtNone, QByteArray(1, 0)));
    ASSERT_TRUE(WaitFor([&] { return host.Errors.size() == 1; }));
    EXPECT_FALSE(worker.isFinished());

    worker.RequestTerminate();
    ASSERT_TRUE(WaitFor([&] { return worker.isFinished(); }));
    EXPECT_FALSE(host.CalledOffUiThread);
    EXPECT_EQ(host.Errors, QStringList({"中止しました"}));
}

TEST(WorkerThread, ErrorEndsTheLoopByItself) {
    auto conn = std::make_shared<FakeConnection>();
    ThreadHost host;
    ConnectionWorker worker(host, conn, 1);
    worker.Start();
    conn->Feed(HeaderOnly(-5));
    ASSERT_TRUE(WaitFor([&] { return worker.isFinished(); }));
    EXPECT_EQ(host.Errors, QStringList({"不正なフレーム長 -5"}));
}

TEST(WorkerThread, DestroyedWhileWaitingOnTheUiThread) {
    auto conn = std::make_shared<FakeConnection>();
    ThreadHost host;
    auto worker = std::make_unique<ConnectionWorker>(host, conn, 1);
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += ChatNotice(QString::number(i));
    conn->Feed(lines);
    worker->Start();
    // The worker is (or soon will be) blocked in a call onto this thread;
    // destroying it must serve that call rather than deadlock.
    worker.reset();
    EXPECT_LE(host.Chats.size(), 200u);
}

} // namespace
