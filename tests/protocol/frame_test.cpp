#include "protocol/frame.h"

#include "net/socket.h"
#include "platform/sjis.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <limits>

using namespace relvane;

namespace {

QByteArray Hex(const char* hex) {
    return QByteArray::fromHex(hex);
}

// Records what is sent; refuses the first `busy` attempts as "would block".
class RecordingConnection : public IConnection {
public:
    int Busy = 0;
    bool Open = true;
    int Attempts = 0;
    QByteArray Sent;
    int BytesWaiting() override { return 0; }
    int ReceiveBytes(void*, int) override { return 0; }
    int SendBytes(const void* buffer, int n) override {
        ++Attempts;
        if (!Open) return 0;
        if (Busy > 0) {
            --Busy;
            return -1;
        }
        Sent.append(static_cast<const char*>(buffer), n);
        return n;
    }
    bool IsConnected() const override { return Open; }
    bool WaitReady(int, int, bool) override { return false; }
    bool WaitWritable(int) override { return Busy == 0; }
};

} // namespace

TEST(Frame, CatalogueExamplesBuildToTheirBytes) {
    EXPECT_EQ(
        BuildFrame(ControlSlot, Kind::Request, Type::SendRequest, Format::FmtNone, NonePayload()),
        Hex("ff020e0100000004 00"));
    EXPECT_EQ(BuildFrame(ControlSlot, Kind::Request, Type::Version, Format::FmtNumber,
                         NumberPayload(ProtocolVersion)),
              Hex("ff02050100000001 35"));
    EXPECT_EQ(
        BuildFrame(ControlSlot, Kind::Reply, Type::Compress, Format::FmtFlag, FlagPayload(true)),
        Hex("ff030a0100000003 31"));
    EXPECT_EQ(BuildFrame(0, Kind::Notice, Type::FileSize, Format::FmtNumber, NumberPayload(1500)),
              Hex("0000030400000001 31353030"));
    EXPECT_EQ(BuildFrame(1, Kind::Reply, Type::Ack, Format::FmtFlag, FlagPayload(true)),
              Hex("01030c0100000003 31"));
    EXPECT_EQ(BuildFrame(0, Kind::Notice, Type::End, Format::FmtNone, NonePayload()),
              Hex("00000f0100000004 00"));
    // The disconnect notice is always these nine bytes.
    EXPECT_EQ(
        BuildFrame(ControlSlot, Kind::Request, Type::Disconnect, Format::FmtNone, NonePayload()),
        Hex("ff020d0100000004 00"));
}

TEST(Frame, TextFramesCarryShiftJisByteCountsAndHeadersParseBack) {
    const QByteArray frame = BuildFrame(1, Kind::Notice, Type::FileName, Format::FmtText,
                                        TextPayload(QStringLiteral("表示.txt")));
    ASSERT_EQ(frame.size(), HeaderSize + 8);
    EXPECT_EQ(frame.mid(HeaderSize), Hex("955c8ea62e747874"));
    const FrameHeader h = ParseHeader(frame.constData());
    EXPECT_EQ(h.Slot, 1);
    EXPECT_EQ(h.Kind, 0);
    EXPECT_EQ(h.Type, 0);
    EXPECT_EQ(h.Length, 8);
    EXPECT_EQ(h.Format, 0);

    // Lengths are signed little-endian: a hostile 0xFFFFFFFF reads as -1.
    EXPECT_EQ(ParseHeader(Hex("000009 ffffffff 02").constData()).Length, -1);
    EXPECT_EQ(ParseHeader(Hex("000009 00000001 02").constData()).Length, 16777216);
    // A large block: the length uses all four bytes.
    const QByteArray big(70000, 'x');
    EXPECT_EQ(
        ParseHeader(BuildFrame(0, Kind::Notice, Type::FileData, Format::FmtBinary, big).constData())
            .Length,
        70000);
}

