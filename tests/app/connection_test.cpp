// The connection manager on 127.0.0.1: a main window in this process against
// a second main window in its own process, or against a bare socket that
// plays the peer by hand where a test needs to hold the handshake still.

#include "app/consts.h"
#include "app/mainform.h"
#include "app/program.h"
#include "app/waitform.h"
#include "net/socket.h"
#include "platform/sjis.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/worker.h"
#include "tests/app/app_support.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QWindow>

#include <netdb.h>

using namespace relvane;
using namespace relvane::app;
using namespace relvane::test;

namespace {

// What the peer's reverse lookup of 127.0.0.1 gives, as the title shows it.
QString LoopbackHostName() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0,
                      NI_NAMEREQD) != 0)
        return {};
    return QString::fromLocal8Bit(host);
}

QString ConnectedTitle(const QString& peer) {
    return QStringLiteral("TCP/IP Relvane - ") + peer + u'[' + LoopbackHostName() + u']';
}

QByteArray Reply(Type type, Format format, const QByteArray& payload) {
    return BuildFrame(ControlSlot, Kind::Reply, type, format, payload);
}

// Idle column of the enabling table.
void ExpectIdle(TMainForm& f) {
    EXPECT_EQ(f.ConnectStage(), 0);
    EXPECT_FALSE(f.Connected());
    EXPECT_EQ(f.windowTitle(), ApplicationTitle());
    EXPECT_TRUE(f.ServerAction->isEnabled());
    EXPECT_EQ(f.ConnectAction->isEnabled(), !f.IPEdit->currentText().isEmpty());
    EXPECT_FALSE(f.DisconnectAction->isEnabled());
    EXPECT_TRUE(f.OptionAction->isEnabled());
    EXPECT_FALSE(f.SendAction->isEnabled());
    EXPECT_TRUE(f.IPEdit->isEnabled());
    EXPECT_TRUE(f.isEnabled());
    EXPECT_EQ(f.WaitForm(), nullptr);
    EXPECT_EQ(f.Progress(), nullptr) << "nothing reads the ended worker";
    EXPECT_EQ(f.Progress(), nullptr);
}

// Handshake complete column.
void ExpectConnected(TMainForm& f) {
    EXPECT_EQ(f.ConnectStage(), 4);
    EXPECT_TRUE(f.Connected());
    EXPECT_FALSE(f.ServerAction->isEnabled());
    EXPECT_FALSE(f.ConnectAction->isEnabled());
    EXPECT_TRUE(f.DisconnectAction->isEnabled());
    EXPECT_FALSE(f.OptionAction->isEnabled());
    EXPECT_TRUE(f.SendAction->isEnabled());
    EXPECT_FALSE(f.IPEdit->isEnabled());
    EXPECT_TRUE(f.isEnabled());
    EXPECT_EQ(f.WaitForm(), nullptr);
}

void ExpectPeerIdle(const QJsonObject& s) {
    EXPECT_EQ(s.value("stage").toInt(), 0);
    EXPECT_FALSE(s.value("connected").toBool());
    EXPECT_EQ(s.value("title").toString(), ApplicationTitle());
    const QJsonObject e = s.value("enabled").toObject();
    EXPECT_TRUE(e.value("ServerAction").toBool());
    EXPECT_FALSE(e.value("DisconnectAction").toBool());
    EXPECT_TRUE(e.value("OptionAction").toBool());
    EXPECT_FALSE(e.value("SendAction").toBool());
    EXPECT_TRUE(e.value("IPEdit").toBool());
    EXPECT_TRUE(s.value("window").toBool());
    EXPECT_FALSE(s.value("worker").toBool());
}

void ExpectPeerConnected(const QJsonObject& s, const QString& peer) {
    EXPECT_EQ(s.value("stage").toInt(), 4);
    EXPECT_TRUE(s.value("connected").toBool());
    EXPECT_EQ(s.value("title").toString(), ConnectedTitle(peer));
    const QJsonObject e = s.value("enabled").toObject();
    EXPECT_FALSE(e.value("ServerAction").toBool());
    EXPECT_FALSE(e.value("ConnectAction").toBool());
    EXPECT_TRUE(e.value("DisconnectAction").toBool());
    EXPECT_FALSE(e.value("OptionAction").toBool());
    EXPECT_TRUE(e.value("SendAction").toBool());
    EXPECT_FALSE(e.value("IPEdit").toBool());
    EXPECT_TRUE(s.value("window").toBool());
}

QJsonObject Cmd(const QString& name) {
    return QJsonObject{{QStringLiteral("cmd"), name}};
}

