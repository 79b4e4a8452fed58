// The connection's life, two sessions on 127.0.0.1 and no windows: who is
// served, when a wait ends, when the peer learns of a disconnect.

#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "session/session.h"
#include "tests/support/ports.h"
#include "tests/support/wait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace relvane;
using namespace relvane::test;

namespace {

// One copy of the program without windows: a session and what it reported.
struct Peer {
    explicit Peer(const QString& name, int port) {
        SessionSettings s;
        s.UserName = name;
        s.ReceiveFolder = Inbox.path() + u'/';
        S.SetSettings(s);
        S.SetPort(port);
        QObject::connect(&S, &Session::connected,
                         [this] { Events << QStringLiteral("connected"); });
        QObject::connect(&S, &Session::connectionLost,
                         [this] { Events << QStringLiteral("lost"); });
        QObject::connect(&S, &Session::peerDropped,
                         [this] { Events << QStringLiteral("dropped"); });
        QObject::connect(&S, &Session::attemptEnded, [this](ErrorKind, const QString& text) {
            Events << QStringLiteral("ended:") + text;
        });
        QObject::connect(&S, &Session::failure, [this](ErrorKind, const QString& text) {
            Events << QStringLiteral("failure:") + text;
        });
        QObject::connect(&S, &Session::chatReceived,
                         [this](const QString&, const QString& text) { Chats << text; });
    }
    bool Has(const QString& event) const { return Events.contains(event); }

    QTemporaryDir Inbox;
    Session S;
    QStringList Events;
    QStringList Chats;
};

class SessionTest : public testing::Test {
protected:
    // A listens, B connects; both through the handshake.
    void ConnectPair(Peer& server, Peer& client) {
        server.S.Listen();
        client.S.Connect(QStringLiteral("127.0.0.1"));
        ASSERT_TRUE(WaitFor([&] { return server.S.IsConnected() && client.S.IsConnected(); }));
    }

    int Port = FreePort();
};

TEST_F(SessionTest, HandshakeConnectsBothAndAnEmptyNameGoesAsNoName) {
    Peer a(QString(), Port);
    Peer b(QStringLiteral("ボブ"), Port);
    ConnectPair(a, b);
    EXPECT_EQ(a.S.PeerName(), u"ボブ");
    EXPECT_EQ(b.S.PeerName(), u"NoName");
    EXPECT_EQ(a.S.Stage(), ConnectStage::Connected);
    EXPECT_TRUE(a.S.CompressOn());
    EXPECT_TRUE(b.S.ResumeOn());
    EXPECT_EQ(a.Events, QStringList{QStringLiteral("connected")});
}

// The user's disconnect lets the connection go before the box is shown: the
// peer sees the close while the box (a nested loop here) is still open.
TEST_F(SessionTest, ThePeerLearnsOfADisconnectWhileTheBoxIsOpen) {
    for (const bool fromServer : {true, false}) {
        SCOPED_TRACE(fromServer ? "server disconnects" : "client disconnects");
        Peer a(QStringLiteral("a"), Port);
        Peer b(QStringLiteral("b"), Port);
        ConnectPair(a, b);
        Peer& leaving = fromServer ? a : b;
        Peer& staying = fromServer ? b : a;
        bool seenInsideBox = false;
        QObject::connect(&leaving.S, &Session::connectionLost, [&] {
            QEventLoop box;
            QTimer::singleShot(1000, &box, &QEventLoop::quit);
            QObject::connect(&staying.S, &Session::connectionLost, &box, [&] {
                seenInsideBox = true;
                box.quit();
            });
            box.exec();
        });
        leaving.S.Disconnect();
        EXPECT_TRUE(seenInsideBox);
        EXPECT_EQ(staying.S.State(), SessionState::Idle);
        EXPECT_FALSE(leaving.S.Listening()) << "a server's disconnect stops listening";
        Port = FreePort();
    }
}

// Before the handshake completes, a peer that closes, stays silent or speaks
// something else is dropped and the listener waits for the next, which is
// served.
TEST_F(SessionTest, ProbesDoNotStopAListener) {
    enum class Probe { Closing, Silent, Garbage };
    for (const Probe probe : {Probe::Closing, Probe::Silent, Probe::Garbage}) {
        SCOPED_TRACE(static_cast<int>(probe));
        Peer a(QStringLiteral("a"), Port);
        a.S.SetHandshakeLimitMs(300 * SlowBuildFactor);
        a.S.Listen();
        const int fd = ConnectRaw(Port);
        if (probe == Probe::Closing) ::close(fd);
        if (probe == Probe::Garbage) {
            const QByteArray get("GET / HTTP/1.0\r\n\r\n");
            ::send(fd, get.constData(), get.size(), MSG_NOSIGNAL);
        }
        ASSERT_TRUE(WaitFor([&] { return a.Has(QStringLiteral("dropped")); }));
        EXPECT_EQ(a.S.State(), SessionState::Listening);
        EXPECT_EQ(a.Events, QStringList{QStringLiteral("dropped")}) << "nothing to show";
        if (probe != Probe::Closing) ::close(fd);

        Peer b(QStringLiteral("b"), Port);
        b.S.Connect(QStringLiteral("127.0.0.1"));
        EXPECT_TRUE(WaitFor([&] { return a.S.IsConnected() && b.S.IsConnected(); }));
        Port = FreePort();
    }
}

// After its peer left, a server still listens; a peer that connects then
// waits as for any server, and the next server attempt takes it at once.
TEST_F(SessionTest, APeerThatComesAfterThePreviousOneLeftIsServedByTheNextAttempt) {
    Peer a(QStringLiteral("a"), Port);
    {
        Peer b(QStringLiteral("b"), Port);
        ConnectPair(a, b);
        b.S.Disconnect();
        ASSERT_TRUE(WaitFor([&] { return a.Has(QStringLiteral("lost")); }));
    }
    EXPECT_EQ(a.S.State(), SessionState::Idle);
    EXPECT_TRUE(a.S.Listening());

    Peer c(QStringLiteral("c"), Port);
    c.S.Connect(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return c.S.Stage() == ConnectStage::Opened; }));
    WaitFor([] { return false; }, 200);
    EXPECT_EQ(c.S.State(), SessionState::Connecting) << "kept, not closed";
    EXPECT_TRUE(c.Events.isEmpty());

    a.S.Listen();
    EXPECT_TRUE(WaitFor([&] { return a.S.IsConnected() && c.S.IsConnected(); }));
    EXPECT_EQ(a.S.PeerName(), u"c");
}

