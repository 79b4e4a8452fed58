// Both endpoints over real loopback connections in this process: the events
// with their states and orders, the refusals, and the byte operations from
// more than one thread.
#include "net/socket.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QDeadlineTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

namespace relvane {
namespace {

using test::WaitFor;
using TSocketPtr = std::shared_ptr<TcpConnection>;

// A plain socket on 127.0.0.1, on a port the system picks.
int RawSocket(bool listening, int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (listening) ::listen(fd, 5);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    *port = ntohs(a.sin_port);
    return fd;
}

int FreePort() {
    int port = 0;
    ::close(RawSocket(false, &port));
    return port;
}

// Appends what is waiting; false once the stream has ended.
bool ReadInto(TcpConnection& socket, QByteArray& into) {
    char buffer[65536];
    for (;;) {
        const int n = socket.ReceiveBytes(buffer, sizeof buffer);
        if (n <= 0) return n < 0;
        into.append(buffer, n);
    }
}

QString Refusal(const std::function<void()>& call) {
    try {
        call();
    } catch (const ESocketError& e) {
        return e.Message();
    }
    return {};
}

// Repeats the send while it would wait, as every sender of the program does;
// -2 for a failure.
int SendWhole(TcpConnection& socket, const QByteArray& frame, const QDeadlineTimer& deadline) {
    try {
        int n;
        while ((n = socket.SendBytes(frame.data(), frame.size())) == -1 && !deadline.hasExpired())
            socket.WaitWritable(10);
        return n;
    } catch (const ESocketError&) {
        return -2;
    }
}

// Records of up to 1.5 MB, more than the socket buffers hold, so sends go out
// in parts. The first byte names the sender, the rest is a value of its own
// for each record: a stray piece of another record shows.
QByteArray Record(int sender, int seq) {
    QByteArray r(1 + seq * (sender == 0 ? 104729 : 7919) % 97 * 16000, char(sender * 100 + seq));
    r[0] = char(sender);
    return r;
}

// Takes whole records off the front of `stream`; false at the first damaged one.
bool ParseRecords(QByteArray& stream, int next[2], int count) {
    while (!stream.isEmpty()) {
        const int sender = stream[0];
        if ((sender != 0 && sender != 1) || next[sender] == count) return false;
        const QByteArray expected = Record(sender, next[sender]);
        if (stream.size() < expected.size()) return expected.startsWith(stream);
        if (!stream.startsWith(expected)) return false;
        ++next[sender];
        stream.remove(0, expected.size());
    }
    return true;
}

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetSocketErrorHandler([this](const ESocketError& e) { Errors << e.Message(); });
        Client.OnConnect = [this](QObject*, const TSocketPtr&) { ++Connects; };
        Client.OnDisconnect = [this](QObject*, const TSocketPtr&) { ++Disconnects; };
        Server.OnAccept = [this](QObject*, const TSocketPtr&) { ++Accepts; };
        Server.OnClientDisconnect = [this](QObject*, const TSocketPtr&) { ++ClientDisconnects; };
    }
    void TearDown() override {
        SetSocketErrorHandler(nullptr);
        EXPECT_TRUE(Errors.isEmpty()) << Errors.join('\n').toStdString();
    }

    void Listen() {
        for (int tries = 0; !Server.Active(); ++tries) {
            Server.SetPort(FreePort());
            try {
                Server.Open();
            } catch (const ESocketError&) {
                if (tries == 5) throw; // another process took each free port first
            }
        }
    }
    void Connect(const QString& address = "127.0.0.1") {
        Listen();
        Client.SetAddress(address);
        Client.SetPort(Server.Port());
        Client.Open();
        ASSERT_TRUE(WaitFor([&] { return Client.Active() && Server.ConnectionCount() == 1; }));
        Near = Client.Socket();
        Far = Server.ConnectionAt(0);
    }

    TcpServer Server;
    TcpClient Client;
    TSocketPtr Near, Far;
    QStringList Errors;
    int Connects = 0, Disconnects = 0, Accepts = 0, ClientDisconnects = 0;
};

