// The receiving side of a transfer, driven frame by frame: files land in a
// temporary receive folder, and the frames sent back and the events are checked.

#include "platform/sjis.h"
#include "protocol/handshake.h"
#include "protocol/sendlist.h"
#include "protocol/worker.h"
#include "tests/support/fakes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <functional>

using namespace relvane;
using namespace relvane::test;

namespace {

// The listening side (Side 0) receives in slot 0.
constexpr std::uint8_t S = 0;

QByteArray RandomBytes(int n, quint32 seed) {
    QByteArray b(n, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    for (char& c : b)
        c = static_cast<char>(gen.bounded(256));
    return b;
}

// The checksum the sender proves a prefix with, computed independently.
std::uint32_t Sum(QByteArrayView bytes) {
    std::uint32_t acc = 0;
    for (const char c : bytes)
        acc = ((acc << 1) | (acc >> 31)) + static_cast<unsigned char>(c);
    return acc >= 4294967293u ? acc - 4294967293u : acc;
}

QByteArray Zlib(QByteArrayView raw) {
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    QByteArray out(static_cast<qsizetype>(size), Qt::Uninitialized);
    compress2(reinterpret_cast<Bytef*>(out.data()), &size,
              reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()), 9);
    out.resize(static_cast<qsizetype>(size));
    return out;
}

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void WriteAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

struct Receiver : ::testing::Test {
    QTemporaryDir Dir;
    std::shared_ptr<FakeConnection> Conn = std::make_shared<FakeConnection>();
    FakeHost Host;
    std::unique_ptr<ConnectionWorker> Worker;
    bool Compressed = false;

    void SetUp() override {
        ASSERT_TRUE(Dir.isValid());
        Host.StageNo = 4;
        Host.Folder = Dir.path();
    }
    void Make(bool resume = false, bool compress = false) {
        Compressed = compress;
        Conn = std::make_shared<FakeConnection>();
        Worker = MakeWorker(Host, Conn, 0, resume, compress);
    }
    bool Deliver(const QByteArray& bytes) {
        Conn->Feed(bytes);
        return Worker->Pass(0);
    }
    std::vector<SentFrame> Sent() { return SplitFrames(Conn->TakeSent()); }
    QString In(const QString& name) const { return Dir.filePath(name); }

    static QByteArray Notice(Type type, Format format, QByteArrayView payload) {
        return BuildFrame(S, Kind::Notice, type, format, payload);
    }
    static QByteArray SendRequest() { return SendRequestFrame(); }
    static QByteArray LastIndex(int n) {
        return Notice(Type::LastIndex, Format::FmtNumber, NumberPayload(n));
    }
    static QByteArray Name(const QByteArray& bytes) {
        return Notice(Type::FileName, Format::FmtText, bytes);
    }
    static QByteArray Size(std::int32_t n) {
        return Notice(Type::FileSize, Format::FmtNumber, NumberPayload(n));
    }
    static QByteArray End() { return Notice(Type::End, Format::FmtNone, NonePayload()); }
    static QByteArray Cancel() { return Notice(Type::Cancel, Format::FmtNone, NonePayload()); }
    static QByteArray ResumeQuery() {
        return BuildFrame(S, Kind::Request, Type::ResumeOffset, Format::FmtNone, NonePayload('0'));
    }
    static QByteArray Proof(QByteArrayView prefix) {
        return Notice(Type::Checksum, Format::FmtText, ChecksumPayload(Sum(prefix)));
    }
    // FileData frames for data[from..], as the sender cuts them; an empty
    // rest is one empty block.
    QByteArray Blocks(const QByteArray& data, qsizetype from = 0) const {
        QByteArray frames;
        do {
            const QByteArray raw = data.mid(from, BlockSize);
            frames += Notice(Type::FileData, Format::FmtBinary, Compressed ? Zlib(raw) : raw);
            from += BlockSize;
        } while (from < data.size());
        return frames;
    }
    QByteArray Header(const QString& name, qsizetype size, int lastIndex = 0) const {
        return LastIndex(lastIndex) + Name(ToShiftJis(name)) +
               Size(static_cast<std::int32_t>(size));
    }
    QByteArray Whole(const QString& name, const QByteArray& data, int lastIndex = 0) const {
        return Header(name, data.size(), lastIndex) + Blocks(data) + End();
    }
    void Begin() {
        ASSERT_TRUE(Deliver(SendRequest()));
        Conn->TakeSent();
    }