// Chat is queued to the worker: lines of the largest size typed on both
// sides at once are all delivered, and a longer one is cut to fit.
TEST_F(SessionTest, LargestChatLinesBothWaysAtOnceAreDelivered) {
    Peer a(QStringLiteral("a"), Port);
    Peer b(QStringLiteral("b"), Port);
    ConnectPair(a, b);
    const QString big(MaxPayload, u'x');
    const QString tooBig(MaxPayload + 10, u'y');
    ASSERT_TRUE(a.S.SendChat(big));
    ASSERT_TRUE(b.S.SendChat(big));
    ASSERT_TRUE(a.S.SendChat(tooBig));
    ASSERT_TRUE(WaitFor([&] { return a.Chats.size() == 1 && b.Chats.size() == 2; }, 30000));
    EXPECT_EQ(a.Chats[0], big);
    EXPECT_EQ(b.Chats[0], big);
    EXPECT_EQ(b.Chats[1], QString(MaxPayload, u'y'));
    EXPECT_TRUE(a.S.IsConnected() && b.S.IsConnected());
}

TEST(ChatCut, CutsAtACharacterBoundary) {
    // Two bytes a kanji, after one odd byte: the last one that fits is cut whole.
    const QString text = u'a' + QString(MaxPayload / 2, u'漢');
    EXPECT_EQ(TextPayload(CutChatText(text)).size(), MaxPayload - 1);
}

// A worker's error is shown first; the connection's end follows, never
// hiding it, and the connection is already released when it is shown.
TEST_F(SessionTest, AFailureIsShownBeforeTheConnectionsEnd) {
    const int listener = ListenRaw(Port);
    Peer b(QStringLiteral("b"), Port);
    b.S.Connect(QStringLiteral("127.0.0.1"));
    const int server = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    // The whole handshake at once, then a frame no peer may send.
    QByteArray bad = BuildFrame(ControlSlot, Kind::Notice, Type::Chat, Format::FmtText, "");
    bad.replace(3, 4, QByteArray("\xFF\xFF\xFF\x7F", 4));
    const QByteArray frames = VersionRequestFrame() +
                              NameExchangeFrame(false, QStringLiteral("a")) +
                              CompressFrame(false, true) + ResumeFrame(false, true) + bad;
    ASSERT_EQ(::send(server, frames.constData(), frames.size(), MSG_NOSIGNAL), frames.size());
    bool releasedBeforeShown = false;
    QObject::connect(&b.S, &Session::failure,
                     [&] { releasedBeforeShown = b.S.Progress() == nullptr; });

    ASSERT_TRUE(WaitFor([&] { return b.Has(QStringLiteral("lost")); }))
        << b.Events.join(u'|').toStdString();
    ASSERT_EQ(b.Events.size(), 3) << b.Events.join(u'|').toStdString();
    EXPECT_TRUE(b.Events[1].startsWith(u"failure:不正なフレーム長"));
    EXPECT_EQ(b.Events[2], u"lost");
    EXPECT_TRUE(releasedBeforeShown);
    ::close(server);
    ::close(listener);
}