TEST_F(SocketTest, FramesFromTwoThreadsArriveWholeAndUnmixed) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    constexpr int Count = 40;
    // The far side reads as the protocol worker does, on its own thread; after
    // a damaged record it only drains, so the senders still finish.
    std::atomic<int> sendersDone{0};
    std::atomic<bool> intact{true}, received{false};
    std::thread reader([&] {
        QByteArray stream;
        int next[2] = {0, 0};
        const QDeadlineTimer deadline(20000);
        while (!(next[0] == Count && next[1] == Count) && !deadline.hasExpired() &&
               (intact || sendersDone < 2)) {
            Far->WaitReadable(10);
            ReadInto(*Far, stream);
            intact = intact && ParseRecords(stream, next, Count);
            if (!intact) stream.clear();
        }
        received = intact && stream.isEmpty() && next[0] == Count && next[1] == Count;
    });
    auto sendAll = [&](int sender) {
        const QDeadlineTimer deadline(20000);
        bool sent = true;
        for (int seq = 0; seq < Count && sent; ++seq) {
            const QByteArray r = Record(sender, seq);
            sent = SendWhole(*Near, r, deadline) == r.size();
        }
        ++sendersDone;
        return sent;
    };
    std::atomic<bool> threadSent{false};
    std::thread sender([&] { threadSent = sendAll(1); });
    const bool uiSent = sendAll(0); // the user-interface thread, on the same object
    sender.join();
    reader.join();
    EXPECT_TRUE(uiSent);
    EXPECT_TRUE(threadSent);
    EXPECT_TRUE(received);

    // The other way: 1 MiB handed over from a thread while nobody reads yet.
    const QByteArray big(1 << 20, 'b');
    std::atomic<int> result{0};
    std::thread bigSender([&] { result = SendWhole(*Far, big, QDeadlineTimer(10000)); });
    EXPECT_TRUE(WaitFor([&] { return Near->BytesWaiting() > 0; }));
    QByteArray arrived;
    EXPECT_TRUE(
        WaitFor([&] { return !ReadInto(*Near, arrived) || arrived.size() >= big.size(); }, 10000));
    bigSender.join();
    EXPECT_EQ(result, big.size());
    EXPECT_TRUE(arrived == big);
}

TEST_F(SocketTest, ClientEventsCarryTheirStates) {
    bool activeAfterOpen = true, stateInConnect = false, stateInDisconnect = false;
    Client.OnConnect = [&](QObject* sender, const TSocketPtr& socket) {
        ++Connects;
        stateInConnect = sender == &Client && Client.Active() && socket->IsConnected();
    };
    Listen();
    Client.SetAddress("127.0.0.1");
    Client.SetPort(Server.Port());
    Client.Open();
    activeAfterOpen = Client.Active();
    ASSERT_TRUE(WaitFor([&] { return Connects == 1 && Accepts == 1; }));
    EXPECT_FALSE(activeAfterOpen);
    EXPECT_TRUE(stateInConnect);

    // The peer closes; the handler closes the client once more: one event only.
    Client.OnDisconnect = [&](QObject*, const TSocketPtr& socket) {
        ++Disconnects;
        stateInDisconnect = !Client.Active() && socket->IsConnected();
        Client.Close();
    };
    Server.Close();
    ASSERT_TRUE(WaitFor([&] { return Disconnects > 0; }));
    EXPECT_TRUE(stateInDisconnect);
    EXPECT_FALSE(Client.Socket()->IsConnected());

    // Opened again, the same object connects; a local close reports before it returns.
    const TSocketPtr first = Client.Socket();
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(Near, first);
    Client.Close();
    EXPECT_EQ(Disconnects, 2);
    EXPECT_TRUE(stateInDisconnect);
    EXPECT_FALSE(first->IsConnected());
    char byte = 'x';
    EXPECT_EQ(first->SendBytes(&byte, 1), 0);
    EXPECT_EQ(first->ReceiveBytes(&byte, 1), 0);
    EXPECT_EQ(first->BytesWaiting(), 0);
    EXPECT_TRUE(WaitFor([&] { return ClientDisconnects == 1; }));
    EXPECT_EQ(Disconnects, 2);
}

