// What the program adds for arrivals: the peer address typed, desktop notices
// only while the user looks elsewhere, the receive history across a crash,
// and in the main window the bar of a waiting peer, a connection by host
// name and port, and the files of a list that did not arrive.

#include "app/consts.h"
#include "app/history.h"
#include "app/notifier.h"
#include "app/peeraddress.h"
#include "app/requestbar.h"
#include "session/session.h"
#include "tests/app/app_support.h"

#include <QComboBox>

#include <csignal>
#include <sys/wait.h>
#include <tuple>

using namespace relvane;
using namespace relvane::app;
using namespace relvane::test;

namespace {

TEST(PeerAddress, AddressesHostNamesAndPorts) {
    const struct {
        const char* Text;
        std::optional<TPeerAddress> Expected;
    } table[] = {
        {"192.168.0.5", TPeerAddress{"192.168.0.5", 0, false}},
        {" 10.0.0.1:2011 ", TPeerAddress{"10.0.0.1", 2011, false}},
        {"localhost", TPeerAddress{"localhost", 0, true}},
        {"pc-2.example.jp:65535", TPeerAddress{"pc-2.example.jp", 65535, true}},
        {"1.2.3", std::nullopt}, // digits and dots are an address or nothing
        {"256.1.1.1", std::nullopt},
        {"01.2.3.4", std::nullopt}, // octal elsewhere
        {"1.2.3.4:", std::nullopt},
        {"1.2.3.4:0", std::nullopt},
        {"1.2.3.4:65536", std::nullopt},
        {"1.2.3.4:+80", std::nullopt},
        {":2010", std::nullopt},
        {"-pc", std::nullopt},
        {"pc name", std::nullopt},
        {"相手のPC", std::nullopt},
        {"[::1]:2010", std::nullopt}, // IPv4 only
    };
    for (const auto& row : table) {
        const auto got = ParsePeerAddress(QString::fromUtf8(row.Text));
        ASSERT_EQ(got.has_value(), row.Expected.has_value()) << row.Text;
        if (!got) continue;
        EXPECT_EQ(got->Host, row.Expected->Host) << row.Text;
        EXPECT_EQ(got->Port, row.Expected->Port) << row.Text;
        EXPECT_EQ(got->IsHostName, row.Expected->IsHostName) << row.Text;
    }
}

struct FakeNotifier : INotifier {
    void Notify(const QString& title, const QString& text) override {
        Notices << title + u'|' + text;
    }
    void ShowState(TTrayState state, const QString&) override { States << state; }
    QStringList Notices;
    QList<TTrayState> States;
};

// A notice for each list's end and each chat line or waiting peer, and only
// while no window of the program is active.
TEST(Notices, RaisedOnlyWhileTheUserLooksElsewhere) {
    Session session;
    FakeNotifier fake;
    bool looking = true;
    TNotices notices(session, fake, [&] { return looking; });
    const struct {
        std::function<void()> Event;
        QString Expected;
    } table[] = {
        {[&] {
             emit session.listStarted(Direction::Receive, 0, {});
             emit session.fileEnded(Direction::Receive, 0, QStringLiteral("/in/a"));
             emit session.fileEnded(Direction::Receive, 1, QStringLiteral("/in/b"));
             emit session.listEnded(Direction::Receive, ListEnd{});
         },
         QStringLiteral("受信完了| から 2 個のファイルを受信しました")},
        {[&] {
             emit session.listEnded(Direction::Send, {Outcome::Failed, ErrorKind::Disconnected,
                                                      QStringLiteral("切断しました"), false});
         },
         QStringLiteral("送信できませんでした|切断しました")},
        {[&] {
             emit session.listEnded(Direction::Receive,
                                    {Outcome::CancelledByPeer, ErrorKind::Cancelled,
                                     QStringLiteral("中止しました"), true});
         },
         QStringLiteral("受信を中止しました|中止しました")},
        {[&] { emit session.chatReceived(QStringLiteral("ボブ"), QStringLiteral("こんにちは")); },
         QStringLiteral("ボブ からのメッセージ|こんにちは")},
        {[&] { emit session.peerWaiting(QStringLiteral("192.0.2.7")); },
         QStringLiteral("TCP/IP Relvane|192.0.2.7 が接続を求めています")},
    };
    for (const auto& row : table) {
        looking = true;
        row.Event();
        EXPECT_EQ(fake.Notices, QStringList()) << row.Expected.toStdString();
        looking = false;
        row.Event();
        EXPECT_EQ(fake.Notices, QStringList{row.Expected});
        fake.Notices.clear();
    }
    EXPECT_EQ(fake.States, QList<TTrayState>{TTrayState::Idle}) << "the tray shows the state";
}

THistoryEntry Entry(int n) {
    return {QDateTime::fromMSecsSinceEpoch(1700000000000 + n, Qt::UTC),
            QStringLiteral("ボブ [127.0.0.1]"),
            QStringLiteral("名前\t%1.txt").arg(n),
            n,
            n % 2 ? THistoryOutcome::Received : THistoryOutcome::Failed,
            QStringLiteral("/受信/名前 (2).txt"),
            n % 2 ? QString() : QStringLiteral("書き込めません\r\n切断しました")};
}

// Killed while it writes, the history keeps every entry written before; a
// line a crash cut off is skipped, and the next entry goes on a line of its own.
TEST(History, ReadBackAfterAKill) {
    QTemporaryDir dir;
    const QString path = THistoryStore::FileBeside(dir.filePath(QStringLiteral("Varnel.ini")));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        THistoryStore store(path, 50);
        for (int n = 0;; ++n)
            store.Append(Entry(n));
    }
    // Past a few rewrites of the file, whatever it is doing now.
    const bool some = WaitFor(
        [&] {
            const QList<THistoryEntry> seen = THistoryStore(path, 50).Entries();
            return !seen.isEmpty() && seen.back().Size > 300;
        },
        20000);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(some);

