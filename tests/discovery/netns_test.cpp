// Discovery between network namespaces that the test makes: A is joined to B
// and to C by veth pairs, with 10.x addresses and no default route, as two
// computers on one cable are. The copies there are real: relvane-cli, and the
// main window pressing "探す" (discovery_window). Needs root (CI runs as
// root); skipped where namespaces cannot be made. Nothing here reaches the
// machine's own network.
#include "discovery/finder.h"
#include "tests/support/childprocess.h"
#include "tests/support/wait.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <unistd.h>

using relvane::test::ChildProcess;
using relvane::test::SlowBuildFactor;
using relvane::test::WaitFor;

namespace {

constexpr char Prefix[] = "rlvd";

QString IpProgram() {
    const QString found = QStandardPaths::findExecutable(
        QStringLiteral("ip"),
        {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/bin")});
    return found;
}

// Runs `ip args`; the error output when it failed, else empty.
QString Ip(const QStringList& args) {
    const QString ip = IpProgram();
    if (ip.isEmpty()) return QStringLiteral("no ip program (package iproute2)");
    ChildProcess p(ip, args, ChildProcess::ErrorOutput::Captured);
    if (!p.Started()) return QStringLiteral("ip did not start");
    if (!p.WaitFinished(10000 * SlowBuildFactor)) return QStringLiteral("ip hangs");
    if (p.ExitCode() == 0) return {};
    return QStringLiteral("ip %1: %2").arg(args.join(u' '), QString::fromUtf8(p.Err).trimmed());
}

QStringList NamespaceNames() {
    const QString ip = IpProgram();
    if (ip.isEmpty()) return {};
    ChildProcess p(ip, {QStringLiteral("netns"), QStringLiteral("list")},
                   ChildProcess::ErrorOutput::Captured);
    if (!p.WaitFinished(10000)) return {};
    QStringList names;
    for (const QString& line : QString::fromUtf8(p.Out).split(u'\n', Qt::SkipEmptyParts))
        names << line.section(u' ', 0, 0);
    return names;
}

// Namespaces "rlvd<pid><a|b|c>", unique per test process (ctest runs each
// case in its own), deleted with the object whatever the test's outcome.
// Those left by a test process that was killed are deleted first.
class Lab {
public:
    Lab() {
        for (const QString& name : NamespaceNames()) {
            if (!name.startsWith(QLatin1String(Prefix))) continue;
            const pid_t pid = name.mid(4).chopped(1).toInt();
            if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH)
                (void)Ip({QStringLiteral("netns"), QStringLiteral("del"), name});
        }
        const auto run = [this](const QString& args) {
            if (Error.isEmpty()) Error = Ip(args.split(u' '));
        };
        for (const char which : {'a', 'b', 'c'}) {
            run(QStringLiteral("netns add %1").arg(Name(which)));
            if (Error.isEmpty()) Made << Name(which);
        }
        const QString a = Name('a');
        // A's two cables, each to its own /24 network.
        for (const auto& [peer, net] : {std::pair{'b', 1}, std::pair{'c', 2}}) {
            const QString here = QStringLiteral("a%1").arg(peer);
            const QString there = QStringLiteral("%1a").arg(peer);
            run(QStringLiteral("-n %1 link add %2 type veth peer name %3 netns %4")
                    .arg(a, here, there, Name(peer)));
            // "brd +": the broadcast address a DHCP client would set.
            run(QStringLiteral("-n %1 addr add 10.201.%2.1/24 brd + dev %3")
                    .arg(a)
                    .arg(net)
                    .arg(here));
            run(QStringLiteral("-n %1 addr add 10.201.%2.2/24 brd + dev %3")
                    .arg(Name(peer))
                    .arg(net)
                    .arg(there));
            run(QStringLiteral("-n %1 link set %2 up").arg(a, here));
            run(QStringLiteral("-n %1 link set %2 up").arg(Name(peer), there));
        }
        for (const QString& ns : std::as_const(Made))
            run(QStringLiteral("-n %1 link set lo up").arg(ns));
    }
    ~Lab() {
        for (const QString& ns : std::as_const(Made))
            EXPECT_EQ(Ip({QStringLiteral("netns"), QStringLiteral("del"), ns}), QString());
    }
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    static QString Name(char which) {
        return QStringLiteral("%1%2%3").arg(QLatin1String(Prefix)).arg(::getpid()).arg(which);
    }
    // A program run inside namespace `which`.
    static std::unique_ptr<ChildProcess> Run(char which, const QString& program,
                                             const QStringList& args, const QStringList& env = {}) {
        return std::make_unique<ChildProcess>(
            IpProgram(),
            QStringList{QStringLiteral("netns"), QStringLiteral("exec"), Name(which), program} +
                args,
            ChildProcess::ErrorOutput::Captured, env);
    }

    QString Error; // why the namespaces could not be made; empty when they were
    QStringList Made;
};

// relvane-cli in namespace `which` once its stderr shows `ready` (or it ended).
std::unique_ptr<ChildProcess> CliIn(char which, const QStringList& args, const char* ready) {
    auto p = Lab::Run(which, QStringLiteral(RELVANE_CLI_PATH), args);
    EXPECT_TRUE(
        WaitFor([&] { return p->Err.contains(ready) || p->Finished(); }, 10000 * SlowBuildFactor))
        << p->Err.toStdString();
    EXPECT_TRUE(p->Err.contains(ready)) << p->Err.toStdString();
    return p;
}

// A copy waiting as a server on port 2010 in namespace `which`.
std::unique_ptr<ChildProcess> ServerIn(char which, const QString& name,
                                       const QStringList& more = {}) {
    return CliIn(which,
                 QStringList{QStringLiteral("--listen"), QStringLiteral("--name"), name,
                             QStringLiteral("--timeout"), QStringLiteral("120")} +
                     more,
                 "接続を待っています・・・");
}

// relvane-cli --discover in namespace A, run to its end.
std::unique_ptr<ChildProcess> DiscoverFromA() {
    auto p = Lab::Run('a', QStringLiteral(RELVANE_CLI_PATH), {QStringLiteral("--discover")});
    EXPECT_TRUE(WaitFor([&] { return p->Finished(); }, 20000 * SlowBuildFactor));
    EXPECT_FALSE(p->Err.contains("Sanitizer") || p->Err.contains("runtime error"))
        << p->Err.toStdString();
    return p;
}

class DiscoveryNamespaces : public testing::Test {
protected:
    void SetUp() override {
        // Nothing inherited may turn the children's search to other targets.
        qunsetenv(relvane::discovery::TargetsVariable);
        if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root (CI runs as root)";
        lab.emplace();
        if (!lab->Error.isEmpty())
            GTEST_SKIP() << "cannot make network namespaces here: " << lab->Error.toStdString();
    }
    std::optional<Lab> lab;
};

} // namespace

TEST_F(DiscoveryNamespaces, TheWaitingCopyAnswersAcrossTheCableAndAConnectedOneDoesNot) {
    const auto waiting = ServerIn('b', QStringLiteral("待っている人"));
    // C waited too, until A's copy connected to it: no longer waiting, silent.
    const auto connected = ServerIn('c', QStringLiteral("connected"));
    const auto client =
        CliIn('a', {QStringLiteral("--connect"), QStringLiteral("10.201.2.2")}, "connected:");
    ASSERT_TRUE(WaitFor([&] { return connected->Err.contains("connected:"); }, 10000));
    const auto asker = DiscoverFromA();
    EXPECT_EQ(asker->ExitCode(), 0) << asker->Err.toStdString();
    EXPECT_EQ(asker->Out.toStdString(), "待っている人\t10.201.1.2\t2010\n");
}

TEST_F(DiscoveryNamespaces, EveryInterfaceIsAskedAndSilenceExitsOne) {
    {
        const auto b = ServerIn('b', QStringLiteral("b"));
        const auto c = ServerIn('c', QStringLiteral("c"));
        const auto asker = DiscoverFromA();
        EXPECT_EQ(asker->ExitCode(), 0) << asker->Err.toStdString();
        QList<QByteArray> lines = asker->Out.split('\n');
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines.join('|').toStdString(), "|b\t10.201.1.2\t2010|c\t10.201.2.2\t2010");
    }
    const auto asker = DiscoverFromA();
    EXPECT_EQ(asker->ExitCode(), 1);
    EXPECT_TRUE(asker->Out.isEmpty());
    EXPECT_TRUE(QString::fromUtf8(asker->Err).contains(QStringLiteral("見つかりませんでした")));
}