class ConnectionTest : public TwoPeerTest {
protected:
    // Runs the server action of A and dispatches events until its wait
    // ends; `during` acts while it waits.
    void ServeA(std::function<bool()> during) { Attempt(A->ServerAction, std::move(during)); }
    void ConnectA(std::function<bool()> during) {
        A->IPEdit->setEditText(QStringLiteral("127.0.0.1"));
        Attempt(A->ConnectAction, std::move(during));
    }
    void Attempt(QAction* action, std::function<bool()> during) {
        Repeat step(std::move(during));
        Watchdog dog(*A);
        action->trigger();
        EXPECT_TRUE(WaitFor([&] { return A->WaitForm() == nullptr && step.Done(); }, 20000));
        EXPECT_FALSE(dog.Fired) << "the wait did not end by itself";
    }
    void PressCancel() { A->WaitForm()->CancelButton->click(); }

    // A and the second window connected, A listening.
    void ConnectPeerToA(PeerProcess& b) {
        bool told = false;
        ServeA([&] {
            // Past the start of the action: the next events are those of its wait.
            if (!told && A->WaitForm() && !A->isEnabled() && A->Connection().Listening()) {
                QJsonObject c = Cmd(QStringLiteral("connect"));
                c["addr"] = QStringLiteral("127.0.0.1");
                b.Command(c);
                told = true;
            }
            return told;
        });
        ASSERT_TRUE(A->Connected());
        ASSERT_TRUE(
            b.WaitState([](const QJsonObject& s) { return s.value("connected").toBool(); }));
    }

    QStringList MakeFiles(const QString& folder) {
        QDir().mkpath(folder);
        QStringList paths;
        int size = 3000;
        for (const QString& name : {QStringLiteral("first.txt"), QStringLiteral("二番目.bin")}) {
            QByteArray bytes;
            for (int i = 0; i < size; ++i)
                bytes += static_cast<char>((i * 7 + size) % 251);
            QFile f(folder + u'/' + name);
            EXPECT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(bytes);
            paths << f.fileName();
            size = 70000;
        }
        return paths;
    }
    static bool SameContents(const QString& a, const QString& b) {
        QFile fa(a), fb(b);
        return fa.open(QIODevice::ReadOnly) && fb.open(QIODevice::ReadOnly) &&
               fa.readAll() == fb.readAll();
    }
    static bool Arrived(const QStringList& sent, const QString& folder) {
        for (const QString& path : sent) {
            if (!SameContents(path, folder + u'/' + QFileInfo(path).fileName())) return false;
        }
        return true;
    }
};

TEST_F(ConnectionTest, CancellingTheServerWaitReportsAndStopsListening) {
    ServeA([&] {
        if (!A->WaitForm() || !A->Connection().Listening()) return false;
        EXPECT_EQ(A->WaitForm()->Message(), MsgWaitingForPeer());
        EXPECT_FALSE(A->isEnabled()) << "the main window takes no input while it waits";
        EXPECT_TRUE(A->WaitForm()->isVisible());
        // Owned by the main window, so the window manager keeps it above it.
        EXPECT_EQ(A->WaitForm()->windowHandle()->transientParent(), A->windowHandle());
        EXPECT_TRUE(A->WaitForm()->isEnabled()) << "its cancel button takes clicks";
        PressCancel();
        return true;
    });
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgCancelled()});
    EXPECT_EQ(Recorder.Messages[0].Kind, TMessageKind::mkError);
    EXPECT_FALSE(A->Connection().Listening());
    ExpectIdle(*A);

    // The close box of the wait window cancels too.
    Recorder.Clear();
    ServeA([&] {
        if (!A->WaitForm()) return false;
        A->WaitForm()->close();
        return true;
    });
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgCancelled()});
    ExpectIdle(*A);
}

TEST_F(ConnectionTest, ConnectingWhereNothingListensWaitsForTheCancel) {
    ConnectA([&] {
        if (Recorder.Texts().isEmpty()) return false;
        EXPECT_TRUE(Recorder.Texts()[0].startsWith(QStringLiteral("非同期ソケットエラー ")));
        EXPECT_EQ(A->WaitForm()->Message(), MsgConnectingToServer()) << "the wait goes on";
        PressCancel();
        return true;
    });
    ASSERT_EQ(Recorder.Texts().size(), 2);
    EXPECT_EQ(Recorder.Texts()[1], MsgCancelled());
    EXPECT_EQ(A->Settings.AddressHistory[0], u"127.0.0.1") << "entered before the outcome";
    ExpectIdle(*A);
}