    // The payloads of the Acks sent, each checked to be on the receiving slot.
    QStringList Acks() {
        QStringList acks;
        for (const SentFrame& f : Sent()) {
            if (f.Header.Type != static_cast<int>(Type::Ack)) continue;
            EXPECT_EQ(f.Header.Slot, S);
            EXPECT_EQ(f.Header.Kind, static_cast<int>(Kind::Reply));
            acks << QString::fromLatin1(f.Payload);
        }
        return acks;
    }
    QStringList Entries() const {
        return QDir(Dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    }
    // The list ended with the connection: Failed with `text` (of `kind`),
    // then the failure itself.
    void ExpectFatal(const QString& text, ErrorKind kind = ErrorKind::Failure) {
        ASSERT_EQ(Host.Ends.size(), 1u);
        EXPECT_EQ(Host.Ends[0].second, (ListEnd{Outcome::Failed, kind, text, false}));
        EXPECT_EQ(Host.Calls.mid(Host.Calls.size() - 2),
                  QStringList({"ListEnded:Receive:Failed", "Failed:" + text}));
    }
};

// ---------------------------------------------------------------------------
// Whole lists

class WholeFiles : public Receiver, public ::testing::WithParamInterface<bool> {};

TEST_P(WholeFiles, ArriveByteIdentical) {
    Make(false, GetParam());
    const std::vector<std::pair<QString, QByteArray>> files = {
        {QStringLiteral("empty.txt"), QByteArray()},
        {QStringLiteral("k1024.bin"), RandomBytes(1024, 1)},
        {QStringLiteral("k1025.bin"), RandomBytes(1025, 2)},
        {QStringLiteral("表示.txt"), QByteArray(3000, 'a')},
        {QStringLiteral("ソフト.txt"), RandomBytes(5000, 3)},
    };
    const int last = static_cast<int>(files.size()) - 1;

    ASSERT_TRUE(Deliver(SendRequest()));
    const auto accept = Sent();
    ASSERT_EQ(accept.size(), 1u);
    EXPECT_EQ(accept[0].Header.Slot, ControlSlot);
    EXPECT_EQ(accept[0].Header.Kind, static_cast<int>(Kind::Reply));
    EXPECT_EQ(accept[0].Header.Type, static_cast<int>(Type::SendAccept));
    EXPECT_EQ(accept[0].Payload, "0");

    for (const auto& [name, data] : files) {
        if (!GetParam() && data.isEmpty()) {
            // An empty file travels as a frame with Length 0.
            EXPECT_EQ(Blocks(data).size(), HeaderSize);
        }
        ASSERT_TRUE(Deliver(Whole(name, data, last)));
        EXPECT_EQ(Acks(), QStringList({"1"})) << name.toStdString();
    }
    ASSERT_TRUE(Deliver(End()));
    EXPECT_EQ(Acks(), QStringList({"1"}));

    QStringList expected;
    for (const auto& [name, data] : files) {
        EXPECT_EQ(ReadAll(In(name)), data) << name.toStdString();
        expected << name;
    }
    QStringList entries = Entries();
    entries.sort();
    expected.sort();
    EXPECT_EQ(entries, expected); // no ".Recv" left
    EXPECT_TRUE(Host.Errors.isEmpty());

    QStringList calls = {QStringLiteral("ListStarted:Receive:0")};
    for (const auto& [name, data] : files)
        calls << "FileStarted:Receive:" + name << "FileEnded:Receive:" + In(name);
    calls << QStringLiteral("ListEnded:Receive:Done");
    EXPECT_EQ(Host.Calls, calls);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const FileStart& started = Host.Started.at(i);
        EXPECT_EQ(started.Index, static_cast<int>(i));
        EXPECT_EQ(started.Count, static_cast<int>(files.size()));
        EXPECT_EQ(started.Size, files[i].second.size());
        EXPECT_EQ(started.ResumeOffset, 0);
    }

