// Two copies of the program between themselves, and one of them with a peer
// that knows only the catalogue: on 127.0.0.1, no windows.

#include "protocol/frame.h"
#include "protocol/texts.h"
#include "session/session.h"
#include "tests/support/ports.h"
#include "tests/support/wait.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace relvane;
using namespace relvane::test;

namespace {

struct Copy {
    Copy(int port, bool extensions) {
        SessionSettings s;
        s.UserName = QStringLiteral("copy");
        s.ReceiveFolder = Inbox.path();
        s.UseCompress = false; // the relay below flips a byte of a plain block
        s.Extensions = extensions;
        S.SetSettings(s);
        S.SetPort(port);
        QObject::connect(&S, &Session::listEnded,
                         [this](Direction d, const ListEnd& end) { Ends.emplace_back(d, end); });
        QObject::connect(&S, &Session::fileVerified,
                         [this](Direction, int, const QString&, const QString&) { ++Verified; });
    }
    QString In(const QString& name) const { return QDir(Inbox.path()).filePath(name); }

    QTemporaryDir Inbox;
    Session S;
    std::vector<std::pair<Direction, ListEnd>> Ends;
    int Verified = 0;
};

// Passes bytes between a client and a server, flipping one byte of the
// first plain FileData block from the client while `flip` is set; with
// `closeOnUnknown`, it closes both at the client's first frame outside the
// catalogue, as a peer that refuses frames it does not know.
class Relay {
public:
    Relay(int listenPort, int serverPort)
        : Listener(ListenRaw(listenPort)), ServerPort(serverPort) {
        Thread = std::thread([this] { Run(); });
    }
    ~Relay() {
        Stop = true;
        Thread.join();
        ::close(Listener);
    }
    std::atomic<bool> Flip{true};
    std::atomic<bool> CloseOnUnknown{false};

private:
    void Run() {
        pollfd p{Listener, POLLIN, 0};
        while (!Stop && ::poll(&p, 1, 50) == 0) {
        }
        if (Stop) return;
        const int client = ::accept(Listener, nullptr, nullptr);
        const int server = ConnectRaw(ServerPort);
        QByteArray fromClient; // kept until whole frames can be passed on
        char buffer[65536];
        bool refused = false;
        while (!Stop && !refused) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(fds, 2, 50) <= 0) continue;
            if (fds[1].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                ::send(client, buffer, n, MSG_NOSIGNAL);
            }
            if (fds[0].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                fromClient.append(buffer, n);
                qsizetype at = 0;
                while (fromClient.size() - at >= HeaderSize) {
                    const FrameHeader h = ParseHeader(fromClient.constData() + at);
                    if (fromClient.size() - at - HeaderSize < h.Length) break;
                    refused = CloseOnUnknown && h.Type >= TypeCount;
                    if (refused) break;
                    if (h.Type == std::uint8_t(Type::FileData) && h.Length > 0 &&
                        Flip.exchange(false))
                        fromClient[at + HeaderSize] = char(fromClient[at + HeaderSize] ^ 0x01);
                    at += HeaderSize + h.Length;
                }
                ::send(server, fromClient.constData(), at, MSG_NOSIGNAL);
                fromClient.remove(0, at);
            }
        }
        ::close(client);
        ::close(server);
    }

    int Listener;
    int ServerPort;
    std::atomic<bool> Stop{false};
    std::thread Thread;
};

QString Make(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return path;
}

QByteArray Read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(missing)");
}

