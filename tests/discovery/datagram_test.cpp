// The discovery datagrams: the layout, and the table of what is refused.
#include "discovery/datagram.h"

#include "platform/sjis.h"

#include <gtest/gtest.h>

using namespace relvane::discovery;

namespace {

QByteArray Hex(const char* hex) {
    return QByteArray::fromHex(hex);
}

// The answer of id 0x0102030405060708 for "ab" on port 2010, byte by byte.
const QByteArray AnswerAb = Hex("526c7644"
                                "01"
                                "02"
                                "0102030405060708"
                                "07da"
                                "02"
                                "6162");

} // namespace

TEST(DiscoveryDatagram, LayoutByteForByte) {
    EXPECT_EQ(EncodeQuery(0x0102030405060708), Hex("526c7644"
                                                   "01"
                                                   "01"
                                                   "0102030405060708"));
    EXPECT_EQ(EncodeAnswer(0x0102030405060708, QStringLiteral("ab"), 2010), AnswerAb);
    const auto a = DecodeAnswer(AnswerAb);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Id, 0x0102030405060708U);
    EXPECT_EQ(a->Name, QStringLiteral("ab"));
    EXPECT_EQ(a->Port, 2010);
    EXPECT_EQ(DecodeQuery(EncodeQuery(42))->Id, 42U);
}

TEST(DiscoveryDatagram, NameIsShiftJisCutAtACharacterWithinFiftyBytes) {
    // 25 two-byte characters and one more: the 26th would pass byte 50.
    const QString name = QString(26, QChar(u'名'));
    const auto a = DecodeAnswer(EncodeAnswer(1, QStringLiteral("x") + name, 80));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Name, QStringLiteral("x") + QString(24, QChar(u'名')));
    EXPECT_EQ(DecodeAnswer(EncodeAnswer(1, QString(), 80))->Name, QStringLiteral("NoName"));
}

TEST(DiscoveryDatagram, MalformedAreRefused) {
    const QByteArray query = EncodeQuery(7);
    const auto with = [](QByteArray d, int at, char value) {
        d[at] = value;
        return d;
    };
    struct Case {
        const char* what;
        QByteArray bytes;
    };
    const Case answers[] = {
        {"empty", {}},
        {"header only", AnswerAb.left(HeaderSize)},
        {"one byte short", AnswerAb.chopped(1)},
        {"one byte long", AnswerAb + 'c'},
        {"wrong magic", with(AnswerAb, 0, 'r')},
        {"wrong version", with(AnswerAb, 4, 2)},
        {"a query", query},
        {"unknown kind", with(AnswerAb, 5, 3)},
        {"port 0", with(with(AnswerAb, 14, 0), 15, 0)},
        {"empty name", with(AnswerAb.left(AnswerFixedSize), 16, 0)},
        {"name length past the end", with(AnswerAb, 16, 3)},
        {"name over 50 bytes", with(AnswerAb.left(AnswerFixedSize), 16, 51) + QByteArray(51, 'a')},
        {"lead byte without its second", with(AnswerAb, 17 + 1, '\x82')},
        {"byte that starts no character", with(AnswerAb, 17, '\x80')},
        {"huge", AnswerAb + QByteArray(2000, 'a')},
    };
    for (const Case& c : answers)
        EXPECT_FALSE(DecodeAnswer(c.bytes)) << c.what;
    const Case queries[] = {
        {"empty", {}},
        {"one byte short", query.chopped(1)},
        {"one byte long", query + '\0'},
        {"wrong magic", with(query, 3, 'd')},
        {"wrong version", with(query, 4, 0)},
        {"an answer", AnswerAb},
    };
    for (const Case& c : queries)
        EXPECT_FALSE(DecodeQuery(c.bytes)) << c.what;
}