// Giving up an attempt whose connection was made reports the loss first.
TEST_F(SessionTest, CancelAfterTheConnectionWasMadeReportsTheLossThenTheCancel) {
    Peer a(QStringLiteral("a"), Port);
    a.S.SetHandshakeLimitMs(60000);
    Peer b(QStringLiteral("b"), Port);
    // A listener that never drives the handshake: a pending peer of an idle
    // server, kept until the next attempt.
    a.S.Listen();
    a.S.Cancel();
    EXPECT_EQ(a.Events, QStringList{QStringLiteral("ended:中止しました")});
    EXPECT_FALSE(a.S.Listening());

    const int listener = ListenRaw(Port);
    b.S.Connect(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return b.S.Stage() == ConnectStage::Opened; }));
    b.S.Cancel();
    EXPECT_EQ(b.Events,
              (QStringList{QStringLiteral("lost"), QStringLiteral("ended:中止しました")}));
    EXPECT_EQ(b.S.State(), SessionState::Idle);
    ::close(listener);
}

} // namespace

namespace {

// The handshake's Replies of a connecting peer, each byte as given.
QByteArray Replies(bool stallAfterVersion) {
    QByteArray r = BuildFrame(ControlSlot, Kind::Reply, Type::Version, Format::FmtNumber, "5");
    if (stallAfterVersion) return r;
    return r + NameExchangeFrame(true, QStringLiteral("raw")) + CompressFrame(true, false) +
           ResumeFrame(true, false);
}

// A listening peer is held by nobody: one that answers the first step and
// stalls, one that asks back, and five silent ones in a row each let the
// real peer in within about one limit.
TEST_F(SessionTest, StalledOrSilentPeersHoldTheListenerForOneLimitAtMost) {
    enum class Probe { AnswersThenStalls, AsksBack, FiveSilent };
    const int limitMs = 400 * SlowBuildFactor;
    for (const Probe probe : {Probe::AnswersThenStalls, Probe::AsksBack, Probe::FiveSilent}) {
        SCOPED_TRACE(static_cast<int>(probe));
        Peer a(QStringLiteral("a"), Port);
        a.S.SetHandshakeLimitMs(limitMs);
        a.S.Listen();
        std::vector<int> fds;
        for (int i = 0; i < (probe == Probe::FiveSilent ? 5 : 1); ++i)
            fds.push_back(ConnectRaw(Port));
        ASSERT_TRUE(WaitFor([&] { return a.S.State() == SessionState::Handshaking; }));
        const QByteArray first = probe == Probe::AsksBack ? VersionRequestFrame() : Replies(true);
        if (probe != Probe::FiveSilent) {
            ASSERT_EQ(::send(fds[0], first.constData(), first.size(), MSG_NOSIGNAL), first.size());
        }

        QElapsedTimer since;
        since.start();
        Peer b(QStringLiteral("b"), Port);
        b.S.Connect(QStringLiteral("127.0.0.1"));
        EXPECT_TRUE(WaitFor([&] { return a.S.IsConnected() && b.S.IsConnected(); }, 4 * limitMs))
            << a.Events.join(u'|').toStdString() << " / " << b.Events.join(u'|').toStdString()
            << int(a.S.State()) << int(b.S.State()) << int(a.S.Stage()) << int(b.S.Stage());
        EXPECT_LT(since.elapsed(), 2 * limitMs) << "served after one limit at most";
        EXPECT_EQ(a.S.PeerName(), u"b");
        for (const int fd : fds)
            ::close(fd);
        Port = FreePort();
    }
}

// Lines typed last go before the notice, and the notice after the frame
// being written: the peer reads whole frames to the end.
TEST_F(SessionTest, TheLastLinesAndTheNoticeFollowWholeFrames) {
    const int listener = ListenRaw(Port);
    Peer b(QStringLiteral("b"), Port);
    b.S.Connect(QStringLiteral("127.0.0.1"));
    const int server = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    const QByteArray shake = VersionRequestFrame() + NameExchangeFrame(false, QStringLiteral("a")) +
                             CompressFrame(false, false) + ResumeFrame(false, false);
    ASSERT_EQ(::send(server, shake.constData(), shake.size(), MSG_NOSIGNAL), shake.size());
    ASSERT_TRUE(WaitFor([&] { return b.S.IsConnected(); }));
    // A line larger than the socket's buffers is still being written.
    ASSERT_TRUE(b.S.SendChat(QString(4 * 1024 * 1024, u'x')));
    for (const char* line : {"one", "two", "three"})
        ASSERT_TRUE(b.S.SendChat(QString::fromLatin1(line)));
    QByteArray got;
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, n);
        }
        reading = false;
    });
    b.S.Disconnect();
    reader.join();
    std::vector<std::pair<int, QByteArray>> frames; // type, payload
    int at = 0;
    while (got.size() - at >= HeaderSize) {
        const FrameHeader h = ParseHeader(got.constData() + at);
        if (got.size() - at - HeaderSize < h.Length) break;
        frames.emplace_back(h.Type, got.mid(at + HeaderSize, h.Length));
        at += HeaderSize + h.Length;
    }
    EXPECT_EQ(at, got.size()) << "no cut frame";
    ASSERT_GE(frames.size(), 5u);
    const auto last = frames.size() - 1;
    EXPECT_EQ(frames[last].first, int(Type::Disconnect));
    EXPECT_EQ(frames[last - 1].second, "three");
    EXPECT_EQ(frames[last - 3].second, "one");
    ::close(server);
    ::close(listener);
}