TEST(Frame, NumbersAreStrictDecimalWithinTheirRange) {
    EXPECT_EQ(ParseNumber("0"), 0);
    EXPECT_EQ(ParseNumber("1500"), 1500);
    EXPECT_EQ(ParseNumber("-1"), -1);
    EXPECT_EQ(ParseNumber("+7"), 7);
    EXPECT_EQ(ParseNumber("2147483647"), 2147483647);
    EXPECT_EQ(ParseNumber("-2147483648"), -2147483647 - 1);
    for (const char* bad : {"", "-", "2147483648", "-2147483649", "12a", " 1", "1 ", "0x10",
                            "99999999999999999999"}) {
        EXPECT_THROW((void)ParseNumber(bad), EProtocolError) << bad;
    }
    try {
        (void)ParseNumber("abc");
        FAIL();
    } catch (const EProtocolError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("'abc' は整数ではありません"));
    }
    EXPECT_EQ(ParseChecksum("4294967292"), 4294967292u);
    EXPECT_EQ(ParseChecksum("4294967295"), 4294967295u);
    EXPECT_THROW((void)ParseChecksum("4294967296"), EProtocolError);
    EXPECT_THROW((void)ParseChecksum("-1"), EProtocolError);
    EXPECT_EQ(ChecksumPayload(4294967292u), QByteArray("4294967292"));
    EXPECT_EQ(NumberPayload(-5), QByteArray("-5"));
}

TEST(Frame, FlagsOnlyExactlyOneIsOnAndOnlyExactlyZeroRejects) {
    EXPECT_TRUE(IsFlagOn("1"));
    EXPECT_FALSE(IsFlagOn("11"));
    EXPECT_FALSE(IsFlagOn("Y"));
    EXPECT_FALSE(IsFlagOn(""));
    EXPECT_TRUE(IsRejection("0"));
    EXPECT_FALSE(IsRejection("00"));
    EXPECT_FALSE(IsRejection("x"));
}

TEST(Frame, SendFrameGoesWholeOrGivesUpByOneRule) {
    const QByteArray frame = BuildFrame(ControlSlot, Kind::Notice, Type::Chat, Format::FmtText,
                                        TextPayload(QStringLiteral("こんにちは")));
    enum class Outcome { Sent, Dropped, Stalled };
    struct Case {
        const char* Name;
        int Busy; // attempts refused as "would block"; -1: every attempt
        bool Open;
        bool Stop;
        Outcome Expected;
        int Attempts;
    };
    const Case cases[] = {
        {"taken at once", 0, true, false, Outcome::Sent, 1},
        {"taken after three refusals", 3, true, false, Outcome::Sent, 4},
        {"closed connection", 0, false, false, Outcome::Dropped, 1},
        {"terminate requested while blocked", -1, true, true, Outcome::Dropped, 1},
        {"peer takes nothing", -1, true, false, Outcome::Stalled, -1},
    };
    for (const Case& c : cases) {
        RecordingConnection conn;
        conn.Busy = c.Busy < 0 ? std::numeric_limits<int>::max() : c.Busy;
        conn.Open = c.Open;
        const std::atomic<bool> stop{c.Stop};
        const SendOptions options{.Stop = &stop, .StallMs = 50};
        Outcome got = Outcome::Sent;
        try {
            got = SendFrame(conn, frame, options) ? Outcome::Sent : Outcome::Dropped;
        } catch (const ESocketError& e) {
            got = Outcome::Stalled;
            EXPECT_EQ(e.Code(), ETIMEDOUT) << c.Name;
            EXPECT_EQ(e.Api(), QStringLiteral("send")) << c.Name;
        }
        EXPECT_EQ(got, c.Expected) << c.Name;
        EXPECT_EQ(conn.Sent, got == Outcome::Sent ? frame : QByteArray()) << c.Name;
        if (c.Attempts >= 0) {
            EXPECT_EQ(conn.Attempts, c.Attempts) << c.Name;
        }
    }
}
