// The sending side of a transfer, driven frame by frame: a fake connection
// takes what the worker sends and feeds it the peer's replies.

#include "platform/sjis.h"
#include "protocol/capabilities.h"
#include "protocol/sendlist.h"
#include "protocol/worker.h"
#include "tests/support/fakes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>

using namespace relvane;
using relvane::test::FakeConnection;
using relvane::test::FakeHost;
using relvane::test::MakeWorker;
using relvane::test::SentFrame;
using relvane::test::SplitFrames;

namespace {

QByteArray RandomBytes(int n, unsigned seed) {
    std::mt19937 rng(seed);
    QByteArray b(n, Qt::Uninitialized);
    for (auto& c : b)
        c = static_cast<char>(rng());
    return b;
}

std::uint32_t Checksum(const QByteArray& bytes) {
    std::uint32_t acc = 0;
    for (char c : bytes)
        acc = std::rotl(acc, 1) + static_cast<unsigned char>(c);
    return acc % 4294967293u;
}

QByteArray Inflate(const QByteArray& stream) {
    QByteArray out(64 * 1024, Qt::Uninitialized);
    uLongf size = static_cast<uLongf>(out.size());
    EXPECT_EQ(uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                         reinterpret_cast<const Bytef*>(stream.constData()),
                         static_cast<uLong>(stream.size())),
              Z_OK);
    out.resize(static_cast<qsizetype>(size));
    return out;
}

// The sending worker is the connecting peer (Side 1): it sends on slot 0.
class Sender {
public:
    explicit Sender(bool resume = false, bool compress = false) : Compressed(compress) {
        Host.StageNo = 4;
        Worker = MakeWorker(Host, Conn, 1, resume, compress);
    }

    QString MakeFile(const QString& name, const QByteArray& bytes) {
        const QString path = Dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        EXPECT_EQ(f.write(bytes), bytes.size());
        return path;
    }

    // The user's send action and the peer's SendAccept; then one pass.
    void Start(const QStringList& files) {
        Worker->RequestSend(files);
        Worker->Pass(0); // the request goes out
        Conn->TakeSent();
        FeedControl(Type::SendAccept, NumberPayload(0));
        Pass();
    }
    void FeedControl(Type type, const QByteArray& payload) {
        Conn->Feed(BuildFrame(ControlSlot, Kind::Reply, type, Format::FmtNumber, payload));
    }
    void Reply(Type type, const QByteArray& payload) {
        Conn->Feed(BuildFrame(0, Kind::Reply, type,
                              type == Type::Ack ? Format::FmtFlag : Format::FmtNumber, payload));
    }
    void Notice(Type type) {
        Conn->Feed(BuildFrame(0, Kind::Notice, type, Format::FmtNone, NonePayload()));
    }

    // One pass; the frames it sent, also kept in Sent.
    std::vector<SentFrame> Pass() {
        Going = Worker->Pass(0);
        auto frames = SplitFrames(Conn->TakeSent());
        Sent.insert(Sent.end(), frames.begin(), frames.end());
        return frames;
    }

    // Passes until the slot is idle, accepting every End as a receiver would.
    void RunToEnd(int maxPasses = 100000) {
        for (int i = 0; i < maxPasses && Slot().InUse; ++i) {
            const auto frames = Pass();
            qsizetype blockBytes = 0;
            for (const SentFrame& f : frames) {
                if (f.Header.Type == static_cast<int>(Type::FileData))
                    blockBytes += HeaderSize + f.Payload.size();
            }
            // Between two runs of blocks the worker reads what came in.
            ASSERT_LE(blockBytes, MaxBatchBytes) << "too many blocks in a pass";
            if (Slot().State == SlotState::SendWaitFileAck ||
                Slot().State == SlotState::SendWaitListAck) {
                Reply(Type::Ack, "1");
            }
        }
        ASSERT_FALSE(Slot().InUse) << "transfer did not end";
    }

    // Sent frames as readable lines: "FileName a.txt", "FileData 1024", ….
    QStringList Log() const {
        static const char* names[] = {
            "FileName",     "NameExchange", "Chat",        "FileSize", "LastIndex", "Version",
            "ResumeOffset", "SendAccept",   "Checksum",    "FileData", "Compress",  "Resume",
            "Ack",          "Disconnect",   "SendRequest", "End",      "Cancel"};
        QStringList lines;
        for (const SentFrame& f : Sent) {
            if (f.Header.Type >= std::size(names)) continue; // two copies' own frames
            EXPECT_EQ(f.Header.Slot, 0);
            QString line = QString::fromLatin1(names[f.Header.Type]);
            switch (static_cast<Type>(f.Header.Type)) {
            case Type::FileName:
                line += u' ' + FromShiftJis(f.Payload);
                break;
            case Type::FileSize:
            case Type::LastIndex:
            case Type::Checksum:
                line += u' ' + QString::fromLatin1(f.Payload);
                break;
            case Type::FileData:
                line += u' ' +
                        QString::number(Compressed ? Inflate(f.Payload).size() : f.Payload.size());
                break;
            default:
                break;
            }
            lines << line;
        }
        return lines;
    }

