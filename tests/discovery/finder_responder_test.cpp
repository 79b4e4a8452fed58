// Finder and Responder on 127.0.0.1: nothing here leaves the machine.
#include "discovery/datagram.h"
#include "discovery/finder.h"
#include "discovery/responder.h"
#include "discovery/udp.h"
#include "tests/support/ports.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace relvane::discovery;
using relvane::test::FreePort;
using relvane::test::Loopback;
using relvane::test::SlowBuildFactor;
using relvane::test::WaitFor;

namespace {

const QStringList Here{QStringLiteral("127.0.0.1")};
constexpr int CollectMs = 600;

struct Hit {
    QString Name;
    QString Address;
    int Port;
};

// A finder on 127.0.0.1 with what it reported.
struct Search {
    Search(int port, std::uint64_t id) : F(port, Here, id) {
        F.SetCollectMs(CollectMs);
        QObject::connect(&F, &Finder::found, [this](const QString& n, const QString& a, int p) {
            Found.push_back({n, a, p});
        });
        QObject::connect(&F, &Finder::finished, [this](int n) { Finished = n; });
    }
    // Runs the search to its end.
    Search& Run() {
        EXPECT_EQ(F.Start(), 1);
        EXPECT_TRUE(WaitFor([&] { return Finished.has_value(); }, 5000 * SlowBuildFactor));
        return *this;
    }
    Finder F;
    std::vector<Hit> Found;
    std::optional<int> Finished;
};

// A bare UDP socket on 127.0.0.1 playing the other side by hand.
struct RawUdp {
    explicit RawUdp(int port = 0) : Fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
        const sockaddr_in a = Loopback(port);
        EXPECT_EQ(::bind(Fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    }
    ~RawUdp() { ::close(Fd); }
    void SendTo(const QByteArray& d, int port) const {
        const sockaddr_in a = Loopback(port);
        ::sendto(Fd, d.constData(), d.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    // The next datagram within the deadline (dispatching events meanwhile), and its port.
    std::optional<std::pair<QByteArray, int>> Receive(int timeoutMs) const {
        std::optional<std::pair<QByteArray, int>> got;
        WaitFor(
            [&] {
                pollfd p{Fd, POLLIN, 0};
                if (::poll(&p, 1, 0) != 1) return false;
                char buf[256];
                sockaddr_in from{};
                socklen_t n = sizeof from;
                const ssize_t r =
                    ::recvfrom(Fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &n);
                got.emplace(QByteArray(buf, static_cast<int>(r)), ntohs(from.sin_port));
                return true;
            },
            timeoutMs);
        return got;
    }
    int Fd;
};

} // namespace

TEST(Discovery, RoundTripFindsTheActiveResponderOnceDespiteThreeQueries) {
    const int port = FreePort();
    Responder responder(port, QStringLiteral("待ち人"), Here, 1);
    ASSERT_TRUE(responder.SetActive(true));
    Search s(port, 2);
    s.Run();
    ASSERT_EQ(s.Found.size(), 1U);
    EXPECT_EQ(s.Found[0].Name, QStringLiteral("待ち人"));
    EXPECT_EQ(s.Found[0].Address, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(s.Found[0].Port, port);
    EXPECT_EQ(s.Finished, 1);
}

TEST(Discovery, NoAnswerFromAResponderMadeInactiveOrFromOwnRun) {
    const int port = FreePort();
    Responder stopped(port, QStringLiteral("idle"), Here, 1);
    ASSERT_TRUE(stopped.SetActive(true));
    EXPECT_FALSE(stopped.SetActive(false));
    EXPECT_EQ(Search(port, 2).Run().Found.size(), 0U);

    Responder self(port, QStringLiteral("self"), Here, 3);
    ASSERT_TRUE(self.SetActive(true));
    Search own(port, 3);
    own.Run();
    EXPECT_EQ(own.Found.size(), 0U);
    EXPECT_EQ(own.Finished, 0);
}

TEST(Discovery, ASearchStoppedFromItsOwnFoundSignalEndsWithoutFinished) {
    const int port = FreePort();
    Responder responder(port, QStringLiteral("srv"), Here, 1);
    ASSERT_TRUE(responder.SetActive(true));
    Search s(port, 2);
    // Stops inside the socket's read: its sockets must outlive the call.
    QObject::connect(&s.F, &Finder::found, [&] { s.F.Stop(); });
    ASSERT_EQ(s.F.Start(), 1);
    ASSERT_TRUE(WaitFor([&] { return !s.Found.empty(); }, 5000 * SlowBuildFactor));
    EXPECT_FALSE(s.F.IsRunning());
    WaitFor([] { return false; }, CollectMs + 200);
    EXPECT_EQ(s.Found.size(), 1U);
    EXPECT_FALSE(s.Finished.has_value());
}

TEST(Discovery, AnswerGoesToTheAskerAloneAndAFloodGetsFewAnswers) {
    const int port = FreePort();
    Responder responder(port, QStringLiteral("srv"), Here, 1);
    ASSERT_TRUE(responder.SetActive(true));
    RawUdp asker;
    for (int i = 0; i < 200; ++i)
        asker.SendTo(EncodeQuery(9), port);
    int answers = 0;
    while (const auto got = asker.Receive(300 * SlowBuildFactor)) {
        const auto a = DecodeAnswer(got->first);
        ASSERT_TRUE(a);
        EXPECT_EQ(a->Port, port);
        EXPECT_EQ(got->second, port); // from the port it was asked on
        ++answers;
    }
    EXPECT_GE(answers, 1);
    // At most one second's worth, and a second window at most as the test runs.
    EXPECT_LE(answers, 2 * Responder::MaxAnswersPerSecond);
}

TEST(Discovery, AnswersBeyondSixtyFourAreDropped) {
    const int port = FreePort();
    RawUdp fake(port);
    Search s(port, 2);
    ASSERT_EQ(s.F.Start(), 1);
    const auto query = fake.Receive(2000 * SlowBuildFactor);
    ASSERT_TRUE(query);
    // 70 peers (distinct ports), each answering twice, and junk between them;
    // read as they come, so that no socket buffer overflows.
    for (int i = 0; i < 70; ++i) {
        const QByteArray answer = EncodeAnswer(100 + i, QStringLiteral("p%1").arg(i), 3000 + i);
        fake.SendTo(answer, query->second);
        fake.SendTo(answer, query->second);
        fake.SendTo(QByteArray("junk"), query->second);
        QCoreApplication::processEvents();
    }
    ASSERT_TRUE(WaitFor([&] { return s.Finished.has_value(); }, 5000 * SlowBuildFactor));
    EXPECT_EQ(s.Found.size(), std::size_t{Finder::MaxAnswers});
    EXPECT_EQ(s.Finished, Finder::MaxAnswers);
}

TEST(Discovery, OnlyASingleHostIsAnswered) {
    for (const char* a : {"10.0.0.1", "127.0.0.1", "223.255.255.254"})
        EXPECT_TRUE(IsSingleHost(*ParseIp4(QString::fromLatin1(a)))) << a;
    for (const char* a :
         {"0.0.0.0", "224.0.0.1", "239.255.255.250", "240.0.0.1", "255.255.255.255"})
        EXPECT_FALSE(IsSingleHost(*ParseIp4(QString::fromLatin1(a)))) << a;
}