TEST_F(SocketTest, RefusedOrAbandonedConnectAttempts) {
    Client.SetAddress("127.0.0.1");
    Client.SetPort(FreePort());
    Client.Open();
    EXPECT_FALSE(Client.Active());
    ASSERT_TRUE(WaitFor([&] { return !Errors.isEmpty(); }));
    EXPECT_EQ(Errors, QStringList{"非同期ソケットエラー 111"});
    EXPECT_FALSE(Client.Active());
    Errors.clear();

    // Abandoned at once: neither an error nor an event, and the client can connect later.
    Client.Open();
    Client.Close();
    ASSERT_NO_FATAL_FAILURE(Connect());
    EXPECT_EQ(Connects, 1);
    EXPECT_EQ(Disconnects, 0);
}

TEST_F(SocketTest, FurtherPeersAreAcceptedAndServerCloseEndsAllSilently) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    bool lastInList = false;
    Server.OnAccept = [&](QObject*, const TSocketPtr& socket) {
        ++Accepts;
        lastInList = Server.ConnectionCount() == 2 && Server.ConnectionAt(1) == socket &&
                     socket->IsConnected();
    };
    TcpClient second;
    second.SetAddress("127.0.0.1");
    second.SetPort(Server.Port());
    second.Open();
    ASSERT_TRUE(WaitFor([&] { return Accepts == 2 && second.Active(); }));
    EXPECT_TRUE(lastInList);
    EXPECT_EQ(Server.ConnectionAt(0), Far);
    EXPECT_EQ(Far->PeerAddress(), "127.0.0.1");

    const TSocketPtr secondFar = Server.ConnectionAt(1);
    Server.Close();
    EXPECT_EQ(Server.ConnectionCount(), 0);
    EXPECT_FALSE(Far->IsConnected());
    EXPECT_FALSE(secondFar->IsConnected());
    EXPECT_EQ(Far->SendBytes("x", 1), 0);
    // The peers see an ordinary close; the server raises nothing.
    EXPECT_TRUE(WaitFor([&] { return Disconnects == 1 && !second.Active(); }));
    EXPECT_EQ(ClientDisconnects, 0);
}

TEST_F(SocketTest, PeerCloseLeavesTheConnectionReadableThenListedUntilLater) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_EQ(Near->SendBytes("hello", 5), 5);
    Client.Close();
    // Without dispatching: the close notification is not handled yet.
    QByteArray got;
    const QDeadlineTimer deadline(5000);
    while (ReadInto(*Far, got) && !deadline.hasExpired())
        Far->WaitReadable(50);
    EXPECT_EQ(got, "hello");
    EXPECT_TRUE(Far->IsConnected());
    EXPECT_EQ(Far->BytesWaiting(), 0);
    char byte;
    EXPECT_EQ(Far->ReceiveBytes(&byte, 1), 0);

    int countInHandler = 0;
    Server.OnClientDisconnect = [&](QObject*, const TSocketPtr& socket) {
        ++ClientDisconnects;
        countInHandler = socket->IsConnected() ? Server.ConnectionCount() : -1;
    };
    ASSERT_TRUE(WaitFor([&] { return ClientDisconnects == 1; }));
    EXPECT_EQ(countInHandler, 1);
    EXPECT_FALSE(Far->IsConnected());
    EXPECT_TRUE(WaitFor([&] { return Server.ConnectionCount() == 0; }));
}