    // The file bytes carried by the FileData frames sent.
    QByteArray Data() const {
        QByteArray all;
        for (const SentFrame& f : Sent) {
            if (f.Header.Type == static_cast<int>(Type::FileData))
                all += Compressed ? Inflate(f.Payload) : f.Payload;
        }
        return all;
    }

    const TransferSlot& Slot() const { return Worker->Slot(0); }
    TransferProgress& Progress() const { return *Worker->SharedProgress(); }

    QTemporaryDir Dir;
    FakeHost Host;
    std::shared_ptr<FakeConnection> Conn = std::make_shared<FakeConnection>();
    std::unique_ptr<ConnectionWorker> Worker;
    std::vector<SentFrame> Sent;
    bool Compressed;
    bool Going = true; // the last pass kept the connection
};

// How the sending list ended, and whether it kept the connection.
ListEnd SendEnd(Outcome outcome, ErrorKind kind, const QString& text, bool kept = true) {
    return {outcome, kind, text, kept};
}

QStringList FileFrames(int lastIndex, const QString& name, int size) {
    QStringList lines{QStringLiteral("LastIndex %1").arg(lastIndex), "FileName " + name,
                      QStringLiteral("FileSize %1").arg(size)};
    int left = size;
    do {
        lines << QStringLiteral("FileData %1").arg(std::min(left, 1024));
        left -= 1024;
    } while (left > 0);
    return lines << "End";
}

class SendList : public testing::TestWithParam<bool> {};

} // namespace

TEST_P(SendList, EachFileInOrderThenTheEndOfTheList) {
    Sender s(false, GetParam());
    const QByteArray a = "abc", b = RandomBytes(2048, 1), c = RandomBytes(1025, 2);
    const QString japanese = QStringLiteral("表示.txt");
    const QStringList files{s.MakeFile("a.txt", a), s.MakeFile("b.bin", b),
                            s.MakeFile("empty", QByteArray()), s.MakeFile(japanese, c)};
    s.Start(files);
    s.RunToEnd();

    const QStringList expected = FileFrames(3, "a.txt", 3) + FileFrames(3, "b.bin", 2048) +
                                 FileFrames(3, "empty", 0) + FileFrames(3, japanese, 1025) +
                                 QStringList{"End"};
    EXPECT_EQ(s.Log(), expected);
    EXPECT_EQ(s.Data(), a + b + c);
    for (const SentFrame& f : s.Sent) {
        if (f.Header.Type == static_cast<int>(Type::FileName)) {
            EXPECT_EQ(f.Header.Format, static_cast<int>(Format::FmtText));
        }
        if (f.Header.Type == static_cast<int>(Type::FileData)) {
            EXPECT_EQ(f.Header.Format, static_cast<int>(Format::FmtBinary));
        }
    }
    if (GetParam()) {
        // An empty file goes as the zlib stream of no data.
        EXPECT_EQ(s.Sent[14].Payload, QByteArray::fromHex("78da030000000001"));
    }
    QStringList calls{"ListStarted:Send:4"};
    for (const QString& file : files)
        calls << "FileStarted:Send:" + file << "FileEnded:Send:" + file;
    EXPECT_EQ(s.Host.Calls, calls << "ListEnded:Send:Done");
    EXPECT_TRUE(s.Host.Errors.isEmpty());
    EXPECT_EQ(s.Slot().State, SlotState::Idle);
    EXPECT_EQ(s.Progress().SendTotal.load(), 1025);
    EXPECT_EQ(s.Progress().SendDone.load(), 1025);
}

INSTANTIATE_TEST_SUITE_P(CompressOffOn, SendList, testing::Bool());

TEST(Sender, EmptyFileUncompressedIsOneZeroLengthBlock) {
    Sender s;
    s.Start({s.MakeFile("e", QByteArray())});
    s.RunToEnd();
    EXPECT_EQ(s.Log(), FileFrames(0, "e", 0) + QStringList{"End"});
    EXPECT_EQ(s.Sent[3].Header.Length, 0);
}