TEST_F(ConnectionTest, ClosingAnErrorBoxDuringTheWaitGivesTheFocusBackToTheWaitWindow) {
    // Real boxes, closed as soon as they are up.
    int closed = 0;
    SetMessageHook([&](QWidget* owner, TMessageKind kind, const QString& text) {
        Recorder.Messages.push_back({owner, kind, text});
        const auto box = MakeMessageBox(owner, kind, text);
        QTimer::singleShot(0, box.get(), &QWidget::close);
        box->exec();
        ++closed;
    });
    bool focusBack = false;
    ConnectA([&] {
        if (closed == 0) return false;
        focusBack = WaitFor([&] { return QApplication::activeWindow() == A->WaitForm(); }, 2000);
        PressCancel();
        return true;
    });
    EXPECT_TRUE(focusBack) << "the focus stayed with " << QApplication::activeWindow();
    EXPECT_EQ(Recorder.Texts().size(), 2);
}

TEST_F(ConnectionTest, CancelAfterTheConnectionWasMadeDisconnectsFirst) {
    int port = 0;
    RawSocket listener = RawSocket::Listen(port);
    A->SetListenPort(port);
    RawSocket peer;
    ConnectA([&] {
        if (!peer.Valid()) peer = listener.Accept();
        if (A->ConnectStage() != 1) return false;
        // Connection established, handshake not begun: the middle column.
        EXPECT_TRUE(A->SendAction->isEnabled());
        EXPECT_TRUE(A->ServerAction->isEnabled());
        EXPECT_FALSE(A->DisconnectAction->isEnabled());
        EXPECT_TRUE(A->OptionAction->isEnabled());
        EXPECT_TRUE(A->IPEdit->isEnabledTo(A.get()));
        EXPECT_FALSE(A->isEnabled());
        EXPECT_NE(A->Progress(), nullptr);
        PressCancel();
        return true;
    });
    EXPECT_EQ(Recorder.Texts(), (QStringList{MsgDisconnected(), MsgCancelled()}));
    EXPECT_EQ(Recorder.Messages[0].Kind, TMessageKind::mkPlain);
    EXPECT_TRUE(peer.WaitClosed());
    ExpectIdle(*A);
}

TEST_F(ConnectionTest, PeerLeavingDuringTheHandshakeLeavesTheWaitToTheUser) {
    int port = 0;
    RawSocket listener = RawSocket::Listen(port);
    A->SetListenPort(port);
    RawSocket peer;
    bool closed = false;
    ConnectA([&] {
        if (!peer.Valid()) peer = listener.Accept();
        if (!closed) {
            if (A->ConnectStage() != 1) return false;
            peer.Close();
            closed = true;
            return false;
        }
        if (!Recorder.Texts().contains(MsgDisconnected())) return false;
        EXPECT_EQ(A->ConnectStage(), 0);
        EXPECT_NE(A->WaitForm(), nullptr) << "the wait window stays until the user cancels";
        PressCancel();
        return true;
    });
    EXPECT_EQ(Recorder.Texts(), (QStringList{MsgDisconnected(), MsgCancelled()}));
    ExpectIdle(*A);
}