    EXPECT_EQ(Worker->Slot(S).State, SlotState::Idle);
    EXPECT_FALSE(Worker->Slot(S).InUse);
    EXPECT_EQ(Worker->SharedProgress()->RecvTotal.load(), 5000);
    EXPECT_EQ(Worker->SharedProgress()->RecvDone.load(), 5000);
}

INSTANTIATE_TEST_SUITE_P(CompressOffOn, WholeFiles, ::testing::Bool());

TEST_F(Receiver, ExistingFileIsReplacedOnlyOnceTheNewOneIsComplete) {
    Host.Overwrite = true; // the user's setting; by default a namesake stays
    Make();
    WriteAll(In("a.txt"), "old contents");
    Begin();
    const QByteArray data = RandomBytes(2000, 4);
    ASSERT_TRUE(Deliver(Header("a.txt", data.size()) + Blocks(data).left(HeaderSize + 1024)));
    EXPECT_EQ(ReadAll(In("a.txt")), "old contents");
    EXPECT_EQ(Worker->SharedProgress()->RecvDone.load(), 1024);
    ASSERT_TRUE(Deliver(Blocks(data).mid(HeaderSize + 1024) + End()));
    EXPECT_EQ(ReadAll(In("a.txt")), data);
    EXPECT_FALSE(QFileInfo::exists(In("a.txt.Recv")));
}

TEST_F(Receiver, WithoutResumeAnOldPartialIsOverwritten) {
    Make();
    WriteAll(In("a.txt.Recv"), QByteArray(5000, 'x'));
    Begin();
    ASSERT_TRUE(Deliver(Whole("a.txt", "new")));
    EXPECT_EQ(ReadAll(In("a.txt")), "new");
}

// ---------------------------------------------------------------------------
// Resume

struct Resume : Receiver {
    const QByteArray Source = RandomBytes(3000, 5);
    void SetUp() override {
        Receiver::SetUp();
        Make(true);
        Begin();
    }
    // Name and size, then the offset asked for: the offset the reply carries.
    QByteArray AskOffset(qsizetype size) {
        EXPECT_TRUE(Deliver(Header("r.bin", size) + ResumeQuery()));
        const auto sent = Sent();
        EXPECT_EQ(sent.size(), 1u);
        if (sent.empty()) return {};
        EXPECT_EQ(sent[0].Header.Slot, S);
        EXPECT_EQ(sent[0].Header.Kind, static_cast<int>(Kind::Reply));
        EXPECT_EQ(sent[0].Header.Type, static_cast<int>(Type::ResumeOffset));
        return sent[0].Payload;
    }
};

TEST_F(Resume, MatchingPartialContinuesAtItsOffset) {
    WriteAll(In("r.bin.Recv"), Source.left(1500));
    EXPECT_EQ(AskOffset(Source.size()), "1500");
    EXPECT_EQ(Worker->Slot(S).State, SlotState::ResumeCheck);
    ASSERT_TRUE(Deliver(Proof(Source.left(1500))));
    EXPECT_EQ(Acks(), QStringList({"1"}));
    const TransferProgress& progress = *Worker->SharedProgress();
    EXPECT_TRUE(progress.Resumed.load());
    EXPECT_EQ(progress.RecvDone.load(), 1500); // before any block
    EXPECT_EQ(progress.RecvResumedBytes.load(), 1500);
    ASSERT_TRUE(Deliver(Blocks(Source, 1500) + End()));
    EXPECT_EQ(Acks(), QStringList({"1"}));
    EXPECT_EQ(ReadAll(In("r.bin")), Source);
    ASSERT_EQ(Host.Started.size(), 1u); // once the offset is agreed
    EXPECT_EQ(Host.Started[0].ResumeOffset, 1500);
    ASSERT_TRUE(Deliver(Header("n.bin", 10))); // the next file starts from nothing held
    EXPECT_EQ(progress.RecvResumedBytes.load(), 0);
}

TEST_F(Resume, MismatchEmptiesThePartialAndRestarts) {
    WriteAll(In("r.bin.Recv"), QByteArray(2000, 'x'));
    EXPECT_EQ(AskOffset(Source.size()), "2000");
    ASSERT_TRUE(Deliver(Proof(Source.left(2000))));
    EXPECT_EQ(Acks(), QStringList({"0"}));
    EXPECT_FALSE(Worker->SharedProgress()->Resumed.load());
    EXPECT_EQ(Worker->SharedProgress()->RecvResumedBytes.load(), 0);
    // No stale byte may stay behind a shorter rewrite.
    EXPECT_EQ(QFileInfo(In("r.bin.Recv")).size(), 0);
    ASSERT_TRUE(Deliver(Blocks(Source) + End()));
    EXPECT_EQ(Acks(), QStringList({"1"}));
    EXPECT_EQ(ReadAll(In("r.bin")), Source);
}

TEST_F(Resume, EmptyPartialCountsAsNone) {
    WriteAll(In("r.bin.Recv"), QByteArray());
    EXPECT_EQ(AskOffset(Source.size()), "0");
    EXPECT_EQ(Worker->Slot(S).State, SlotState::RecvData);
    ASSERT_TRUE(Deliver(Blocks(Source) + End()));
    EXPECT_EQ(ReadAll(In("r.bin")), Source);
}

// 253 bytes of UTF-8: the name fits, name + ".Recv" would not.
TEST_F(Resume, NameTooLongForItsSuffixKeepsItsPartialUnderAShorterName) {
    const QString name = QString(83, QChar(u'漢')) + ".txt";
    const QString partial = PartialFileName(name);
    EXPECT_LE(QFile::encodeName(partial).size(), 255);
    EXPECT_TRUE(partial.startsWith(name.left(70)) && partial.endsWith(".Recv"));
    EXPECT_NE(PartialFileName(QString(83, QChar(u'字')) + ".txt"), partial);
    WriteAll(In(partial), Source.left(1500));
    ASSERT_TRUE(Deliver(Header(name, Source.size()) + ResumeQuery()));
    EXPECT_EQ(Sent().at(0).Payload, "1500");
    ASSERT_TRUE(Deliver(Proof(Source.left(1500)) + Blocks(Source, 1500) + End()));
    EXPECT_EQ(ReadAll(In(name)), Source);
    EXPECT_FALSE(QFileInfo::exists(In(partial)));
}

TEST_F(Resume, NoPartialStartsAtZero) {
    EXPECT_EQ(AskOffset(Source.size()), "0");
    EXPECT_FALSE(Worker->SharedProgress()->Resumed.load());
    ASSERT_TRUE(Deliver(Blocks(Source) + End()));
    EXPECT_EQ(ReadAll(In("r.bin")), Source);
}

TEST_F(Resume, PartialLongerThanTheFileIsStale) {
    WriteAll(In("r.bin.Recv"), RandomBytes(5000, 6));
    const QByteArray shorter = Source.left(1000);
    EXPECT_EQ(AskOffset(shorter.size()), "0");
    ASSERT_TRUE(Deliver(Blocks(shorter) + End()));
    EXPECT_EQ(Acks(), QStringList({"1"}));
    EXPECT_EQ(ReadAll(In("r.bin")), shorter);
}

TEST_F(Resume, PartialAsLongAsTheFileTakesOneEmptyBlock) {
    WriteAll(In("r.bin.Recv"), Source);
    EXPECT_EQ(AskOffset(Source.size()), "3000");
    ASSERT_TRUE(Deliver(Proof(Source)));
    EXPECT_EQ(Acks(), QStringList({"1"}));
    ASSERT_TRUE(Deliver(Blocks(Source, Source.size()) + End()));
    EXPECT_EQ(Acks(), QStringList({"1"}));
    EXPECT_EQ(ReadAll(In("r.bin")), Source);
}

// A link planted as the partial file holds nothing and is never written
// through: the file cannot be made, the list ends, the connection stays.
TEST_F(Resume, APartialThatIsALinkIsNeverWrittenThrough) {
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("target"));
    WriteAll(target, QByteArray(4000, 't'));
    ASSERT_TRUE(QFile::link(target, In("r.bin.Recv")));
    ASSERT_TRUE(Deliver(Header("r.bin", 5000) + ResumeQuery()));
    EXPECT_EQ(Sent().back().Payload, "0") << "a link holds no bytes";
    ASSERT_TRUE(Deliver(Blocks(RandomBytes(5000, 9)).left(HeaderSize + 1024)));
    ASSERT_EQ(Host.Ends.size(), 1u);
    EXPECT_EQ(Host.Ends[0].second.Result, Outcome::Failed);
    EXPECT_EQ(Host.Ends[0].second.Kind, ErrorKind::FileAccess);
    EXPECT_TRUE(Host.Ends[0].second.ConnectionKept);
    EXPECT_EQ(ReadAll(target), QByteArray(4000, 't'));
}