// A byte flipped on the way is caught by the digest on both sides; the file
// stays partial and the next send of it repairs it.
TEST(Extensions, AFlippedByteIsCaughtAndTheNextSendRepairsIt) {
    const int port = FreePort();
    const int relayPort = FreePort();
    Copy server(port, true);
    Copy client(relayPort, true);
    Relay relay(relayPort, port);
    server.S.Listen();
    client.S.Connect(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return client.S.Agreed() != 0 && server.S.Agreed() != 0; }));
    EXPECT_TRUE(client.S.VerifyOn());

    QTemporaryDir out;
    const QByteArray bytes(200000, 'v');
    const QString path = Make(out, QStringLiteral("f.bin"), bytes);
    for (const bool flipped : {true, false}) {
        SCOPED_TRACE(flipped);
        client.Ends.clear();
        server.Ends.clear();
        client.S.SendFiles({path});
        ASSERT_TRUE(WaitFor([&] { return !client.Ends.empty() && !server.Ends.empty(); }));
        const Outcome expected = flipped ? Outcome::Failed : Outcome::Done;
        EXPECT_EQ(client.Ends[0].second.Result, expected);
        EXPECT_EQ(server.Ends[0].second.Result, expected);
        if (flipped) {
            EXPECT_EQ(client.Ends[0].second.Kind, ErrorKind::Verification);
            EXPECT_EQ(server.Ends[0].second.Kind, ErrorKind::Verification);
            EXPECT_TRUE(client.Ends[0].second.ConnectionKept);
            EXPECT_TRUE(QFile::exists(server.In(QStringLiteral("f.bin.Recv"))));
            EXPECT_FALSE(QFile::exists(server.In(QStringLiteral("f.bin"))));
        }
    }
    EXPECT_EQ(Read(server.In(QStringLiteral("f.bin"))), bytes);
    EXPECT_EQ(server.Verified, 1);
}

// A folder between two copies arrives with its shape, two equal bare names
// included, every file verified; a namesake already there is kept.
TEST(Extensions, FoldersArriveWithTheirShapeAndNamesakesAreKept) {
    const int port = FreePort();
    Copy server(port, true);
    Copy client(port, true);
    server.S.Listen();
    client.S.Connect(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return client.S.Agreed() != 0; }));
    QTemporaryDir out;
    Make(out, QStringLiteral("proj/README.txt"), "top");
    Make(out, QStringLiteral("proj/a/README.txt"), "inner");
    Make(out, QStringLiteral("proj/a/b/c.txt"), "deep");
    QDir().mkpath(server.In(QStringLiteral("proj")));
    Make(server.Inbox, QStringLiteral("proj/README.txt"), "mine");
    client.S.SendFiles({out.filePath(QStringLiteral("proj"))});
    ASSERT_TRUE(WaitFor([&] { return !server.Ends.empty(); }));
    EXPECT_EQ(server.Ends[0].second.Result, Outcome::Done);
    EXPECT_EQ(Read(server.In(QStringLiteral("proj/README.txt"))), "mine");
    EXPECT_EQ(Read(server.In(QStringLiteral("proj/README (2).txt"))), "top");
    EXPECT_EQ(Read(server.In(QStringLiteral("proj/a/README.txt"))), "inner");
    EXPECT_EQ(Read(server.In(QStringLiteral("proj/a/b/c.txt"))), "deep");
    EXPECT_EQ(server.Verified, 3);
}

// Many small files between two copies: a file the receiver cannot store
// ends the list there on both sides, the files after it leave no trace, and
// the connection carries the next list.
TEST(Extensions, AWindowOfSmallFilesEndsCleanlyAtARefusal) {
    const int port = FreePort();
    Copy server(port, true);
    Copy client(port, true);
    server.S.Listen();
    client.S.Connect(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return client.S.Agreed() != 0 && server.S.Agreed() != 0; }));
    QTemporaryDir out;
    QStringList files;
    for (int i = 0; i < 150; ++i)
        files << Make(out, QStringLiteral("f%1").arg(i, 3, 10, QLatin1Char('0')),
                      QByteArray(1500, char('a' + i % 26)));
    QDir().mkpath(server.In(QStringLiteral("f100.Recv"))); // no partial file can go there
    client.S.SendFiles(files);
    ASSERT_TRUE(WaitFor([&] { return !client.Ends.empty() && !server.Ends.empty(); }));
    EXPECT_EQ(client.Ends[0].second.Result, Outcome::Refused);
    EXPECT_EQ(server.Ends[0].second.Result, Outcome::Failed);
    EXPECT_TRUE(client.Ends[0].second.ConnectionKept);
    EXPECT_EQ(server.Verified, 100);
    EXPECT_EQ(client.Verified, 100);
    EXPECT_EQ(Read(server.In(QStringLiteral("f099"))), QByteArray(1500, char('a' + 99 % 26)));
    EXPECT_EQ(QDir(server.Inbox.path()).entryList(QDir::Files).size(), 100);

    const QString after = Make(out, QStringLiteral("after.txt"), "next list");
    client.S.SendFiles({after});
    ASSERT_TRUE(WaitFor([&] { return server.Ends.size() == 2; }));
    EXPECT_EQ(server.Ends[1].second.Result, Outcome::Done);
    EXPECT_EQ(Read(server.In(QStringLiteral("after.txt"))), "next list");
}

