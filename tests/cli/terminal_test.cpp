// What relvane-cli prints of the peer's texts, and how it reads its input.
#include "cli/terminal.h"

#include <gtest/gtest.h>

using relvane::cli::LineSplitter;
using relvane::cli::TerminalSafe;

TEST(CliTerminal, PeerTextCannotControlTheTerminal) {
    const struct {
        QString In;
        QString Out;
    } cases[] = {
        {QStringLiteral("表示.txt"), QStringLiteral("表示.txt")},
        {QStringLiteral("a\x1b[2Jb"), QStringLiteral("a\\x1B[2Jb")}, // escape sequence
        {QStringLiteral("x\r\nalice: forged"), QStringLiteral("x\\x0D\\x0Aalice: forged")},
        {QString(QChar(0)) + u'\x7f', QStringLiteral("\\x00\\x7F")},
        {QStringLiteral("\u0080\u009b\u00a0"), QStringLiteral("\\x80\\x9B\u00a0")}, // C1 only
        {QStringLiteral("C:\\x1B"), QStringLiteral("C:\\\\x1B")}, // a backslash cannot forge one
        {QStringLiteral("\t ~"), QStringLiteral("\\x09 ~")},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TerminalSafe(c.In), c.Out) << qPrintable(c.In);
}

TEST(CliTerminal, InputLines) {
    const struct {
        std::vector<QByteArray> Reads;
        QStringList Lines; // Feed's, then Finish's
    } cases[] = {
        {{"one\ntwo\r\nthr", "ee\n"}, {"one", "two", "three"}},
        {{"no end"}, {"no end"}},
        {{"\n\n"}, {"", ""}},
        // Cut at 8 bytes, the rest of that line dropped, across reads.
        {{"0123456789", "abc", "def\nnext\n"}, {"01234567", "next"}},
        {{"012345678\n"}, {"01234567"}},
        // Never half a character: "表" is 3 bytes in UTF-8.
        {{"012345表\n"}, {"012345"}},
    };
    for (const auto& c : cases) {
        LineSplitter split(8);
        QStringList got;
        for (const QByteArray& r : c.Reads)
            got += split.Feed(r);
        got += split.Finish();
        EXPECT_EQ(got, c.Lines) << c.Reads.front().toStdString();
    }
}