TEST_F(SocketTest, RefusalsWithTheirTexts) {
    const QString inUse = "ソケットを使用中は値を変更できません";
    // Hexadecimal, so the address has letters whose case can change.
    ASSERT_NO_FATAL_FAILURE(Connect("0x7f.0.0.1"));
    EXPECT_EQ(Refusal([&] { Server.SetPort(Server.Port()); }), "");
    EXPECT_EQ(Refusal([&] { Server.SetPort(Server.Port() + 1); }), inUse);
    EXPECT_EQ(Refusal([&] { Client.SetPort(Client.Port()); }), "");
    EXPECT_EQ(Refusal([&] { Client.SetAddress("0X7F.0.0.1"); }), "");
    EXPECT_EQ(Refusal([&] { Client.SetAddress("127.0.0.2"); }), inUse);
    EXPECT_EQ(Refusal([&] { Client.SetPort(Client.Port() + 1); }), inUse);
    EXPECT_TRUE(Server.Active());

    int port = 0;
    const int blocker = RawSocket(true, &port);
    TcpServer other;
    other.SetPort(port);
    EXPECT_EQ(Refusal([&] { other.Open(); }),
              QString("Windows ソケットエラー： %1 (%2) [API 'bind']")
                  .arg(QString::fromLocal8Bit(std::strerror(EADDRINUSE)))
                  .arg(EADDRINUSE));
    EXPECT_FALSE(other.Active());
    ::close(blocker);

    // The half-opened client reports its close once, then refuses.
    TcpClient empty;
    int emptyDisconnects = 0;
    empty.OnDisconnect = [&](QObject*, const TSocketPtr&) { ++emptyDisconnects; };
    EXPECT_EQ(Refusal([&] { empty.Open(); }), "アドレスが指定されていません");
    EXPECT_EQ(emptyDisconnects, 1);
    EXPECT_FALSE(empty.Active());
}

TEST_F(SocketTest, SendingToAVanishedPeerEndsWithoutSignalOrHang) {
    int port = 0;
    const int listener = RawSocket(true, &port);
    ::fcntl(listener, F_SETFL, O_NONBLOCK);
    Client.SetAddress("127.0.0.1");
    Client.SetPort(port);
    Client.Open();
    int peer = -1;
    ASSERT_TRUE(WaitFor([&] {
        if (peer < 0) peer = ::accept(listener, nullptr, nullptr);
        return peer >= 0 && Client.Active();
    }));
    const linger abortive{1, 0}; // close with a reset
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(peer);
    ::close(listener);

    const QByteArray chunk(64 * 1024, 'z');
    QString failure;
    int result = -1;
    EXPECT_TRUE(WaitFor([&] {
        try {
            result = Client.Socket()->SendBytes(chunk.data(), chunk.size());
        } catch (const ESocketError& e) {
            failure = e.Message();
        }
        return result == 0 || !failure.isEmpty();
    }));
    if (!failure.isEmpty()) {
        EXPECT_TRUE(failure.endsWith("[API 'send']")) << failure.toStdString();
    }
    EXPECT_TRUE(WaitFor([&] { return Disconnects == 1; }));
    EXPECT_FALSE(Client.Active());
}

TEST_F(SocketTest, LastFrameBeforeCloseReachesThePeerWithAnOrderlyClose) {
    ASSERT_NO_FATAL_FAILURE(Connect());
    // Bytes the closing side leaves unread: a plain close would answer with a
    // reset and drop what is still on its way out.
    ASSERT_EQ(Far->SendBytes(QByteArray(4096, 'u').data(), 4096), 4096);
    ASSERT_TRUE(WaitFor([&] { return Near->BytesWaiting() == 4096; }));

    const QByteArray last(4 << 20, 'L');
    std::atomic<bool> sent{false};
    std::thread sender([&] {
        SendWhole(*Near, last, QDeadlineTimer(10000));
        sent = true;
    });
    QByteArray arrived;
    bool orderly = false;
    Server.OnClientDisconnect = [&](QObject*, const TSocketPtr& socket) {
        ++ClientDisconnects;
        try {
            orderly = !ReadInto(*socket, arrived); // ended by the FIN, not by a failure
        } catch (const ESocketError&) {
        }
    };
    bool reset = false;
    EXPECT_TRUE(WaitFor(
        [&] {
            if (sent && Client.Active()) Client.Close();
            try {
                ReadInto(*Far, arrived);
            } catch (const ESocketError&) {
                reset = true;
            }
            return reset || ClientDisconnects > 0;
        },
        10000));
    sender.join();
    EXPECT_FALSE(reset);
    EXPECT_TRUE(orderly);
    EXPECT_EQ(arrived.size(), last.size());
    EXPECT_TRUE(arrived == last);
}

} // namespace
} // namespace relvane