TEST(Sender, WaitsForTheConnectionInsteadOfBlocking) {
    Sender s;
    s.Start({s.MakeFile("a", RandomBytes(3000, 3))});
    ASSERT_EQ(s.Slot().State, SlotState::SendData);
    s.Conn->Writable = false;
    EXPECT_TRUE(s.Pass().empty());
    EXPECT_TRUE(s.Pass().empty());
    s.Conn->Writable = true;
    EXPECT_EQ(s.Pass().size(), 4u); // three blocks and the End
    EXPECT_EQ(s.Progress().SendDone.load(), 3000);
}

TEST(Sender, AnswersOnlyItsOwnRequest) {
    Sender s;
    const QStringList files{s.MakeFile("a", "abc")};
    s.FeedControl(Type::SendAccept, NumberPayload(0)); // nobody asked
    s.Pass();
    EXPECT_FALSE(s.Slot().InUse);
    EXPECT_TRUE(s.Sent.empty());
    EXPECT_TRUE(s.Host.Calls.isEmpty());

    s.Start(files);
    s.FeedControl(Type::SendAccept, NumberPayload(0)); // a second answer changes nothing
    s.RunToEnd();
    EXPECT_EQ(s.Log(), FileFrames(0, "a", 3) + QStringList{"End"});
}

TEST(Sender, ListEmptiedBeforeTheAcceptReleasesThePeer) {
    Sender s;
    s.Start({});
    EXPECT_EQ(s.Log(), QStringList{"Cancel"});
    EXPECT_EQ(s.Host.Calls, QStringList{"ListEnded:Send:CancelledHere"});
    EXPECT_TRUE(s.Going);
    EXPECT_FALSE(s.Slot().InUse);
}

TEST(Sender, SendAcceptWithOwnSideIsIDError) {
    Sender s;
    s.Worker->RequestSend({s.MakeFile("a", "abc")});
    s.FeedControl(Type::SendAccept, NumberPayload(1));
    s.Pass();
    EXPECT_EQ(s.Host.Calls, QStringList{"Failed:IDError"});
    EXPECT_FALSE(s.Going);
    EXPECT_FALSE(s.Slot().InUse);
}

TEST(Sender, ResumeContinuesAtTheOffsetTheChecksumProved) {
    Sender s(true);
    const QByteArray data = RandomBytes(3000, 4);
    s.Start({s.MakeFile("r", data)});
    ASSERT_EQ(s.Sent.back().Header.Type, static_cast<int>(Type::ResumeOffset));
    EXPECT_EQ(s.Sent.back().Header.Kind, static_cast<int>(Kind::Request));
    EXPECT_EQ(s.Sent.back().Payload, "0");
    EXPECT_EQ(s.Slot().State, SlotState::ResumeQuery);

    s.Reply(Type::ResumeOffset, "1500");
    s.Pass();
    EXPECT_EQ(s.Sent.back().Payload, QByteArray::number(Checksum(data.left(1500))));
    EXPECT_EQ(s.Sent.back().Header.Format, static_cast<int>(Format::FmtText));
    EXPECT_TRUE(s.Progress().Resumed.load());

    s.Reply(Type::Ack, "1");
    s.Conn->Writable = false; // no block yet: the bytes held count at once
    s.Pass();
    EXPECT_EQ(s.Progress().SendDone.load(), 1500);
    EXPECT_EQ(s.Progress().SendResumedBytes.load(), 1500);
    s.Conn->Writable = true;
    s.Sent.clear();
    s.RunToEnd();
    EXPECT_EQ(s.Log(), (QStringList{"FileData 1024", "FileData 476", "End", "End"}));
    EXPECT_EQ(s.Data(), data.mid(1500));
    EXPECT_EQ(s.Progress().SendResumedBytes.load(), 1500);
}

TEST(Sender, ResumeRestartsAtZeroWhenRefusedOrOffsetIsZero) {
    for (const char* offset : {"0", "1500"}) {
        Sender s(true);
        const QByteArray data = RandomBytes(1500, 5);
        s.Start({s.MakeFile("r", data)});
        s.Sent.clear();
        s.Reply(Type::ResumeOffset, offset);
        s.Pass();
        if (QByteArray(offset) != "0") {
            EXPECT_EQ(s.Sent.back().Header.Type, static_cast<int>(Type::Checksum));
            s.Reply(Type::Ack, "0"); // the peer's partial differs
        }
        s.RunToEnd();
        EXPECT_EQ(s.Data(), data) << "offset " << offset;
        EXPECT_FALSE(s.Progress().Resumed.load());
        EXPECT_EQ(s.Progress().SendResumedBytes.load(), 0);
    }
}