    const QList<THistoryEntry> kept = THistoryStore(path, 50).Entries();
    ASSERT_EQ(kept.size(), 50);
    const int last = static_cast<int>(kept.back().Size);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(kept[i], Entry(last - 49 + i));

    // A crash halfway through a line, and zeros where a line should be.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray all = file.readAll();
    const QByteArray line = all.mid(all.lastIndexOf('\n', all.size() - 2) + 1);
    file.write(QByteArray(line.size(), '\0') + '\n' + line.left(line.size() / 2));
    file.close();
    THistoryStore again(path, 50);
    EXPECT_EQ(again.Entries(), kept);
    again.Append(Entry(last + 1));
    const QList<THistoryEntry> after = THistoryStore(path, 50).Entries();
    EXPECT_EQ(after.back(), Entry(last + 1));
    EXPECT_EQ(after.mid(0, 49), kept.mid(1));
}

// Each file that arrived is an entry where it was stored; a list that ended
// otherwise is one for the file under way, with what the user was told.
TEST(History, FedByTheReceivingEvents) {
    QTemporaryDir dir;
    THistoryStore store(dir.filePath(QStringLiteral("h.txt")));
    Session session;
    SessionSettings settings;
    settings.ReceiveFolder = QStringLiteral("/in/");
    session.SetSettings(settings);
    THistoryRecorder recorder(session, store);
    const auto file = [](int index, const char* name, qint64 size) {
        return FileStart{index, 2, QString::fromUtf8(name), size, 0};
    };
    emit session.listStarted(Direction::Receive, 0, {});
    emit session.fileStarted(Direction::Receive, file(0, "a.txt", 10));
    emit session.fileEnded(Direction::Receive, 0, QStringLiteral("/in/a (2).txt"));
    emit session.fileStarted(Direction::Receive, file(1, "b.bin", 2000));
    emit session.listEnded(Direction::Receive, {Outcome::CancelledByPeer, ErrorKind::Cancelled,
                                                QStringLiteral("中止しました"), true});
    emit session.listEnded(Direction::Send,
                           {Outcome::Failed, ErrorKind::Failure, QStringLiteral("送信"), true});
    const QList<THistoryEntry> got = THistoryStore(store.Path()).Entries();
    ASSERT_EQ(got.size(), 2);
    EXPECT_EQ(std::tuple(got[0].File, got[0].Size, got[0].Outcome, got[0].StoredAt),
              std::tuple(QStringLiteral("a.txt"), qint64{10}, THistoryOutcome::Received,
                         QStringLiteral("/in/a (2).txt")));
    EXPECT_EQ(std::tuple(got[1].File, got[1].Size, got[1].Outcome, got[1].StoredAt, got[1].Detail),
              std::tuple(QStringLiteral("b.bin"), qint64{2000}, THistoryOutcome::CancelledByPeer,
                         QStringLiteral("/in/"), QStringLiteral("中止しました")));
}