// A peer that closes at the offer: the user is told to turn the extensions
// off, and with them off the next connection stays.
TEST(Extensions, APeerThatClosesAtTheOfferIsToldAndServedWithThemOff) {
    const int port = FreePort();
    Copy server(port, false);
    Copy client(port, true);
    QStringList failures;
    QObject::connect(&client.S, &Session::failure,
                     [&](ErrorKind, const QString& text) { failures << text; });
    for (const bool extensions : {true, false}) {
        SCOPED_TRACE(extensions);
        server.S.Listen();
        const int relayPort = FreePort();
        Relay relay(relayPort, port);
        relay.CloseOnUnknown = true;
        SessionSettings s = client.S.Settings();
        s.Extensions = extensions;
        client.S.SetSettings(s);
        client.S.Connect(QStringLiteral("127.0.0.1"), relayPort);
        if (extensions) {
            ASSERT_TRUE(WaitFor([&] { return !failures.isEmpty(); }));
            EXPECT_EQ(failures[0], texts::OfferRejected());
            EXPECT_FALSE(client.S.IsConnected());
        } else {
            ASSERT_TRUE(WaitFor([&] { return client.S.IsConnected(); }));
            WaitFor([] { return false; }, 300);
            EXPECT_TRUE(client.S.IsConnected());
            EXPECT_EQ(failures.size(), 1);
        }
        client.S.Disconnect();
        ASSERT_TRUE(WaitFor([&] { return !server.S.IsConnected(); }));
    }
}

// With a peer that does not take the extensions (here a copy with them off,
// which answers nothing to the offer) everything is as it always was:
// nothing agreed, no verification, a folder flat, equal names refused.
TEST(Extensions, APeerWithoutThemSeesTheCatalogueOnly) {
    const int port = FreePort();
    Copy server(port, false);
    Copy client(port, true);
    server.S.Listen();
    client.S.Connect(QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(WaitFor([&] { return client.S.IsConnected() && server.S.IsConnected(); }));
    WaitFor([] { return false; }, 200);
    EXPECT_EQ(client.S.Agreed(), 0);
    EXPECT_FALSE(client.S.VerifyOn());
    QTemporaryDir out;
    Make(out, QStringLiteral("proj/x.txt"), "x");
    Make(out, QStringLiteral("proj/a/y.txt"), "y");
    client.S.SendFiles({out.filePath(QStringLiteral("proj"))});
    ASSERT_TRUE(WaitFor([&] { return !server.Ends.empty(); }));
    EXPECT_EQ(server.Ends[0].second.Result, Outcome::Done);
    EXPECT_EQ(Read(server.In(QStringLiteral("x.txt"))), "x");
    EXPECT_EQ(Read(server.In(QStringLiteral("y.txt"))), "y");
    EXPECT_EQ(server.Verified, 0);
    Make(out, QStringLiteral("proj/a/x.txt"), "again");
    EXPECT_THROW(client.S.SendFiles({out.filePath(QStringLiteral("proj"))}), Error);
}

} // namespace