TEST(Sender, NextFileMadeWhileTheAckIsAwaitedStillResumesAtTheOffset) {
    // The second file's blocks are made before its frames go out; an offset
    // from the peer must drop them.
    Sender s(true, true);
    const QByteArray a = RandomBytes(1500, 13), b = RandomBytes(1500, 14);
    s.Start({s.MakeFile("a", a), s.MakeFile("b", b)});
    s.Reply(Type::ResumeOffset, "0");
    s.Pass();
    ASSERT_EQ(s.Slot().State, SlotState::SendWaitFileAck);
    s.Reply(Type::Ack, "1");
    s.Pass();
    ASSERT_EQ(s.Slot().State, SlotState::ResumeQuery);
    s.Reply(Type::ResumeOffset, "1000");
    s.Pass();
    EXPECT_EQ(s.Sent.back().Payload, QByteArray::number(Checksum(b.left(1000))));
    s.Reply(Type::Ack, "1");
    s.RunToEnd();
    EXPECT_EQ(s.Data(), a + b.mid(1000));
}

// The next file is made while the peer stores the current one; at its turn
// it is sent as made only if it is still the same file, size and time.
TEST(Sender, NextFileMadeAheadIsMadeAgainWhenItChanged) {
    enum Change { None, SameStamp, NewTime, Grown, Replaced, Removed };
    const QByteArray old = RandomBytes(1500, 21), fresh = RandomBytes(1500, 22);
    struct Case {
        Change What;
        QByteArray Expected; // the second file's bytes on the wire
    };
    const Case cases[] = {
        {None, old},
        {SameStamp, old}, // rewritten in place, its time put back: not seen
        {NewTime, fresh},
        {Grown, old + fresh},
        {Replaced, fresh}, // another file under the name, same size and time
        {Removed, {}},
    };
    for (const Case& c : cases) {
        Sender s;
        const QByteArray a = RandomBytes(700, 20);
        const QString second = s.MakeFile("b", old);
        struct stat before {};
        ASSERT_EQ(::stat(QFile::encodeName(second).constData(), &before), 0);
        s.Start({s.MakeFile("a", a), second});
        for (int i = 0; i < 10 && s.Slot().State != SlotState::SendWaitFileAck; ++i)
            s.Pass();
        ASSERT_EQ(s.Slot().State, SlotState::SendWaitFileAck);
        // To the nanosecond: a file system keeps more than QDateTime does.
        const auto setTime = [&](const QString& path, std::int64_t laterSeconds) {
            const timespec times[2] = {{0, UTIME_OMIT},
                                       {before.st_mtim.tv_sec + laterSeconds, before.st_mtim.tv_nsec}};
            ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
        };
        switch (c.What) {
        case None:
            break;
        case SameStamp:
            s.MakeFile("b", fresh);
            setTime(second, 0);
            break;
        case NewTime:
            s.MakeFile("b", fresh);
            setTime(second, 5);
            break;
        case Grown: {
            QFile f(second);
            ASSERT_TRUE(f.open(QIODevice::Append));
            f.write(fresh);
            break;
        }
        case Replaced:
            s.MakeFile("b.new", fresh);
            setTime(s.Dir.filePath("b.new"), 0);
            ASSERT_TRUE(QFile::remove(second));
            ASSERT_TRUE(QFile::rename(s.Dir.filePath("b.new"), second));
            break;
        case Removed:
            ASSERT_TRUE(QFile::remove(second));
            break;
        }
        s.Reply(Type::Ack, "1");
        s.RunToEnd();
        if (c.What == Removed) {
            EXPECT_EQ(s.Host.Ends.back().second.Kind, ErrorKind::FileAccess);
            EXPECT_EQ(s.Data(), a);
        } else {
            EXPECT_EQ(s.Data(), a + c.Expected) << int(c.What);
            EXPECT_TRUE(s.Log().contains(QStringLiteral("FileSize %1").arg(c.Expected.size())));
        }
    }
}