// ---------------------------------------------------------------------------
// Names the receiver refuses

// A file the receiver will not or cannot store: "0" to the sender, the list
// ends (Refused for a name, Failed for a file that cannot be made); the
// connection stays and the next list arrives.
TEST_F(Receiver, RefusedFileEndsTheListAndKeepsTheConnection) {
    struct Case {
        QByteArray Name;
        const char* Ending; // of the error shown
        std::function<void(Receiver&)> Setup;
        Outcome Result = Outcome::Refused;
        ErrorKind Kind = ErrorKind::Refused;
    };
    const auto names = [](const QByteArray& name) {
        return Case{name, "は受け取れません", nullptr};
    };
    const Case cases[] = {
        names(QByteArray()),
        names("."),
        names(".."),
        names("../escape.txt"),
        names(QDir::temp().filePath(QStringLiteral("absolute.txt")).toUtf8()),
        names("sub/inner.txt"),
        names("sub\\inner.txt"),
        names("\x81"),               // a lead byte without its second byte
        names("\x81\x20x"),          // a lead byte before an invalid second byte
        names(QByteArray(256, 'n')), // beyond 255 bytes on the wire
        // 172 bytes on the wire, but 256 here
        names(ToShiftJis(QString(84, QChar(u'漢')) + ".txt")),
        names("a\x1b[31m.txt"),
        names("\x07"),
        names("a\r.txt"),
        names("a\n.txt"),
        names("\t.txt"),
        names("a\x7f.txt"),
        {"blocked.txt", "を作成できません",
         [](Receiver& r) { QDir(r.Dir.path()).mkdir(QStringLiteral("blocked.txt.Recv")); },
         Outcome::Failed, ErrorKind::FileAccess},
        {"gone.txt", "を作成できません",
         [](Receiver& r) { r.Host.Folder = r.Dir.filePath(QStringLiteral("missing")); },
         Outcome::Failed, ErrorKind::FileAccess},
    };
    QDir(Dir.path()).mkdir(QStringLiteral("sub"));
    for (const Case& c : cases) {
        const std::string label = c.Name.toHex().toStdString();
        Host = FakeHost();
        Host.StageNo = 4;
        Host.Folder = Dir.path();
        if (c.Setup) c.Setup(*this);
        const QStringList before = Entries();
        Make();
        Begin();
        // The peer goes on as if accepted; nothing of it may reach the disk.
        EXPECT_TRUE(Deliver(LastIndex(0) + Name(c.Name) + Size(3) + Blocks("abc") + End()))
            << label;
        EXPECT_EQ(Acks(), QStringList({"0"})) << label;
        ASSERT_EQ(Host.Ends.size(), 1u) << label;
        const ListEnd& end = Host.Ends[0].second;
        EXPECT_EQ(end.Result, c.Result) << label;
        EXPECT_EQ(end.Kind, c.Kind) << label;
        EXPECT_TRUE(end.ConnectionKept) << label;
        EXPECT_TRUE(end.Text.endsWith(QString::fromUtf8(c.Ending))) << label;
        EXPECT_FALSE(std::any_of(end.Text.begin(), end.Text.end(), [](QChar ch) {
            return ch < u'\x20' || ch == u'\x7f';
        })) << label;
        EXPECT_EQ(Worker->Slot(S).State, SlotState::Idle) << label;
        EXPECT_EQ(Entries(), before) << label;
        EXPECT_TRUE(QDir(Dir.filePath("sub")).isEmpty()) << label;
        EXPECT_FALSE(QFileInfo::exists(Dir.filePath("../escape.txt")));
        EXPECT_FALSE(QFileInfo::exists(QDir::temp().filePath(QStringLiteral("absolute.txt"))));

        // The folder is the worker's since it was made; now it is there.
        ASSERT_TRUE(QDir().mkpath(Host.Folder));
        const QString next = QDir(Host.Folder).filePath(QStringLiteral("next.txt"));
        EXPECT_TRUE(Deliver(SendRequest() + Whole("next.txt", "abc") + End())) << label;
        EXPECT_EQ(ReadAll(next), "abc") << label;
        ASSERT_TRUE(QFile::remove(next));
    }
}