// Every list ends with a typed outcome on both sides, whichever side sends.
TEST_F(SessionTest, ListsEndWithTheirOutcomeInBothDirections) {
    struct Ends {
        QStringList Seen;
        void Watch(Session& s) {
            QObject::connect(&s, &Session::listEnded, [this](Direction d, const ListEnd& end) {
                Seen << QStringLiteral("%1:%2:%3")
                            .arg(d == Direction::Send ? "send" : "recv")
                            .arg(int(end.Result))
                            .arg(end.ConnectionKept);
            });
        }
    };
    enum class Case { Done, CancelledHere, PeerCannotCreate, PeerLeaves };
    for (const bool fromServer : {true, false}) {
        for (const Case c :
             {Case::Done, Case::CancelledHere, Case::PeerCannotCreate, Case::PeerLeaves}) {
            SCOPED_TRACE(QStringLiteral("%1 %2").arg(fromServer).arg(int(c)).toStdString());
            auto a = std::make_unique<Peer>(QStringLiteral("a"), Port);
            auto b = std::make_unique<Peer>(QStringLiteral("b"), Port);
            ConnectPair(*a, *b);
            Peer& from = fromServer ? *a : *b;
            std::unique_ptr<Peer>& to = fromServer ? b : a;
            Ends sender, receiver;
            sender.Watch(from.S);
            receiver.Watch(to->S);
            QTemporaryDir out;
            const QString path = out.filePath(QStringLiteral("f.bin"));
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(
                QByteArray(c == Case::Done || c == Case::PeerCannotCreate ? 1000 : 64 << 20, 'z'));
            f.close();
            if (c == Case::PeerCannotCreate) {
                ASSERT_TRUE(QDir(to->Inbox.path()).mkdir(QStringLiteral("f.bin.Recv")));
            }
            QObject::connect(&from.S, &Session::fileStarted, [&](Direction d, const FileStart&) {
                if (d != Direction::Send) return;
                if (c == Case::CancelledHere) from.S.Progress()->SendCancel = true;
                if (c == Case::PeerLeaves) to->S.Shutdown();
            });
            from.S.SendFiles({path});
            ASSERT_TRUE(WaitFor([&] { return !sender.Seen.isEmpty(); }, 20000));
            const QString ok = QStringLiteral(":%1:1");
            switch (c) {
            case Case::Done:
                EXPECT_EQ(sender.Seen, QStringList{"send" + ok.arg(int(Outcome::Done))});
                EXPECT_TRUE(WaitFor([&] { return !receiver.Seen.isEmpty(); }));
                EXPECT_EQ(receiver.Seen, QStringList{"recv" + ok.arg(int(Outcome::Done))});
                break;
            case Case::CancelledHere:
                EXPECT_EQ(sender.Seen, QStringList{"send" + ok.arg(int(Outcome::CancelledHere))});
                EXPECT_TRUE(WaitFor([&] { return !receiver.Seen.isEmpty(); }));
                EXPECT_EQ(receiver.Seen,
                          QStringList{"recv" + ok.arg(int(Outcome::CancelledByPeer))});
                break;
            case Case::PeerCannotCreate:
                EXPECT_EQ(sender.Seen, QStringList{"send" + ok.arg(int(Outcome::Refused))});
                EXPECT_TRUE(WaitFor([&] { return !receiver.Seen.isEmpty(); }));
                EXPECT_EQ(receiver.Seen, QStringList{"recv" + ok.arg(int(Outcome::Failed))});
                break;
            case Case::PeerLeaves:
                EXPECT_EQ(sender.Seen,
                          QStringList{QStringLiteral("send:%1:0").arg(int(Outcome::Failed))});
                break;
            }
            Port = FreePort();
        }
    }
}

} // namespace

