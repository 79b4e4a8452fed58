// relvane-cli's discovery options, and --discover against a responder of this
// test on 127.0.0.1 (RELVANE_DISCOVERY_TARGETS keeps the search there).
#include "cli/options.h"
#include "discovery/finder.h"
#include "discovery/responder.h"
#include "tests/support/childprocess.h"
#include "tests/support/ports.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

using relvane::cli::Options;
using relvane::cli::ParseOptions;
using relvane::test::ChildProcess;
using relvane::test::FreePort;
using relvane::test::SlowBuildFactor;
using relvane::test::WaitFor;

namespace {

QStringList Args(const char* line) {
    return QString::fromUtf8(line).split(u' ', Qt::SkipEmptyParts);
}

std::unique_ptr<ChildProcess> DiscoverOnLoopback(int port) {
    auto p = std::make_unique<ChildProcess>(
        QStringLiteral(RELVANE_CLI_PATH),
        QStringList{QStringLiteral("--discover"), QStringLiteral("--timeout"), QStringLiteral("1"),
                    QStringLiteral("--port"), QString::number(port)},
        ChildProcess::ErrorOutput::Captured,
        QStringList{QStringLiteral("%1=127.0.0.1").arg(relvane::discovery::TargetsVariable)});
    EXPECT_TRUE(WaitFor([&] { return p->Finished(); }, 20000 * SlowBuildFactor));
    return p;
}

} // namespace

TEST(CliDiscoverOptions, ParsedAndChecked) {
    const auto d = ParseOptions(Args("--discover --timeout 5 --port 4000"));
    ASSERT_TRUE(d.Error.isEmpty()) << d.Error.toStdString();
    EXPECT_EQ(d.Opts.Role, Options::Mode::Discover);
    EXPECT_EQ(d.Opts.DiscoverSeconds, 5);
    EXPECT_EQ(d.Opts.Port, 4000);
    EXPECT_EQ(ParseOptions(Args("--discover")).Opts.DiscoverSeconds, 2);
    EXPECT_TRUE(ParseOptions(Args("--listen")).Opts.Discovery);
    const auto quiet = ParseOptions(Args("--listen --no-discovery"));
    ASSERT_TRUE(quiet.Error.isEmpty());
    EXPECT_FALSE(quiet.Opts.Discovery);

    for (const char* bad :
         {"--discover --listen", "--discover --connect 10.0.0.1", "--discover file.txt",
          "--discover --timeout 0", "--discover --timeout 61"}) {
        EXPECT_FALSE(ParseOptions(Args(bad)).Error.isEmpty()) << bad;
    }
}

TEST(CliDiscover, PrintsEachAnswerWithTheNameEscaped) {
    const int port = FreePort();
    relvane::discovery::Responder responder(port, QStringLiteral("名\tx\x1b[2J\\"),
                                            {QStringLiteral("127.0.0.1")});
    ASSERT_TRUE(responder.SetActive(true));
    const auto p = DiscoverOnLoopback(port);
    EXPECT_EQ(p->ExitCode(), 0) << p->Err.toStdString();
    EXPECT_EQ(p->Out.toStdString(),
              "名\\x09x\\x1B[2J\\\\\t127.0.0.1\t" + std::to_string(port) + "\n");
}

TEST(CliDiscover, NobodyAnsweringExitsOneWithAHint) {
    const auto p = DiscoverOnLoopback(FreePort());
    EXPECT_EQ(p->ExitCode(), 1);
    EXPECT_TRUE(p->Out.isEmpty());
    EXPECT_TRUE(QString::fromUtf8(p->Err).contains(QStringLiteral("firewall")))
        << p->Err.toStdString();
}