// Between two copies small files go without a resume query, many before
// the first answer; answers end them in order, and a "0" ends the list at
// its file, whatever was sent after it.
TEST(Sender, SmallFilesGoInAWindowAndARefusalEndsTheListAtItsFile) {
    Sender s(true, false);
    s.Host.Offer = AllCapabilities;
    s.Worker = MakeWorker(s.Host, s.Conn, 1, true, false);
    s.Conn->Feed(OfferFrame(false, AllCapabilities));
    s.Pass();
    ASSERT_EQ(s.Worker->Agreed(), AllCapabilities);
    s.Sent.clear(); // the offers
    QStringList files;
    for (int i = 0; i < WindowFiles + 6; ++i)
        files << s.MakeFile(QString::number(i), RandomBytes(900, i));
    files << s.MakeFile("big", RandomBytes(int(WindowFileMax) + 1, 99));
    s.Start(files);
    for (int i = 0; i < 200; ++i)
        s.Pass();
    const QStringList log = s.Log();
    EXPECT_EQ(log.count(QStringLiteral("End")), WindowFiles) << "the window is full";
    EXPECT_FALSE(log.contains(QStringLiteral("ResumeOffset")));
    // Answers make room; the large file waits for all of them, then asks.
    for (int i = 0; i < 6; ++i)
        s.Reply(Type::Ack, "1");
    for (int i = 0; i < 50; ++i)
        s.Pass();
    EXPECT_EQ(s.Log().count(QStringLiteral("End")), WindowFiles + 6);
    EXPECT_FALSE(s.Log().contains(QStringLiteral("FileName big")));
    s.Reply(Type::Ack, "1");
    s.Reply(Type::Ack, "0"); // the eighth file
    s.Pass();
    EXPECT_EQ(s.Host.Ends.back().second.Result, Outcome::Refused);
    EXPECT_EQ(s.Host.Calls.filter(QStringLiteral("FileEnded:Send")).size(), 7);
    EXPECT_FALSE(s.Slot().InUse);
    EXPECT_TRUE(s.Going);
}

TEST(Sender, ResumeOfACompleteFileSendsOneEmptyBlock) {
    Sender s(true);
    s.Start({s.MakeFile("r", "abc")});
    s.Reply(Type::ResumeOffset, "3");
    s.Pass();
    EXPECT_EQ(s.Sent.back().Payload, "683");
    s.Reply(Type::Ack, "1");
    s.Sent.clear();
    s.RunToEnd();
    EXPECT_EQ(s.Log(), (QStringList{"FileData 0", "End", "End"}));
}

TEST(Sender, OffsetBeyondTheFileGetsTheWholeFilesChecksum) {
    Sender s(true);
    s.Start({s.MakeFile("r", "abc")});
    s.Reply(Type::ResumeOffset, "5000");
    s.Pass();
    EXPECT_TRUE(s.Host.Errors.isEmpty()); // no HashError
    EXPECT_EQ(s.Sent.back().Payload, "683");
    s.Reply(Type::Ack, "0");
    s.Sent.clear();
    s.RunToEnd();
    EXPECT_EQ(s.Data(), "abc");

    // Accepting it anyway cannot be a resume.
    Sender t(true);
    t.Start({t.MakeFile("r", "abc")});
    t.Reply(Type::ResumeOffset, "-7");
    t.Pass();
    t.Reply(Type::Ack, "1");
    t.Pass();
    EXPECT_EQ(t.Host.Ends.back().second,
              SendEnd(Outcome::Failed, ErrorKind::Failure, "HashError", false));
    EXPECT_FALSE(t.Going);
}

// A "0" while a file goes ends the list: the receiver refused the file or
// could not store it, and ends the connection itself when it must. Only a
// rejected end of the list is still the sender's own reason to end it.
TEST(Sender, RejectionsEndTheListWithTheirText) {
    struct Case {
        const char* Name;
        bool Resume;
        QByteArray Data;
        int Passes; // after the start, before the "0"
        SlotState State;
        ListEnd End;
    };
    const ListEnd refused = SendEnd(Outcome::Refused, ErrorKind::PeerRefused, "送信エラー");
    const Case cases[] = {
        {"asking for the offset", true, "abc", 0, SlotState::ResumeQuery, refused},
        {"sending blocks", false, RandomBytes(200 * 1024, 6), 1, SlotState::SendData, refused},
        {"end of the file", false, "abc", 1, SlotState::SendWaitFileAck,
         SendEnd(Outcome::Refused, ErrorKind::PeerRefused, "送信完了エラー")},
        {"end of the list", false, "abc", 4, SlotState::SendWaitListAck,
         SendEnd(Outcome::Failed, ErrorKind::Failure, "送信全完了エラー", false)},
    };
    for (const Case& c : cases) {
        Sender s(c.Resume);
        s.Start({s.MakeFile("a", c.Data), s.MakeFile("b", "next")});
        for (int i = 0; i < c.Passes; ++i) {
            if (s.Slot().State == SlotState::SendWaitFileAck) s.Reply(Type::Ack, "00"); // accepts
            s.Pass();
        }
        ASSERT_EQ(s.Slot().State, c.State) << c.Name;
        s.Host.Ends.clear();
        s.Reply(Type::Ack, "0");
        s.Pass();
        ASSERT_EQ(s.Host.Ends.size(), 1u) << c.Name;
        EXPECT_EQ(s.Host.Ends[0].second, c.End) << c.Name;
        EXPECT_EQ(s.Going, c.End.ConnectionKept) << c.Name;
        if (!c.End.ConnectionKept) continue;
        EXPECT_FALSE(s.Slot().InUse) << c.Name;
        EXPECT_FALSE(s.Slot().FileStream) << c.Name;
        const auto sent = s.Sent.size();
        s.Pass();
        EXPECT_EQ(s.Sent.size(), sent) << c.Name << ": still sending";
    }
}

