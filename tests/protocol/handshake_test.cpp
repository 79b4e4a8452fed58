// The handshake object alone, both roles over a socket pair: what one side
// sends is read off the other end and handed to the other side's object.

#include "platform/sjis.h"
#include "protocol/handshake.h"
#include "tests/support/fakes.h"

#include <gtest/gtest.h>

#include <optional>

#include <sys/socket.h>
#include <unistd.h>

using namespace relvane;
using namespace relvane::test;
using namespace std::chrono_literals;

namespace {

using Clock = Handshake::Clock;

// One end of the pair: its handshake and what that reported.
struct End {
    int Fd = -1;
    std::unique_ptr<Handshake> Shake;
    std::vector<ConnectStage> Stages;
    std::optional<HandshakeFailure> Failure;
    int Failures = 0;

    void Make(Role role, HandshakeSettings settings, std::chrono::milliseconds limit = 10s) {
        Shake = std::make_unique<Handshake>(
            role, std::move(settings),
            Handshake::Hooks{.Send =
                                 [this](const QByteArray& frame) {
                                     ASSERT_EQ(
                                         ::send(Fd, frame.constData(), frame.size(), MSG_NOSIGNAL),
                                         frame.size());
                                 },
                             .StageChanged = [this](ConnectStage s) { Stages.push_back(s); },
                             .Failed =
                                 [this](HandshakeFailure why) {
                                     Failure = why;
                                     ++Failures;
                                 }},
            limit);
    }
    // What the other end sent so far.
    QByteArray Read() const {
        QByteArray all;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
            all.append(buffer, n);
        return all;
    }
    // Hands every frame that arrived to the handshake; false when none did.
    bool Take() {
        const auto frames = SplitFrames(Read());
        for (const SentFrame& f : frames)
            Shake->Process(static_cast<Kind>(f.Header.Kind), static_cast<Type>(f.Header.Type),
                           f.Payload);
        return !frames.empty();
    }
};

struct Pair {
    End Listener, Connector;
    Pair() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        Listener.Fd = fds[0];
        Connector.Fd = fds[1];
    }
    ~Pair() {
        ::close(Listener.Fd);
        ::close(Connector.Fd);
    }
    // Frames go back and forth until neither side has more to say.
    void Exchange() {
        while (Connector.Take() || Listener.Take()) {
        }
    }
};

QByteArray Control(Kind kind, Type type, Format format, QByteArrayView payload) {
    return BuildFrame(ControlSlot, kind, type, format, payload);
}

const QByteArray VersionRequestBytes = QByteArray::fromHex("ff0205010000000135");
const QByteArray VersionReplyBytes = QByteArray::fromHex("ff0305010000000135");

} // namespace

TEST(HandshakeObject, FullExchangeInEveryCombinationOfTheSwitches) {
    using enum ConnectStage;
    for (const auto& [own, peer] :
         {std::pair{false, false}, {false, true}, {true, false}, {true, true}}) {
        const std::string label = std::to_string(own) + std::to_string(peer);
        Pair p;
        // Each switch meets each combination: resume takes them swapped.
        p.Listener.Make(Role::Listening, {QStringLiteral("送信者"), own, peer});
        p.Connector.Make(Role::Connecting, {QStringLiteral("受信者"), peer, own});
        p.Listener.Shake->Start();
        p.Connector.Shake->Start();
        p.Exchange();
        for (const End* e : {&p.Listener, &p.Connector}) {
            EXPECT_TRUE(e->Shake->Connected()) << label;
            EXPECT_EQ(e->Stages, (std::vector{Opened, VersionAgreed, NamesExchanged, CompressAgreed,
                                              Connected}))
                << label;
            EXPECT_EQ(e->Shake->CompressOn(), own && peer) << label;
            EXPECT_EQ(e->Shake->ResumeOn(), own && peer) << label;
            EXPECT_FALSE(e->Failure) << label;
            EXPECT_EQ(e->Shake->MsLeft(), -1) << label; // no limit runs once connected
        }
        EXPECT_EQ(p.Listener.Shake->PeerName(), QStringLiteral("受信者"));
        EXPECT_EQ(p.Connector.Shake->PeerName(), QStringLiteral("送信者"));
    }
}

