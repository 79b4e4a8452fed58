// The command line of relvane-cli.
#include "cli/options.h"

#include <gtest/gtest.h>

using relvane::cli::Options;
using relvane::cli::ParseOptions;

namespace {

QStringList Args(std::initializer_list<const char*> list) {
    QStringList out;
    for (const char* a : list)
        out << QString::fromUtf8(a);
    return out;
}

} // namespace

TEST(CliOptions, DefaultsFollowTheSettingsDefaults) {
    const auto r = ParseOptions(Args({"--listen"}));
    ASSERT_TRUE(r.Error.isEmpty()) << r.Error.toStdString();
    EXPECT_EQ(r.Opts.Role, Options::Mode::Listen);
    EXPECT_EQ(r.Opts.Port, 2010);
    EXPECT_EQ(r.Opts.UserName, QStringLiteral("NoName"));
    EXPECT_TRUE(r.Opts.Compress);
    EXPECT_TRUE(r.Opts.Resume);
    EXPECT_TRUE(r.Opts.ReceiveDir.isEmpty());
    EXPECT_TRUE(r.Opts.Files.isEmpty());
    EXPECT_FALSE(r.Opts.QuitAfterSend);
    EXPECT_FALSE(r.Opts.QuitAfterReceive);
    EXPECT_EQ(r.Opts.TimeoutSeconds, 30);
}

TEST(CliOptions, EveryOptionInBothSpellings) {
    const auto r = ParseOptions(Args({"--connect",
                                      "10.0.0.7",
                                      "--port=4000",
                                      "--name",
                                      "表示さん",
                                      "--recv-dir=/tmp/in",
                                      "--no-compress",
                                      "--no-resume",
                                      "--quit-after-send",
                                      "--quit-after-receive",
                                      "--timeout",
                                      "0",
                                      "--answer-timeout=3",
                                      "--threads",
                                      "3",
                                      "-v",
                                      "a.txt",
                                      "-",
                                      "--",
                                      "-b.txt",
                                      "--listen"}));
    ASSERT_TRUE(r.Error.isEmpty()) << r.Error.toStdString();
    const Options& o = r.Opts;
    EXPECT_EQ(o.Role, Options::Mode::Connect);
    EXPECT_EQ(o.Address, QStringLiteral("10.0.0.7"));
    EXPECT_EQ(o.Port, 4000);
    EXPECT_EQ(o.UserName, QStringLiteral("表示さん"));
    EXPECT_EQ(o.ReceiveDir, QStringLiteral("/tmp/in"));
    EXPECT_FALSE(o.Compress);
    EXPECT_FALSE(o.Resume);
    EXPECT_TRUE(o.QuitAfterSend);
    EXPECT_TRUE(o.QuitAfterReceive);
    EXPECT_EQ(o.TimeoutSeconds, 0);
    EXPECT_EQ(o.AnswerTimeoutSeconds, 3);
    EXPECT_EQ(o.CompressionThreads, 3);
    EXPECT_TRUE(o.Verbose);
    // After "--" everything is a file, even what looks like an option.
    EXPECT_EQ(o.Files, Args({"a.txt", "-", "-b.txt", "--listen"}));
}

TEST(CliOptions, TheLastOfAPairOfSwitchesWins) {
    const auto r =
        ParseOptions(Args({"--listen", "--no-compress", "--compress", "--resume", "--no-resume"}));
    ASSERT_TRUE(r.Error.isEmpty());
    EXPECT_TRUE(r.Opts.Compress);
    EXPECT_FALSE(r.Opts.Resume);
}

TEST(CliOptions, HelpAndVersionNeedNothingElse) {
    EXPECT_TRUE(ParseOptions(Args({"--help"})).Opts.Help);
    EXPECT_TRUE(ParseOptions(Args({"-h", "--bogus-later-is-fine"})).Opts.Help);
    EXPECT_TRUE(ParseOptions(Args({"--port", "0", "--version"})).Opts.Version);
    // help2man reads the usage line, every option and the version line.
    const QString help = relvane::cli::HelpText();
    EXPECT_TRUE(help.startsWith(u"Usage: relvane-cli (--listen | --connect ADDRESS)"))
        << qPrintable(help);
    for (const char* o :
         {"--listen", "--connect", "--port", "--name", "--recv-dir", "--compress", "--no-compress",
          "--resume", "--no-resume", "--quit-after-send", "--quit-after-receive", "--timeout",
          "--answer-timeout", "--verbose", "--help", "--version", "Exit status"}) {
        EXPECT_TRUE(help.contains(QString::fromUtf8(o))) << o;
    }
    EXPECT_EQ(relvane::cli::VersionText(), QStringLiteral("relvane-cli " RELVANE_VERSION "\n"));
}

TEST(CliOptions, RefusesUnusableCommandLines) {
    const std::vector<std::vector<const char*>> bad = {
        {},                                     // neither role
        {"--listen", "--connect", "127.0.0.1"}, // both roles
        {"--connect"},                          // missing value
        {"--connect", "localhost"},             // names are not looked up
        {"--connect", "1.2.3"},
        {"--connect", "1.2.3.4.5"},
        {"--connect", "256.0.0.1"},
        {"--connect", "1.2.3.-4"},
        {"--connect", " 1.2.3.4"},
        {"--listen", "--port", "0"},
        {"--listen", "--port", "65536"},
        {"--listen", "--port", "20x"},
        {"--listen", "--port", "+20"},
        {"--listen", "--port"},
        {"--listen", "--timeout", "-1"},
        {"--listen", "--timeout", "soon"},
        {"--listen", "--answer-timeout", "0"},
        {"--listen", "--threads", "0"},
        {"--listen", "--threads", "9"},
        {"--listen", "--recv-dir="},
        {"--listen", "--compress=1"}, // switches take no value
        {"--listen", "--colour"},     // unknown
        {"--listen", "-x"},
        {"--listen", "--quit-after-send"}, // nothing to send
    };
    for (const auto& args : bad) {
        QStringList list;
        for (const char* a : args)
            list << QString::fromUtf8(a);
        EXPECT_FALSE(ParseOptions(list).Error.isEmpty()) << list.join(u' ').toStdString();
    }
}

TEST(CliOptions, DottedQuads) {
    EXPECT_TRUE(relvane::cli::IsDottedQuad(QStringLiteral("0.0.0.0")));
    EXPECT_TRUE(relvane::cli::IsDottedQuad(QStringLiteral("255.255.255.255")));
    EXPECT_TRUE(relvane::cli::IsDottedQuad(QStringLiteral("127.000.0.1")));
    EXPECT_FALSE(relvane::cli::IsDottedQuad(QStringLiteral("127.0.0.")));
    EXPECT_FALSE(relvane::cli::IsDottedQuad(QStringLiteral("127.0.0.1234")));
    EXPECT_FALSE(relvane::cli::IsDottedQuad(QStringLiteral("１２７.0.0.1"))); // full-width digits
}
