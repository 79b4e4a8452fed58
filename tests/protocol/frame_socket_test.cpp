// Frames of every type over a real loopback connection, sent at the same time
// from the user-interface thread and a second thread.
#include "net/socket.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "tests/support/fakes.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QRandomGenerator>

#include <QDeadlineTimer>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <set>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace relvane;
using relvane::test::WaitFor;

namespace {

int FreePort() {
    TcpServer probe;
    for (int port = 20000 + QRandomGenerator::global()->bounded(20000);; ++port) {
        probe.SetPort(port);
        try {
            probe.Open();
            probe.Close();
            return port;
        } catch (const ESocketError&) {
        }
    }
}

struct Pair {
    TcpServer Server;
    TcpClient Client;
    std::shared_ptr<TcpConnection> Accepted;
    std::shared_ptr<TcpConnection> Connected;

    Pair() {
        const int port = FreePort();
        Server.SetPort(port);
        Server.OnAccept = [this](QObject*, const std::shared_ptr<TcpConnection>& s) {
            Accepted = s;
        };
        Client.OnConnect = [this](QObject*, const std::shared_ptr<TcpConnection>& s) {
            Connected = s;
        };
        Server.Open();
        Client.SetPort(port);
        Client.SetAddress(QStringLiteral("127.0.0.1"));
        Client.Open();
        EXPECT_TRUE(WaitFor([&] { return Accepted && Connected; }));
    }
};

// One frame of every type the catalogue knows, with payloads of varied sizes.
std::vector<QByteArray> Catalogue(int seed) {
    const QByteArray block(1024, static_cast<char>('a' + seed % 26));
    return {
        BuildFrame(0, Kind::Notice, Type::FileName, Format::FmtText,
                   TextPayload(QStringLiteral("表示%1.txt").arg(seed))),
        NameExchangeFrame(seed % 2, QStringLiteral("ユーザー%1").arg(seed)),
        ChatFrame(QStringLiteral("こんにちは\r\n%1").arg(seed)),
        BuildFrame(1, Kind::Notice, Type::FileSize, Format::FmtNumber, NumberPayload(seed * 1000)),
        BuildFrame(0, Kind::Notice, Type::LastIndex, Format::FmtNumber, NumberPayload(seed)),
        VersionRequestFrame(),
        BuildFrame(1, Kind::Reply, Type::ResumeOffset, Format::FmtNumber, NumberPayload(seed)),
        BuildFrame(ControlSlot, Kind::Reply, Type::SendAccept, Format::FmtNumber, NumberPayload(1)),
        BuildFrame(0, Kind::Notice, Type::Checksum, Format::FmtText, ChecksumPayload(4294967292u)),
        BuildFrame(1, Kind::Notice, Type::FileData, Format::FmtBinary, block.left(seed % 1025)),
        CompressFrame(true, seed % 2),
        ResumeFrame(false, seed % 3),
        BuildFrame(0, Kind::Reply, Type::Ack, Format::FmtFlag, FlagPayload(true)),
        DisconnectFrame(),
        SendRequestFrame(),
        BuildFrame(1, Kind::Notice, Type::End, Format::FmtNone, NonePayload()),
        BuildFrame(0, Kind::Notice, Type::Cancel, Format::FmtNone, NonePayload()),
    };
}

// Reads until `expected` bytes arrived or the deadline passed.
QByteArray ReadAll(TcpConnection& s, qsizetype expected) {
    QByteArray got;
    char buf[65536];
    WaitFor(
        [&] {
            while (s.BytesWaiting() > 0) {
                const int n = s.ReceiveBytes(buf, sizeof buf);
                if (n <= 0) break;
                got.append(buf, n);
            }
            return got.size() >= expected;
        },
        20000);
    return got;
}

// The stream must split into exactly the frames sent by each sender, each
// sender's frames in order, never one frame cut by another. Some frames are
// the same for both senders, so every interleaving that fits is followed.
void ExpectWholeFrames(const QByteArray& stream, const std::vector<QByteArray>& a,
                       const std::vector<QByteArray>& b) {
    std::set<std::pair<size_t, size_t>> states{{0, 0}};
    qsizetype at = 0;
    while (at < stream.size() && !states.empty()) {
        ASSERT_GE(stream.size() - at, HeaderSize);
        const FrameHeader h = ParseHeader(stream.constData() + at);
        const QByteArray frame = stream.mid(at, HeaderSize + h.Length);
        std::set<std::pair<size_t, size_t>> next;
        for (auto [ia, ib] : states) {
            if (ia < a.size() && frame == a[ia]) next.insert({ia + 1, ib});
            if (ib < b.size() && frame == b[ib]) next.insert({ia, ib + 1});
        }
        ASSERT_FALSE(next.empty()) << "frame at " << at << " is neither sender's next frame";
        states = std::move(next);
        at += frame.size();
    }
    EXPECT_TRUE(states.count({a.size(), b.size()}));
}

} // namespace