// One side against a scripted peer whose frames arrive together.
TEST(HandshakeObject, OneSideAgainstAScriptedPeer) {
    using enum ConnectStage;
    const auto step = [](Kind kind, Type type, QByteArrayView payload) {
        const Format format = type == Type::NameExchange ? Format::FmtText
                              : type == Type::Version    ? Format::FmtNumber
                                                         : Format::FmtFlag;
        return Control(kind, type, format, payload);
    };
    const auto request = [&](Type type, QByteArrayView payload) {
        return step(Kind::Request, type, payload);
    };
    const auto reply = [&](Type type, QByteArrayView payload) {
        return step(Kind::Reply, type, payload);
    };
    const QString longName(30, QChar(u'表')); // 60 bytes in Shift-JIS
    struct Case {
        const char* Name;
        Role Side;
        QByteArray Script;
        std::optional<HandshakeFailure> Failure;
        ConnectStage Stage;
        QByteArray Answer; // sent back (after a listening side's Version Request)
        std::optional<bool> CompressOn = std::nullopt;
        QString User = QStringLiteral("me");
    };
    const Case cases[] = {
        {"another version is answered, then fails", Role::Connecting, request(Type::Version, "4"),
         HandshakeFailure::Disagreed, Opened, VersionReplyBytes},
        {"a version that is no number", Role::Connecting, request(Type::Version, "abc"),
         HandshakeFailure::Disagreed, Opened, VersionReplyBytes},
        {"a step out of order is not answered",
         Role::Connecting,
         request(Type::NameExchange, "x"),
         HandshakeFailure::Disagreed,
         Opened,
         {}},
        {"a switch other than exactly 1 is off", Role::Connecting,
         request(Type::Version, "5") + request(Type::NameExchange, "a") +
             request(Type::Compress, "2"),
         std::nullopt, CompressAgreed,
         VersionReplyBytes + NameExchangeFrame(true, QStringLiteral("me")) +
             CompressFrame(true, true),
         false},
        {"a long name is cut at a character boundary", Role::Connecting,
         request(Type::Version, "5") + request(Type::NameExchange, "a"), std::nullopt,
         NamesExchanged,
         VersionReplyBytes + reply(Type::NameExchange, ToShiftJis(QString(25, QChar(u'表')))),
         std::nullopt, longName},
        {"another version in the reply",
         Role::Listening,
         reply(Type::Version, "6"),
         HandshakeFailure::Disagreed,
         Opened,
         {}},
        {"a peer that asks back is out of turn",
         Role::Listening,
         request(Type::Version, "5"),
         HandshakeFailure::OutOfTurn,
         Opened,
         {}},
        {"a Request later on is out of turn too", Role::Listening,
         reply(Type::Version, "5") + request(Type::NameExchange, "x"), HandshakeFailure::OutOfTurn,
         VersionAgreed, NameExchangeFrame(false, QStringLiteral("me"))},
        {"a Reply out of turn is ignored",
         Role::Listening,
         reply(Type::Compress, "1"),
         std::nullopt,
         Opened,
         {}},
    };
    for (const Case& c : cases) {
        Pair p;
        End& side = c.Side == Role::Listening ? p.Listener : p.Connector;
        End& peer = c.Side == Role::Listening ? p.Connector : p.Listener;
        side.Make(c.Side, {c.User, true, true});
        side.Shake->Start();
        if (c.Side == Role::Listening) {
            EXPECT_EQ(peer.Read(), VersionRequestBytes) << c.Name;
        }
        ASSERT_EQ(::send(peer.Fd, c.Script.constData(), c.Script.size(), 0), c.Script.size());
        side.Take();
        EXPECT_EQ(side.Failure, c.Failure) << c.Name;
        EXPECT_EQ(side.Shake->Stage(), c.Stage) << c.Name;
        EXPECT_EQ(peer.Read().toHex(), c.Answer.toHex()) << c.Name;
        if (c.CompressOn) {
            EXPECT_EQ(side.Shake->CompressOn(), *c.CompressOn) << c.Name;
        }
    }
}

// The whole handshake has a limit, not only its first answer: a peer that
// answers the Version step and stalls cannot hold the listener.
TEST(HandshakeObject, PeerThatAnswersVersionAndStallsTimesOut) {
    Pair p;
    p.Listener.Make(Role::Listening, {}, 50ms);
    p.Connector.Make(Role::Connecting, {});
    const Clock::time_point t0 = Clock::now();
    p.Listener.Shake->Start(t0);
    p.Connector.Shake->Start(t0);
    p.Connector.Take();
    p.Listener.Take(); // the name Request goes; the peer never answers it
    ASSERT_EQ(p.Listener.Shake->Stage(), ConnectStage::VersionAgreed);

    EXPECT_EQ(p.Listener.Shake->MsLeft(t0 + 20ms), 30);
    p.Listener.Shake->CheckTime(t0 + 49ms);
    EXPECT_FALSE(p.Listener.Failure);
    p.Listener.Shake->CheckTime(t0 + 50ms);
    EXPECT_EQ(p.Listener.Failure, HandshakeFailure::TimedOut);
    p.Listener.Shake->CheckTime(t0 + 60ms);
    EXPECT_EQ(p.Listener.Failures, 1);
    // A late answer changes nothing.
    p.Exchange();
    EXPECT_EQ(p.Listener.Shake->Stage(), ConnectStage::VersionAgreed);

    // The connecting side has no limit of its own: its listener has one.
    EXPECT_EQ(p.Connector.Shake->MsLeft(t0), -1);
    p.Connector.Shake->CheckTime(t0 + 24h);
    EXPECT_FALSE(p.Connector.Failure);
}

// The session may have sent the Version Request when it accepted the peer:
// it does not go twice, and the limit counts from the accept.
TEST(HandshakeObject, VersionRequestSentAtTheAcceptIsNotRepeated) {
    Pair p;
    p.Listener.Make(Role::Listening, {}, 50ms);
    const Clock::time_point accepted = Clock::now() - 30ms;
    p.Listener.Shake->Start(accepted, true);
    EXPECT_TRUE(p.Connector.Read().isEmpty());
    EXPECT_EQ(p.Listener.Shake->MsLeft(accepted + 30ms), 20);
    EXPECT_EQ(p.Listener.Shake->Stage(), ConnectStage::Opened);
}