TEST_F(Receiver, LongestNameIsAccepted) {
    Make();
    Begin();
    const QString name(MaxFileNameBytes - 5, QChar(u'n')); // room for ".Recv" on disk
    ASSERT_TRUE(Deliver(Whole(name, "abc")));
    EXPECT_EQ(ReadAll(In(name)), "abc");
}

// ---------------------------------------------------------------------------
// Which frames are taken, and when

TEST_F(Receiver, SendRequestWhileBusyClosesTheOpenFileFirst) {
    Make();
    Begin();
    const QByteArray data = RandomBytes(3000, 7);
    ASSERT_TRUE(Deliver(Header("a.bin", data.size()) + Blocks(data).left(HeaderSize + 1024)));
    ASSERT_TRUE(Worker->Slot(S).FileStream);
    Worker->SharedProgress()->ReceiveCancel = true;
    ASSERT_TRUE(Deliver(SendRequest()));
    EXPECT_FALSE(Worker->Slot(S).FileStream);
    EXPECT_EQ(Worker->Slot(S).State, SlotState::RecvWaitCount);
    EXPECT_FALSE(Worker->SharedProgress()->ReceiveCancel.load());
    EXPECT_EQ(ReadAll(In("a.bin.Recv")), data.left(1024)); // written out, kept
    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Header.Type, static_cast<int>(Type::SendAccept));
}