namespace {

// A peer that connects to an idle copy still listening after its last peer
// left is told at once; the user then serves it or turns it away.
TEST_F(SessionTest, APeerWaitingAtAnIdleCopyIsToldThenServedOrRefused) {
    for (const bool serve : {true, false}) {
        SCOPED_TRACE(serve ? "served" : "refused");
        Peer a(QStringLiteral("a"), Port);
        {
            Peer b(QStringLiteral("b"), Port);
            ConnectPair(a, b);
            b.S.Disconnect();
            ASSERT_TRUE(WaitFor([&] { return a.Has(QStringLiteral("lost")); }));
        }
        QStringList waiting;
        QObject::connect(&a.S, &Session::peerWaiting,
                         [&](const QString& address) { waiting << address; });
        Peer c(QStringLiteral("c"), Port);
        c.S.Connect(QStringLiteral("127.0.0.1"));
        ASSERT_TRUE(WaitFor([&] { return !waiting.isEmpty(); }));
        EXPECT_EQ(waiting, QStringList{QStringLiteral("127.0.0.1")});
        if (serve) {
            a.S.Listen();
            EXPECT_TRUE(WaitFor([&] { return a.S.IsConnected() && c.S.IsConnected(); }));
        } else {
            a.S.RefusePending();
            EXPECT_TRUE(WaitFor([&] { return c.Has(QStringLiteral("lost")); }));
            EXPECT_EQ(c.S.State(), SessionState::Connecting) << "its wait is its user's";
            a.S.Listen();
            WaitFor([] { return false; }, 200);
            EXPECT_EQ(a.S.State(), SessionState::Listening) << "the refused peer is gone";
        }
        Port = FreePort();
    }
}

// A send list that ends before its last file names the files that did not
// arrive: those after the last one the peer took.
TEST_F(SessionTest, AListCutShortNamesTheFilesThatDidNotArrive) {
    enum class Case { Done, SecondRefused, PeerLeavesDuringTheFirst };
    for (const Case c : {Case::Done, Case::SecondRefused, Case::PeerLeavesDuringTheFirst}) {
        SCOPED_TRACE(static_cast<int>(c));
        Peer a(QStringLiteral("a"), Port);
        auto b = std::make_unique<Peer>(QStringLiteral("b"), Port);
        ConnectPair(a, *b);
        QTemporaryDir out;
        QStringList files;
        for (const char* name : {"1.bin", "2.bin", "3.bin"}) {
            files << out.filePath(QString::fromLatin1(name));
            QFile f(files.back());
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(c == Case::PeerLeavesDuringTheFirst ? 64 << 20 : 1000, 'z'));
        }
        if (c == Case::SecondRefused) {
            ASSERT_TRUE(QDir(b->Inbox.path()).mkdir(QStringLiteral("2.bin.Recv")));
        }
        QObject::connect(&a.S, &Session::fileStarted, [&](Direction d, const FileStart&) {
            if (d == Direction::Send && c == Case::PeerLeavesDuringTheFirst) b->S.Shutdown();
        });
        // As the list's start named them (paths, or names below a folder).
        QStringList named;
        QObject::connect(&a.S, &Session::listStarted,
                         [&](Direction d, int, const QStringList& files) {
                             if (d == Direction::Send) named = files;
                         });
        std::optional<QStringList> undelivered;
        QObject::connect(&a.S, &Session::listEnded, [&](Direction d, const ListEnd&) {
            if (d == Direction::Send) undelivered = a.S.Undelivered();
        });
        a.S.SendFiles(files);
        ASSERT_TRUE(WaitFor([&] { return undelivered.has_value(); }, 20000));
        switch (c) {
        case Case::Done:
            EXPECT_EQ(*undelivered, QStringList());
            break;
        case Case::SecondRefused:
            ASSERT_EQ(named.size(), 3);
            EXPECT_EQ(*undelivered, named.mid(1));
            break;
        case Case::PeerLeavesDuringTheFirst:
            ASSERT_EQ(named.size(), 3);
            EXPECT_EQ(*undelivered, named);
            break;
        }
        Port = FreePort();
    }
}

} // namespace