// ---- The main window

class ArrivalsWindowTest : public TwoPeerTest {};

// A peer that waits at this idle copy is shown in a bar, not a box: "断る"
// turns it away, "接続する" serves it as "サーバー作成" does.
TEST_F(ArrivalsWindowTest, TheRequestBarRefusesOrServes) {
    const int height = A->height();
    emit A->Connection().peerWaiting(QStringLiteral("192.0.2.7"));
    ASSERT_TRUE(A->RequestBar->isVisible());
    EXPECT_EQ(A->RequestBar->Text(), QStringLiteral("192.0.2.7 が接続を求めています"));
    EXPECT_EQ(A->height(), height + TRequestBar::BarHeight) << "the form stays whole";
    A->RequestBar->RefuseButton->click();
    EXPECT_FALSE(A->RequestBar->isVisible());
    EXPECT_EQ(A->height(), height);

    emit A->Connection().peerWaiting(QStringLiteral("192.0.2.7"));
    A->RequestBar->AcceptButton->click();
    EXPECT_EQ(A->Connection().State(), SessionState::Listening);
    EXPECT_NE(A->WaitForm(), nullptr);
    EXPECT_FALSE(A->RequestBar->isVisible());
    A->WaitForm()->CancelButton->click();
    EXPECT_TRUE(Recorder.Texts().isEmpty() || Recorder.Texts().back() == MsgCancelled());
}

// "localhost:port" reaches a peer at another port than this copy's; a list
// that stops at its second file names the files that did not arrive. A text
// that is no address is told plainly and kept out of the history.
TEST_F(ArrivalsWindowTest, HostNameAndPortThenTheFilesThatDidNotArrive) {
    A->IPEdit->setEditText(QStringLiteral("pc name"));
    A->ConnectAction->trigger();
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgNotAnAddressOrHost(QStringLiteral("pc name"))});
    EXPECT_EQ(A->WaitForm(), nullptr);
    EXPECT_TRUE(A->Settings.AddressHistory[0].isEmpty());
    Recorder.Clear();

    QTemporaryDir inbox;
    Session peer;
    SessionSettings settings;
    settings.ReceiveFolder = inbox.path() + u'/';
    peer.SetSettings(settings);
    const int port = FreePort();
    peer.SetPort(port);
    peer.Listen();
    const QString typed = QStringLiteral("localhost:%1").arg(port);
    A->IPEdit->setEditText(typed);
    A->ConnectAction->trigger();
    ASSERT_TRUE(WaitFor([&] { return A->Connected() && peer.IsConnected(); }, 10000))
        << Recorder.Texts().join(u'\n').toStdString();
    EXPECT_EQ(A->Settings.AddressHistory[0], typed);
    EXPECT_NE(A->ListenPort(), port);

    QStringList files;
    for (const char* name : {"1.bin", "2.bin", "3.bin"}) {
        files << Dir.filePath(QString::fromLatin1(name));
        QFile f(files.back());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("abc");
    }
    ASSERT_TRUE(QDir(inbox.path()).mkdir(QStringLiteral("2.bin.Recv")));
    A->FilesDropped(files);
    A->SendAction->trigger();
    ASSERT_TRUE(WaitFor([&] { return !Recorder.Texts().isEmpty(); }, 10000));
    EXPECT_TRUE(Recorder.Texts()[0].endsWith(
        QStringLiteral("\r\n\r\n送信できなかったファイル:\r\n2.bin\r\n3.bin")))
        << Recorder.Texts()[0].toStdString();
}

} // namespace