TEST_F(Receiver, FramesForTheSendingDirectionAreNotTaken) {
    Make();
    Begin();
    ASSERT_TRUE(Deliver(LastIndex(0)));
    const auto other = [](Type type, QByteArrayView payload) {
        return BuildFrame(1, Kind::Notice, type, Format::FmtText, payload);
    };
    ASSERT_TRUE(
        Deliver(other(Type::FileName, "x.txt") + other(Type::End, QByteArray(1, 0)) +
                BuildFrame(ControlSlot, Kind::Notice, Type::FileName, Format::FmtText, "y.txt")));
    EXPECT_EQ(Worker->Slot(S).State, SlotState::RecvWaitName);
    EXPECT_TRUE(Conn->TakeSent().isEmpty());
    EXPECT_TRUE(Host.Errors.isEmpty());
}

TEST_F(Receiver, DataOutsideRecvDataIsIgnored) {
    Make();
    Begin();
    ASSERT_TRUE(Deliver(LastIndex(2) + Blocks("abc") + LastIndex(5)));
    EXPECT_EQ(Host.Calls, QStringList({"ListStarted:Receive:0"}));
    EXPECT_EQ(Entries(), QStringList());
    EXPECT_TRUE(Conn->TakeSent().isEmpty());
}

// ---------------------------------------------------------------------------
// Cancel

struct CancelCase {
    const char* Name;
    bool Resume;
    std::function<QByteArray(Receiver&)> Drive; // frames that lead to the state
    SlotState State;
};

class SenderCancel : public Receiver, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(SenderCancel, EndsTheTransferAndKeepsTheConnection) {
    const CancelCase& c = GetParam();
    Make(c.Resume);
    WriteAll(In("c.bin.Recv"), "par"); // offered when resume is on
    Begin();
    ASSERT_TRUE(Deliver(c.Drive(*this)));
    ASSERT_EQ(Worker->Slot(S).State, c.State);
    Host.Calls.clear();
    Conn->TakeSent();

    EXPECT_TRUE(Deliver(Cancel()));
    EXPECT_EQ(Host.Calls, QStringList({"ListEnded:Receive:CancelledByPeer"}));
    EXPECT_EQ(Host.Ends.at(0).second,
              (ListEnd{Outcome::CancelledByPeer, ErrorKind::Cancelled, "中止しました", true}));
    EXPECT_EQ(Worker->Slot(S).State, SlotState::Idle);
    EXPECT_FALSE(Worker->Slot(S).InUse);
    EXPECT_FALSE(Worker->Slot(S).FileStream);
    EXPECT_TRUE(Conn->TakeSent().isEmpty());