TEST_F(DiscoveryNamespaces, ACopyWaitingWithNoDiscoveryDoesNotAnswer) {
    const auto quiet = ServerIn('b', QStringLiteral("quiet"), {QStringLiteral("--no-discovery")});
    const auto heard = ServerIn('c', QStringLiteral("heard"));
    const auto asker = DiscoverFromA();
    EXPECT_EQ(asker->Out.toStdString(), "heard\t10.201.2.2\t2010\n");
}

// The main window in namespace A presses "探す", finds the waiting copy in B,
// chooses it and connects; the address enters the history only then.
TEST_F(DiscoveryNamespaces, TheWindowFindsTheWaitingCopyAndConnectsToIt) {
    const auto server = ServerIn('b', QStringLiteral("相手"));
    QTemporaryDir dir;
    const QString settings = dir.filePath(QStringLiteral("Varnel.ini"));
    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("[Setting]\r\nUserName=me\r\nPortNo=2010\r\nReceivePath=" +
               dir.path().toLocal8Bit() + "/\r\n");
    file.close();
    const auto window = Lab::Run('a', QStringLiteral(DISCOVERY_WINDOW_PATH), {settings},
                                 {QStringLiteral("QT_QPA_PLATFORM=offscreen")});
    ASSERT_TRUE(window->WaitFinished(40000 * SlowBuildFactor));
    EXPECT_EQ(window->ExitCode(), 0) << window->Err.toStdString();
    EXPECT_EQ(window->Out.toStdString(), "button 探しています・・・\n"
                                         "found 相手\t10.201.1.2\t2010\n"
                                         "address 10.201.1.2\n"
                                         "history \n"
                                         "connected\n"
                                         "history 10.201.1.2\n");
}