TEST_F(ConnectionTest, FailedHandshakeClosesAndALaterAttemptSucceeds) {
    // First attempt: the peer claims another protocol version.
    RawSocket peer;
    ServeA([&] {
        if (!A->Connection().Listening()) return false;
        if (!peer.Valid()) peer = RawSocket::Connect(Port);
        const QByteArray version = peer.ReadAvailable();
        if (version.isEmpty()) return false;
        EXPECT_EQ(version, VersionRequestFrame());
        EXPECT_EQ(A->WaitForm()->Message(), MsgCheckingHandshake());
        peer.Write(Reply(Type::Version, Format::FmtNumber, "4"));
        return true;
    });
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgHandshakeFailed()});
    EXPECT_TRUE(A->HandshakeFailed());
    EXPECT_TRUE(peer.WaitClosed()) << "the failed connection is closed";
    EXPECT_FALSE(A->Connection().Listening());
    ExpectIdle(*A);

    // Second attempt, by hand: every Reply as the connecting side gives it.
    Recorder.Clear();
    RawSocket second;
    QByteArray seen;
    int step = 0;
    ServeA([&] {
        if (!A->Connection().Listening()) return false;
        if (!second.Valid()) second = RawSocket::Connect(Port);
        seen += second.ReadAvailable();
        const auto take = [&](const QByteArray& frame) {
            if (!seen.startsWith(frame)) return false;
            seen.remove(0, frame.size());
            return true;
        };
        if (step == 0 && take(VersionRequestFrame())) {
            second.Write(Reply(Type::Version, Format::FmtNumber, "5"));
            ++step;
        } else if (step == 1 && take(NameExchangeFrame(false, QStringLiteral("ありす")))) {
            second.Write(
                Reply(Type::NameExchange, Format::FmtText, ToShiftJis(QStringLiteral("手動"))));
            ++step;
        } else if (step == 2 && take(CompressFrame(false, true))) {
            second.Write(Reply(Type::Compress, Format::FmtFlag, "1"));
            ++step;
        } else if (step == 3 && take(ResumeFrame(false, true))) {
            second.Write(Reply(Type::Resume, Format::FmtFlag, "0"));
            ++step;
        }
        return step == 4;
    });
    EXPECT_TRUE(Recorder.Texts().isEmpty()) << Recorder.Texts().join(u'|').toStdString();
    ASSERT_TRUE(A->Connected());
    EXPECT_FALSE(A->HandshakeFailed());
    EXPECT_EQ(A->windowTitle(), ConnectedTitle(QStringLiteral("手動")));
    ExpectConnected(*A);
    EXPECT_TRUE(A->Connection().CompressOn());
    EXPECT_FALSE(A->Connection().ResumeOn());

    // Settings are refused while connected.
    A->OptionAction->setEnabled(true); // the toolbar path reaches it even so
    A->OptionAction->trigger();
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgCannotChangeSettings()});
    A->OptionAction->setEnabled(false);
    Recorder.Clear();

    // One peer at a time: another one is closed at once.
    RawSocket intruder = RawSocket::Connect(Port);
    EXPECT_TRUE(intruder.WaitClosed());
    WaitFor([] { return false; }, 100);
    ExpectConnected(*A);

    // A frame the worker cannot take ends the connection after its message.
    QByteArray bad = BuildFrame(ControlSlot, Kind::Notice, Type::Chat, Format::FmtText, "");
    bad[3] = '\xFF';
    bad[4] = '\xFF';
    bad[5] = '\xFF';
    bad[6] = '\x7F';
    second.Write(bad);
    ASSERT_TRUE(WaitFor([&] { return Recorder.Texts().size() == 2; }));
    EXPECT_EQ(Recorder.Messages[0].Kind, TMessageKind::mkError);
    EXPECT_TRUE(Recorder.Texts()[0].contains(QStringLiteral("2147483647")));
    EXPECT_EQ(Recorder.Texts()[1], MsgDisconnected());
    EXPECT_TRUE(second.WaitClosed());
    ExpectIdle(*A);
}

TEST_F(ConnectionTest, ServerHereConnectThereSendAndDisconnectFromHere) {
    PeerProcess b(SettingsB);
    ASSERT_TRUE(b.Ready);
    ConnectPeerToA(b);
    EXPECT_EQ(A->windowTitle(), ConnectedTitle(QStringLiteral("ボブ")));
    ExpectConnected(*A);
    ExpectPeerConnected(b.State(), QStringLiteral("ありす"));
    EXPECT_EQ(b.State().value("history").toArray().first().toString(), u"127.0.0.1");

    // A list of files from here arrives in the other window's folder.
    const QStringList files = MakeFiles(Dir.filePath(QStringLiteral("out")));
    A->FilesDropped(files);
    A->SendAction->trigger();
    EXPECT_FALSE(A->SendAction->isEnabled()) << "disabled until the list is accepted";
    EXPECT_TRUE(WaitFor([&] { return Arrived(files, InB()); }, 20000));
    EXPECT_TRUE(WaitFor([&] { return A->SendAction->isEnabled(); }, 10000));
    EXPECT_FALSE(QFile::exists(InB() + QStringLiteral("/first.txt.Recv")));

    // While "切断しました" is open here, the other window already knows.
    bool peerKnewWhileBoxOpen = false;
    SetMessageHook([&](QWidget* owner, TMessageKind kind, const QString& text) {
        Recorder.Messages.push_back({owner, kind, text});
        peerKnewWhileBoxOpen =
            b.WaitState([](const QJsonObject& s) { return !s.value("connected").toBool(); }, 1000);
    });
    A->DisconnectAction->trigger();
    SetMessageHook([&](QWidget* owner, TMessageKind kind, const QString& text) {
        Recorder.Messages.push_back({owner, kind, text});
    });
    EXPECT_TRUE(peerKnewWhileBoxOpen);
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgDisconnected()});
    EXPECT_FALSE(A->Connection().Listening());
    ExpectIdle(*A);
    EXPECT_TRUE(b.WaitMessage(MsgDisconnected()));
    ExpectPeerIdle(b.State());
    EXPECT_EQ(b.Messages(), QStringList{MsgDisconnected()});
}