TEST(Sender, OwnCancelAfterTheNextBlocksKeepsTheConnection) {
    Sender s;
    s.Start({s.MakeFile("a", RandomBytes(1024 * 1024, 7))});
    s.Pass();
    const auto run = s.Sent.size() - 3; // blocks in one pass
    s.Progress().SendCancel = true;
    s.Pass();
    s.Pass();
    EXPECT_EQ(s.Log().mid(3), QStringList(2 * run, "FileData 1024") << "Cancel");
    EXPECT_EQ(s.Host.Calls.last(), "ListEnded:Send:CancelledHere");
    EXPECT_EQ(s.Host.Ends.back().second,
              SendEnd(Outcome::CancelledHere, ErrorKind::Cancelled, "中止しました"));
    EXPECT_FALSE(s.Slot().InUse);
    EXPECT_FALSE(s.Slot().FileStream);
    EXPECT_TRUE(s.Going);
}

TEST(Sender, OwnCancelWhileThePoolCompressesAheadSendsWholeBlocksThenCancel) {
    Sender s(false, true);
    const QByteArray bytes = RandomBytes(1024 * 1024, 13);
    s.Start({s.MakeFile("a", bytes)});
    for (int i = 0; i < 100000 && s.Data().isEmpty(); ++i)
        s.Pass();
    s.Progress().SendCancel = true;
    for (int i = 0; i < 100000 && s.Slot().InUse; ++i)
        s.Pass();
    s.Pass();
    EXPECT_EQ(s.Log().last(), "Cancel");
    EXPECT_EQ(s.Log().count("End"), 0);
    const QByteArray sent = s.Data();
    EXPECT_TRUE(sent.size() > 0 && sent.size() < bytes.size() && bytes.startsWith(sent));
    EXPECT_EQ(s.Host.Errors, QStringList{"中止しました"});
    EXPECT_FALSE(s.Slot().FileStream);
    EXPECT_TRUE(s.Going);
}

TEST(Sender, CancelWhileWaitingForAnAckActsAfterTheNextFilesFirstBlock) {
    Sender s;
    s.Start({s.MakeFile("a", "abc"), s.MakeFile("b", RandomBytes(1024 * 1024, 8))});
    s.Pass();
    ASSERT_EQ(s.Slot().State, SlotState::SendWaitFileAck);
    s.Progress().SendCancel = true;
    s.Reply(Type::Ack, "1");
    for (int i = 0; i < 5; ++i)
        s.Pass();
    const QStringList log = s.Log();
    EXPECT_EQ(log.mid(0, 8), FileFrames(1, "a", 3) +
                                 QStringList({"LastIndex 1", "FileName b", "FileSize 1048576"}));
    EXPECT_EQ(log.last(), "Cancel");
    EXPECT_EQ(log.count("FileData 1024"), MaxBatchBytes / (HeaderSize + 1024)); // one pass
    EXPECT_EQ(s.Host.Errors, QStringList{"中止しました"});
}

TEST(Sender, PeersCancelEndsTheTransferAsOwnCancelDoes) {
    for (int blocks : {1, 3}) { // during the blocks, and after the End of a file
        Sender s;
        s.Start({s.MakeFile("a", RandomBytes(2500, 9)), s.MakeFile("b", "x")});
        for (int i = 0; i < blocks; ++i)
            s.Pass();
        s.Notice(Type::Cancel);
        s.Pass();
        const auto before = s.Sent.size();
        s.Pass();
        EXPECT_EQ(s.Sent.size(), before) << "still sending";
        ASSERT_EQ(s.Host.Ends.size(), 1u);
        EXPECT_EQ(s.Host.Ends[0].second,
                  SendEnd(Outcome::CancelledByPeer, ErrorKind::Cancelled, "中止しました"));
        EXPECT_FALSE(s.Slot().InUse);
        EXPECT_TRUE(s.Going);
    }
    Sender idle; // a Cancel with nothing being sent does nothing
    idle.Notice(Type::Cancel);
    idle.Pass();
    EXPECT_TRUE(idle.Host.Errors.isEmpty());
}