TEST(FrameSocket, EveryTypeCrossesWholeBothWaysWhileTwoThreadsSend) {
    Pair p;
    ASSERT_TRUE(p.Accepted && p.Connected);
    for (auto [from, to] :
         {std::pair{p.Connected, p.Accepted}, std::pair{p.Accepted, p.Connected}}) {
        std::vector<QByteArray> ui, worker;
        qsizetype total = 0;
        for (int i = 0; i < 60; ++i) {
            for (const QByteArray& f : Catalogue(i)) {
                ui.push_back(f);
                total += f.size();
            }
            for (const QByteArray& f : Catalogue(i + 1000)) {
                worker.push_back(f);
                total += f.size();
            }
        }
        std::atomic<bool> go{false};
        std::thread second([&] {
            while (!go.load())
                std::this_thread::yield();
            for (const QByteArray& f : worker)
                ASSERT_TRUE(SendFrame(*from, f));
        });
        go = true;
        for (const QByteArray& f : ui)
            ASSERT_TRUE(SendFrame(*from, f));
        const QByteArray stream = ReadAll(*to, total);
        second.join();
        ASSERT_EQ(stream.size(), total);
        ExpectWholeFrames(stream, ui, worker);
    }
}

TEST(FrameSocket, AMegabyteFrameArrivesWholeWhenTheReceiverStartsLate) {
    Pair p;
    ASSERT_TRUE(p.Accepted && p.Connected);
    QByteArray payload(1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(i * 7 + i / 251);
    const QByteArray big = BuildFrame(1, Kind::Notice, Type::FileData, Format::FmtBinary, payload);
    const QByteArray small = ChatFrame(QStringLiteral("後"));
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        SendFrame(*p.Connected, big);
        SendFrame(*p.Connected, small);
        sent = true;
    });
    // Nothing is read until the sender has filled the buffers (or finished).
    WaitFor([&] { return sent.load() || p.Accepted->BytesWaiting() > 512 * 1024; });
    const QByteArray stream = ReadAll(*p.Accepted, big.size() + small.size());
    sender.join();
    ASSERT_EQ(stream.size(), big.size() + small.size());
    EXPECT_TRUE(stream.startsWith(big));
    EXPECT_TRUE(stream.endsWith(small));
}

// A peer that closed normally (its FIN, then a reset for whatever follows):
// later sends fail as errors, never as SIGPIPE, which by default would end
// the whole program.
TEST(FrameSocket, SendsAfterThePeerClosedFailWithoutSigpipe) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length), 0);

    TcpClient client;
    std::shared_ptr<TcpConnection> near;
    client.OnConnect = [&](QObject*, const std::shared_ptr<TcpConnection>& s) { near = s; };
    client.SetPort(ntohs(at.sin_port));
    client.SetAddress(QStringLiteral("127.0.0.1"));
    client.Open();
    ASSERT_TRUE(WaitFor([&] { return near != nullptr; }));
    const int far = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(far, 0);
    ::close(far); // nothing unread: a plain FIN
    ::close(listener);
    // No events from here on: the client would report the close and release
    // the connection before the sends could meet the closed peer.
    const QDeadlineTimer deadline(10000);
    char byte;
    while (near->ReceiveBytes(&byte, 1) != 0 && !deadline.hasExpired())
        near->WaitReadable(100);

    const auto before = ::signal(SIGPIPE, SIG_DFL);
    int sends = 0;
    bool failed = false;
    while (!failed && !deadline.hasExpired()) {
        ++sends;
        try {
            failed = !SendFrame(*near, ChatFrame(QStringLiteral("まだいますか")));
        } catch (const ESocketError& e) {
            failed = true;
            EXPECT_TRUE(e.Code() == EPIPE || e.Code() == ECONNRESET) << e.Code();
        }
    }
    ::signal(SIGPIPE, before);
    EXPECT_TRUE(failed);
    EXPECT_GE(sends, 2);
}