TEST_F(ConnectionTest, ServerThereIdlesThenConnectHereAndDisconnectFromThere) {
    PeerProcess b(SettingsB);
    ASSERT_TRUE(b.Ready);
    b.Command(QStringLiteral("server"));
    ASSERT_TRUE(b.WaitState([](const QJsonObject& s) {
        return s.value("listening").toBool() && s.value("waiting").toBool();
    }));
    const QJsonObject waiting = b.State();
    EXPECT_FALSE(waiting.value("window").toBool());

    // A server waiting for its peer blocks in the event queue: no CPU.
    WaitFor([] { return false; }, 300);
    const long hz = ::sysconf(_SC_CLK_TCK);
    const qint64 before = b.CpuTicks();
    QElapsedTimer clock;
    clock.start();
    WaitFor([] { return false; }, 2500);
    const qint64 used = b.CpuTicks() - before;
    const double share = double(used) / hz / (clock.elapsed() / 1000.0);
    EXPECT_LT(share, 0.02) << used << " ticks in " << clock.elapsed() << " ms";

    ConnectA([] { return true; });
    ASSERT_TRUE(A->Connected());
    EXPECT_EQ(A->windowTitle(), ConnectedTitle(QStringLiteral("ボブ")));
    ExpectConnected(*A);
    ASSERT_TRUE(b.WaitState([](const QJsonObject& s) { return s.value("connected").toBool(); }));
    ExpectPeerConnected(b.State(), QStringLiteral("ありす"));

    // And the other way: a list from there arrives here.
    const QStringList files = MakeFiles(Dir.filePath(QStringLiteral("out")));
    QJsonObject send = Cmd(QStringLiteral("send"));
    send["files"] = QJsonArray::fromStringList(files);
    b.Command(send);
    EXPECT_TRUE(WaitFor([&] { return Arrived(files, InA()); }, 20000));
    // Its list has ended there too (else the disconnect names what is unconfirmed).
    ASSERT_TRUE(b.WaitState([](const QJsonObject& s) {
        return s.value("enabled").toObject().value("SendAction").toBool();
    }));

    b.Command(QStringLiteral("disconnect"));
    ASSERT_TRUE(WaitFor([&] { return Recorder.Texts().contains(MsgDisconnected()); }));
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgDisconnected()});
    ExpectIdle(*A);
    EXPECT_TRUE(b.WaitMessage(MsgDisconnected()));
    ExpectPeerIdle(b.State());
    EXPECT_FALSE(b.State().value("listening").toBool());
}

TEST_F(ConnectionTest, PeerLeavesThenTheNextPeerIsServedAndExitDisconnects) {
    PeerProcess b(SettingsB);
    ASSERT_TRUE(b.Ready);
    ConnectPeerToA(b);

    // The peer's close on the listening side: idle, still listening.
    b.Command(QStringLiteral("disconnect"));
    ASSERT_TRUE(WaitFor([&] { return Recorder.Texts().contains(MsgDisconnected()); }));
    ExpectIdle(*A);
    EXPECT_TRUE(A->Connection().Listening());
    EXPECT_TRUE(b.WaitMessage(MsgDisconnected()));

    // No server action waits: a peer that comes now is kept for the next
    // one (the session's tests follow it through); this one gives up.
    RawSocket stranger = RawSocket::Connect(Port);
    EXPECT_FALSE(stranger.WaitClosed(300));
    EXPECT_EQ(A->ConnectStage(), 0);
    stranger.Close();

    // So the next server action starts cleanly and finds the next peer.
    Recorder.Clear();
    ConnectPeerToA(b);
    EXPECT_TRUE(Recorder.Texts().isEmpty());
    ExpectConnected(*A);

    // Exit while connected: disconnect first, then the window closes.
    bool closed = false;
    QObject::connect(A.get(), &TMainForm::FormClosed, [&] { closed = true; });
    A->ExitAction->trigger();
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgDisconnected()});
    EXPECT_TRUE(closed);
    EXPECT_FALSE(A->isVisible());
    ASSERT_TRUE(b.WaitState([](const QJsonObject& s) { return !s.value("connected").toBool(); }));
    const QStringList peerMessages = b.Messages();
    EXPECT_EQ(peerMessages, (QStringList{MsgDisconnected(), MsgDisconnected()}));
}

} // namespace