TEST(Sender, FileThatShrinksIsAbandonedNotSentForever) {
    Sender s;
    const QString path = s.MakeFile("a", RandomBytes(64 * 1024, 10));
    s.Start({path});
    ASSERT_TRUE(QFile::resize(path, 20 * 1024));
    for (int i = 0; i < 200 && s.Host.Errors.isEmpty(); ++i)
        s.Pass();
    ASSERT_EQ(s.Host.Ends.size(), 1u);
    const ListEnd& end = s.Host.Ends[0].second;
    EXPECT_EQ(end.Result, Outcome::Failed);
    EXPECT_EQ(end.Kind, ErrorKind::FileAccess);
    EXPECT_TRUE(end.Text.contains(path));
    EXPECT_TRUE(end.ConnectionKept); // the peer was told
    EXPECT_EQ(s.Log().last(), "Cancel");
    EXPECT_EQ(s.Data().size(), 20 * 1024);
    EXPECT_FALSE(s.Slot().InUse);
}

TEST(Sender, FileThatGrowsIsSentAsLongAsAnnounced) {
    Sender s;
    const QString path = s.MakeFile("a", RandomBytes(1500, 11));
    s.Start({path});
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write(RandomBytes(5000, 12));
    f.close();
    s.RunToEnd();
    EXPECT_EQ(s.Log(), FileFrames(0, "a", 1500) + QStringList{"End"});
}

TEST(Sender, FileThatCannotBeOpenedEndsTheListNotTheConnection) {
    Sender s;
    const QString path = s.MakeFile("gone", "abc");
    s.Worker->RequestSend({path});
    s.Worker->Pass(0); // the request goes
    s.Conn->TakeSent();
    ASSERT_TRUE(QFile::remove(path));
    s.FeedControl(Type::SendAccept, NumberPayload(0));
    s.Pass();
    EXPECT_EQ(s.Log(), QStringList{"Cancel"});
    EXPECT_EQ(s.Host.Ends.back().second,
              SendEnd(Outcome::Failed, ErrorKind::FileAccess,
                      QStringLiteral("ファイル %1 は開けません\r\n送信を中止しました").arg(path)));
    EXPECT_TRUE(s.Going);
}

TEST(Sender, FileThatNoLongerFitsIsRefusedBeforeItsFrames) {
    Sender s;
    const QString path = s.MakeFile(QStringLiteral("한.txt"), "abc"); // not in Shift-JIS
    s.Start({path});
    EXPECT_EQ(s.Log(), QStringList{"Cancel"});
    EXPECT_EQ(s.Host.Ends.back().second, SendEnd(Outcome::Refused, ErrorKind::Refused,
                                                 CheckSendList({path}) + "\r\n送信を中止しました"));
    EXPECT_TRUE(s.Going);
}

TEST(SendListCheck, RefusesWhatTheFramesCannotCarry) {
    QTemporaryDir dir;
    const auto make = [&](const QString& name, qint64 size) {
        const QString path = dir.filePath(name);
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        EXPECT_TRUE(f.resize(size)); // sparse
        return path;
    };
    const QString fine = make(QStringLiteral("表示.txt"), 10);
    const QString largest = make("largest", 0x7FFFFFFF);
    EXPECT_EQ(CheckSendList({fine, largest}), QString());

    EXPECT_EQ(CheckSendList({}), QStringLiteral("ファイルを選択してください"));

    const QString huge = make("huge", 0x80000000LL);
    EXPECT_EQ(CheckSendList({fine, huge}),
              QStringLiteral("ファイル %1 は 2GB 以上のため送信できません").arg(huge));

    const QString missing = dir.filePath("missing");
    EXPECT_EQ(CheckSendList({missing}), QStringLiteral("ファイル %1 は開けません").arg(missing));
    EXPECT_EQ(CheckSendList({dir.path()}),
              QStringLiteral("ファイル %1 は開けません").arg(dir.path()));

    const QString hangul = make(QStringLiteral("한.txt"), 1);
    EXPECT_TRUE(CheckSendList({hangul}).contains(hangul));
    EXPECT_TRUE(CheckSendList({hangul}).contains("Shift-JIS"));

    // Beyond 255 bytes in Shift-JIS (refused before the disk is asked).
    const QString tooLong = dir.filePath(QString(128, QChar(u'あ')));
    ASSERT_EQ(ToShiftJis(SendFileName(tooLong)).size(), 256);
    EXPECT_TRUE(CheckSendList({tooLong}).contains(QStringLiteral("長すぎる")));
}