    // Whatever was still on its way is dropped quietly.
    EXPECT_TRUE(Deliver(Blocks("late") + End() + Cancel()));
    EXPECT_EQ(Host.Errors.size(), 1);
    EXPECT_TRUE(Conn->TakeSent().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    EveryActiveState, SenderCancel,
    ::testing::Values(
        CancelCase{"RecvWaitCount", false, [](Receiver&) { return QByteArray(); },
                   SlotState::RecvWaitCount},
        CancelCase{"RecvWaitName", false, [](Receiver&) { return Receiver::LastIndex(0); },
                   SlotState::RecvWaitName},
        CancelCase{"RecvWaitSize", false,
                   [](Receiver&) { return Receiver::LastIndex(0) + Receiver::Name("c.bin"); },
                   SlotState::RecvWaitSize},
        CancelCase{"ResumeQuery", true, [](Receiver& r) { return r.Header("c.bin", 10); },
                   SlotState::ResumeQuery},
        CancelCase{"ResumeCheck", true,
                   [](Receiver& r) { return r.Header("c.bin", 10) + Receiver::ResumeQuery(); },
                   SlotState::ResumeCheck},
        CancelCase{"RecvData", false,
                   [](Receiver& r) { return r.Header("c.bin", 5000) + r.Blocks("12345"); },
                   SlotState::RecvData},
        CancelCase{"AfterEndOfFile", false,
                   [](Receiver& r) { return r.Whole("c.bin", "12345", 1); },
                   SlotState::RecvWaitName}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(Receiver, SenderCancelKeepsThePartialFile) {
    Make();
    Begin();
    ASSERT_TRUE(Deliver(Header("p.bin", 5000) + Blocks(RandomBytes(2048, 8))));
    EXPECT_TRUE(Deliver(Cancel()));
    EXPECT_EQ(QFileInfo(In("p.bin.Recv")).size(), 2048);
    EXPECT_FALSE(QFileInfo::exists(In("p.bin")));
}

TEST_F(Receiver, CancelWhileIdleIsIgnored) {
    Make();
    ASSERT_TRUE(Deliver(Cancel()));
    EXPECT_TRUE(Host.Errors.isEmpty());
    EXPECT_TRUE(Host.Calls.isEmpty());
}

TEST_F(Receiver, OwnCancelTakesEffectAfterTheNextBlock) {
    Make();
    Begin();
    const QByteArray data = RandomBytes(4000, 9);
    const QByteArray blocks = Blocks(data);
    const qsizetype block = HeaderSize + BlockSize;
    ASSERT_TRUE(Deliver(Header("o.bin", data.size()) + blocks.left(block)));
    Worker->SharedProgress()->ReceiveCancel = true;
    EXPECT_TRUE(Deliver(blocks.mid(block, block)));

    const auto sent = Sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Header.Slot, S);
    EXPECT_EQ(sent[0].Header.Kind, static_cast<int>(Kind::Notice));
    EXPECT_EQ(sent[0].Header.Type, static_cast<int>(Type::Cancel));
    EXPECT_EQ(sent[0].Header.Format, static_cast<int>(Format::FmtNone));
    EXPECT_EQ(sent[0].Payload, QByteArray(1, 0));
    EXPECT_EQ(Host.Ends.at(0).second,
              (ListEnd{Outcome::CancelledHere, ErrorKind::Cancelled, "中止しました", true}));
    EXPECT_EQ(ReadAll(In("o.bin.Recv")), data.left(2048));

    // The blocks already on their way are ignored, and nothing is answered.
    EXPECT_TRUE(Deliver(blocks.mid(2 * block) + End()));
    EXPECT_TRUE(Conn->TakeSent().isEmpty());
    EXPECT_EQ(ReadAll(In("o.bin.Recv")), data.left(2048));
}

// ---------------------------------------------------------------------------
// Failures: the sender hears "0", the partial stays, the connection ends.

TEST_F(Receiver, FailedRenameKeepsThePartialAndRejects) {
    Host.Overwrite = true;
    Make();
    // A folder in the way of the final name cannot be replaced by a file.
    ASSERT_TRUE(QDir(Dir.path()).mkpath(QStringLiteral("a.txt/inner")));
    Begin();
    EXPECT_FALSE(Deliver(Whole("a.txt", "data")));
    EXPECT_EQ(Acks(), QStringList({"0"}));
    ExpectFatal(QStringLiteral("ファイル %1 の名前を変更できません").arg(In("a.txt")),
                ErrorKind::FileAccess);
    EXPECT_EQ(ReadAll(In("a.txt.Recv")), "data");
    EXPECT_FALSE(Host.Calls.join(' ').contains(QStringLiteral("FileEnded")));
}

TEST_F(Receiver, ShortFileAtEndIsNotCompleted) {
    Make();
    Begin();
    const QByteArray data = RandomBytes(1024, 10);
    EXPECT_FALSE(Deliver(Header("s.bin", 2000) + Blocks(data) + End()));
    EXPECT_EQ(Acks(), QStringList({"0"}));
    ExpectFatal(
        QStringLiteral("ファイル %1 のサイズが一致しません (1024 / 2000)").arg(In("s.bin")));
    EXPECT_EQ(ReadAll(In("s.bin.Recv")), data);
    EXPECT_FALSE(QFileInfo::exists(In("s.bin")));
}

TEST_F(Receiver, DataBeyondTheAnnouncedSizeIsRefusedAtOnce) {
    Make();
    Begin();
    EXPECT_FALSE(Deliver(Header("s.bin", 100) + Blocks(RandomBytes(1024, 11))));
    EXPECT_EQ(Acks(), QStringList({"0"}));
    ExpectFatal(QStringLiteral("ファイル %1 のサイズが一致しません (1024 / 100)").arg(In("s.bin")));
    EXPECT_EQ(QFileInfo(In("s.bin.Recv")).size(), 0);
}

TEST_F(Receiver, NegativeSizeIsRefused) {
    Make();
    Begin();
    EXPECT_FALSE(Deliver(Header("n.bin", -5)));
    EXPECT_EQ(Acks(), QStringList({"0"}));
    ExpectFatal(QStringLiteral("ファイルサイズ -5 は不正です"));
}

TEST_F(Receiver, SizeThatIsNoNumberFails) {
    Make();
    Begin();
    EXPECT_FALSE(
        Deliver(LastIndex(0) + Name("n.bin") + Notice(Type::FileSize, Format::FmtNumber, "12a")));
    ExpectFatal(QStringLiteral("'12a' は整数ではありません"));
}

TEST_F(Receiver, WriteThatDoesNotCompleteRejects) {
    // Writes past 2 KiB fail as on a full disk (the limit on file sizes).
    struct Limit {
        rlimit Old{};
        Limit() {
            ::signal(SIGXFSZ, SIG_IGN);
            ::getrlimit(RLIMIT_FSIZE, &Old);
            rlimit small = Old;
            small.rlim_cur = 2048;
            ::setrlimit(RLIMIT_FSIZE, &small);
        }
        ~Limit() { ::setrlimit(RLIMIT_FSIZE, &Old); }
    };
    Make();
    Begin();
    const QByteArray data = RandomBytes(3000, 12);
    const Limit limit;
    EXPECT_FALSE(Deliver(Whole("f.bin", data)));
    EXPECT_EQ(Acks(), QStringList({"0"}));
    ExpectFatal(QStringLiteral("ストリームへの書き込みエラー"), ErrorKind::FileAccess);
    EXPECT_FALSE(QFileInfo::exists(In("f.bin")));
}

TEST_F(Receiver, BlockThatDoesNotInflateRejects) {
    Make(false, true);
    Begin();
    ASSERT_TRUE(Deliver(Header("z.bin", 5000)));
    EXPECT_FALSE(Deliver(Notice(Type::FileData, Format::FmtBinary, "not a zlib stream")));
    EXPECT_EQ(Acks(), QStringList({"0"}));
    ExpectFatal(QStringLiteral("error"));
    EXPECT_EQ(Worker->Slot(S).State, SlotState::Idle);
    EXPECT_TRUE(QFileInfo::exists(In("z.bin.Recv")));
}

TEST_F(Receiver, BlockThatInflatesBeyond64KiBIsRefused) {
    Make(false, true);
    Begin();
    ASSERT_TRUE(Deliver(Header("z.bin", 1 << 20)));
    EXPECT_FALSE(Deliver(
        Notice(Type::FileData, Format::FmtBinary, Zlib(QByteArray(MaxInflatedBlock + 1, 0)))));
    EXPECT_EQ(Acks(), QStringList({"0"}));
    ExpectFatal(QStringLiteral("error"));
    EXPECT_EQ(QFileInfo(In("z.bin.Recv")).size(), 0);
}

} // namespace

namespace {

// A namesake in the receive folder stays; the new file takes the first free
// "name (n).ext", unless the user's setting says to replace.
TEST_F(Receiver, ANamesakeStaysAndTheNewFileTakesAFreeName) {
    struct Case {
        const char* Name;
        QStringList Existing;
        bool Overwrite;
        const char* StoredAs;
    };
    const Case cases[] = {
        {"a.txt", {"a.txt"}, false, "a (2).txt"},
        {"a.txt", {"a.txt", "a (2).txt"}, false, "a (3).txt"},
        {"README", {"README"}, false, "README (2)"},
        {"a.tar.gz", {"a.tar.gz"}, false, "a.tar (2).gz"},
        {"a.txt", {"a.txt"}, true, "a.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.StoredAs);
        QTemporaryDir dir;
        Host.Folder = dir.path();
        Host.Overwrite = c.Overwrite;
        Host.Calls.clear();
        for (const QString& name : c.Existing)
            WriteAll(QDir(dir.path()).filePath(name), "old");
        Make();
        Begin();
        ASSERT_TRUE(Deliver(Whole(c.Name, "new")));
        EXPECT_EQ(ReadAll(QDir(dir.path()).filePath(QString::fromUtf8(c.StoredAs))), "new");
        for (const QString& name : c.Existing) {
            if (name != QString::fromUtf8(c.StoredAs)) {
                EXPECT_EQ(ReadAll(QDir(dir.path()).filePath(name)), "old");
            }
        }
        EXPECT_TRUE(Host.Calls.contains(QStringLiteral("FileEnded:Receive:") +
                                        QDir(dir.path()).filePath(QString::fromUtf8(c.StoredAs))));
    }
}

} // namespace