// Names the peer could not store as they are, or would store as the same
// file: refused before anything is sent.
TEST(SendListCheck, RefusesNamesThePeerCouldNotStore) {
    QTemporaryDir dir;
    const auto make = [&](const QString& relative) {
        const QString path = dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly)) << relative.toStdString();
        return path;
    };
    const QString kanji83 = QString(83, QChar(u'漢')) + ".txt"; // 253 bytes of UTF-8
    const QString kanji84 = QString(84, QChar(u'漢')) + ".txt"; // 256: no such file here
    const QString sameA = make("one/report.txt"), sameB = make("two/report.txt");
    struct Case {
        QStringList Files;
        QString Expected; // empty: accepted; else the start of the refusal
    };
    const Case cases[] = {
        {{make(kanji83)}, {}},
        {{dir.filePath(kanji84)},
         QStringLiteral("ファイル名 %1 は長すぎるため").arg(dir.filePath(kanji84))},
        {{sameA, make("three/other.txt"), sameB},
         QStringLiteral("同じ名前のファイルは一度に送信できません\r\n%1\r\n%2").arg(sameA, sameB)},
        {{make("Report.txt"), sameA}, {}}, // another name on the peer's file system
    };
    for (const Case& c : cases) {
        const QString got = CheckSendList(c.Files);
        if (c.Expected.isEmpty()) {
            EXPECT_EQ(got, QString()) << c.Files.join(' ').toStdString();
        } else {
            EXPECT_TRUE(got.startsWith(c.Expected)) << got.toStdString();
        }
    }
    // Characters that come back from Shift-JIS as others are refused; every
    // such name is named in one message.
    QStringList others;
    for (const char16_t one : {u'\u00A5', u'\u203E'})
        others << make(QStringLiteral("a%1b.txt").arg(QChar(one)));
    EXPECT_EQ(CheckSendList({others[0]}),
              QStringLiteral("ファイル名 %1 には Shift-JIS で表せない文字があるため送信できません")
                  .arg(others[0]));
    const QString hangul = make(QStringLiteral("한.txt"));
    EXPECT_EQ(CheckSendList({others[0], make("fine.txt"), hangul, others[1]}),
              QStringLiteral("次のファイル名には Shift-JIS で表せない文字があるため送信できません"
                             "\r\n%1\r\n%2\r\n%3")
                  .arg(others[0], hangul, others[1]));
}

// A name typed here with JIS-form characters goes in their Windows forms, on
// the bytes a Windows name would have; the sender is told once for the list.
TEST(SendListCheck, JisFormsGoInTheirWindowsForms) {
    QTemporaryDir dir;
    const QString wave = dir.filePath(QStringLiteral("a\u301Cb.txt"));
    const QString minus = dir.filePath(QStringLiteral("\u2212\u00A3.txt"));
    const QString plain = dir.filePath(QStringLiteral("表示.txt"));
    for (const QString& path : {wave, minus, plain}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    EXPECT_EQ(CheckSendList({wave, minus, plain}), QString());
    QString refusal;
    EXPECT_EQ(WireFileName(wave, &refusal), QByteArray("a\x81\x60"
                                                       "b.txt"));
    EXPECT_EQ(WireFileName(minus, &refusal), QByteArray("\x81\x7c\x81\x92.txt"));
    EXPECT_EQ(WireFileName(plain, &refusal), ToShiftJis(QStringLiteral("表示.txt")));
    // The same bytes as a name typed in the Windows forms: one name twice.
    const QString windows = dir.filePath(QStringLiteral("sub/a\uFF5Eb.txt"));
    QDir().mkpath(dir.filePath("sub"));
    QFile f(windows);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    EXPECT_TRUE(CheckSendList({wave, windows}).startsWith(QStringLiteral("同じ名前")));

    EXPECT_EQ(
        WindowsFormsNotice({wave, plain, minus}),
        QStringLiteral("次のファイル名は Windows で使われる文字に置き換えて送信します"
                       "\r\na\u301Cb.txt → a\uFF5Eb.txt\r\n\u2212\u00A3.txt → \uFF0D\uFFE1.txt"));
    EXPECT_EQ(WindowsFormsNotice({plain}), QString());
}

TEST(SendListCheck, BareNameIsAfterTheLastSeparator) {
    EXPECT_EQ(SendFileName("/home/user/a.txt"), "a.txt");
    EXPECT_EQ(SendFileName("C:\\data\\b.txt"), "b.txt");
    EXPECT_EQ(SendFileName("C:c.txt"), "c.txt");
    EXPECT_EQ(SendFileName(QStringLiteral("/tmp/表示.txt")), QStringLiteral("表示.txt"));
}
