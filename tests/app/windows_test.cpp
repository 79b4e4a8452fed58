// The main window's status windows and chat window, with two main windows
// connected on 127.0.0.1: this one and one in a process of its own.

#include "app/consts.h"
#include "app/mainform.h"
#include "app/program.h"
#include "app/restartform.h"
#include "app/waitform.h"
#include "chat/messageform.h"
#include "net/socket.h"
#include "status/statusform.h"
#include "tests/app/app_support.h"
#include "tests/app/status_probe.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QRandomGenerator>
#include <QWindow>

#include <algorithm>
#include <cerrno>
#include <vector>

#include <ifaddrs.h>
#include <net/if.h>

using namespace relvane;
using namespace relvane::app;
using namespace relvane::test;

namespace {

// Long enough that the windows refresh a few times while it moves (loopback
// moves incompressible data at several hundred MB/s, a refresh is 100 ms).
constexpr int BigSize = 48 * 1024 * 1024;
constexpr int SmallSize = 3000;

QJsonObject Cmd(const QString& name) {
    return QJsonObject{{QStringLiteral("cmd"), name}};
}

QString WriteFile(const QString& path, int size) {
    QDir().mkpath(QFileInfo(path).path());
    std::vector<quint32> words(static_cast<std::size_t>(size) / 4 + 1);
    QRandomGenerator(static_cast<quint32>(size)).fillRange(words.data(), words.size());
    // Half compressible: the file moves at the pace of deflate, not of a
    // copy, so the status windows tick while it does on any machine.
    for (quint32& w : words)
        w &= 0x0F0F0F0Fu;
    const QByteArray bytes(reinterpret_cast<const char*>(words.data()), size);
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

QByteArray Contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Polled while the files move: reads them only once they are whole, so that
// the waiting test leaves the windows their refreshes.
bool Arrived(const QStringList& sent, const QString& folder) {
    for (const QString& path : sent) {
        const QString there = folder + u'/' + QFileInfo(path).fileName();
        if (QFileInfo(there).size() != QFileInfo(path).size() || Contents(path) != Contents(there))
            return false;
    }
    return true;
}

QStringList Names(const QStringList& paths) {
    QStringList names;
    for (const QString& p : paths)
        names << QFileInfo(p).fileName();
    return names;
}

QStringList Strings(const QJsonValue& array) {
    QStringList list;
    for (const QJsonValue& v : array.toArray())
        list << v.toString();
    return list;
}

void TypeChat(TMessageForm& form, const QString& text) {
    form.MessageMemo->setPlainText(text);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QCoreApplication::sendEvent(form.MessageMemo, &enter);
}

// Clicks a status window's cancel button as soon as it shows: the flag is
// then set before the first block of the batch has moved.
class CancelOnShow : public QObject {
public:
    explicit CancelOnShow(TStatusForm& window) : Window(window) { window.installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &Window && event->type() == QEvent::Show && !Clicked) {
            Clicked = true;
            Window.CancelButton->click();
        }
        return false;
    }
    TStatusForm& Window;
    bool Clicked = false;
};

// A refresh that showed the big file in the list's last entry with
// compression on, resumed as asked. How far a tick caught it depends on the
// machine's speed: a fast one moves it between two ticks.
bool ShowsBigFileMoving(const QJsonObject& e, bool resumed) {
    const QString what = e.value("what").toString();
    return (what == u"tick" || what == u"hide") && e.value("fileMax").toInt() == BigSize &&
           e.value("listMax").toInt() == 2 && e.value("listPos").toInt() == 1 &&
           e.value("current").toInt() == 1 && e.value("compress").toBool() &&
           e.value("resume").toBool() == resumed;
}

class WindowsTest : public TwoPeerTest {
protected:
    void SetUp() override {
        TwoPeerTest::SetUp();
        if (HasFatalFailure()) return;
        SendProbe = std::make_unique<StatusProbe>(*A->SendStatusForm,
                                                  [this](QJsonObject e) { ASend.push_back(e); });
        RecvProbe = std::make_unique<StatusProbe>(*A->RecvStatusForm,
                                                  [this](QJsonObject e) { ARecv.push_back(e); });
        B = std::make_unique<PeerProcess>(SettingsB);
        ASSERT_TRUE(B->Ready);
    }
    void TearDown() override {
        B.reset();
        SendProbe.reset();
        RecvProbe.reset();
        A.reset();
    }

    // A listens, the other window connects.
    void Connect() {
        bool told = false;
        Repeat step([&] {
            if (!told && A->WaitForm() && !A->isEnabled() && A->Connection().Listening()) {
                QJsonObject c = Cmd(QStringLiteral("connect"));
                c["addr"] = QStringLiteral("127.0.0.1");
                B->Command(c);
                told = true;
            }
            return told;
        });
        Watchdog dog(*A);
        A->ServerAction->trigger();
        ASSERT_TRUE(WaitFor([&] { return A->WaitForm() == nullptr && step.Done(); }, 20000));
        ASSERT_FALSE(dog.Fired);
        ASSERT_TRUE(A->Connected());
        ASSERT_TRUE(
            B->WaitState([](const QJsonObject& s) { return s.value("connected").toBool(); }));
    }

    void SendFromA(const QStringList& files) {
        A->FilesDropped(files);
        A->SendAction->trigger();
    }
    void SendFromB(const QStringList& files) {
        QJsonObject send = Cmd(QStringLiteral("send"));
        send["files"] = QJsonArray::fromStringList(files);
        B->Command(send);
    }

    // The other window's reports of one status window, in order.
    std::vector<QJsonObject> PeerStatus(const QString& window) const {
        std::vector<QJsonObject> found;
        for (const QJsonObject& e : B->Events) {
            if (e.value("ev").toString() == u"status" && e.value("window").toString() == window)
                found.push_back(e);
        }
        return found;
    }
    static QString LastWhat(const std::vector<QJsonObject>& events) {
        return events.empty() ? QString() : events.back().value("what").toString();
    }
    static bool Any(const std::vector<QJsonObject>& events,
                    const std::function<bool(const QJsonObject&)>& pred) {
        return std::any_of(events.begin(), events.end(), pred);
    }

    QStringList TwoFiles() {
        const QString out = Dir.filePath(QStringLiteral("out"));
        return {WriteFile(out + QStringLiteral("/small.txt"), SmallSize),
                WriteFile(out + QStringLiteral("/大きい.bin"), BigSize)};
    }

    std::unique_ptr<PeerProcess> B;
    std::vector<QJsonObject> ASend;
    std::vector<QJsonObject> ARecv;
    std::unique_ptr<StatusProbe> SendProbe;
    std::unique_ptr<StatusProbe> RecvProbe;
};

TEST_F(WindowsTest, StartHiddenWithTheDisplaySettings) {
    EXPECT_FALSE(A->SendStatusForm->isVisible());
    EXPECT_FALSE(A->RecvStatusForm->isVisible());
    EXPECT_FALSE(A->MessageForm->isVisible());
    EXPECT_TRUE(A->SendStatusForm->SendMode());
    EXPECT_FALSE(A->RecvStatusForm->SendMode());
    EXPECT_EQ(A->SendStatusForm->windowTitle(), u"送信状況表示");
    EXPECT_EQ(A->RecvStatusForm->windowTitle(), u"受信状況表示");
    // The settings' defaults, not the layout's colours.
    for (TStatusForm* w : {A->SendStatusForm, A->RecvStatusForm}) {
        EXPECT_EQ(w->FileProgressBar->EndColor(), clLime);
        EXPECT_EQ(w->ListProgressBar->EndColor(), 0x8888FFu);
        EXPECT_EQ(w->AnimeType(), 1);
        EXPECT_EQ(w->Progress(), nullptr);
    }
    EXPECT_FALSE(A->MessageAction->isChecked());
}

TEST_F(WindowsTest, AListFromHereShowsBothStatusWindowsAndHidesThemAtTheEnd) {
    Connect();
    EXPECT_EQ(A->SendStatusForm->Progress(), A->Progress())
        << "attached to the connection's counters";
    EXPECT_EQ(A->RecvStatusForm->Progress(), A->Progress());

    const QStringList files = TwoFiles();
    SendFromA(files);
    ASSERT_TRUE(
        WaitFor([&] { return Arrived(files, InB()) && A->SendAction->isEnabled(); }, 20000));
    ASSERT_TRUE(WaitFor([&] { return LastWhat(PeerStatus(QStringLiteral("recv"))) == u"hide"; }));

    // Here: the full paths as chosen, the bars and lamps while it moved.
    ASSERT_FALSE(ASend.empty());
    const QJsonObject shown = ASend.front();
    EXPECT_EQ(shown.value("what").toString(), u"show");
    EXPECT_EQ(Strings(shown.value("files")), files);
    EXPECT_EQ(shown.value("listMax").toInt(), 2);
    EXPECT_TRUE(Any(ASend, [](const QJsonObject& e) { return ShowsBigFileMoving(e, false); }));
    EXPECT_TRUE(Any(ASend, [](const QJsonObject& e) {
        return e.value("caption").toString() == u"送信状況表示" &&
               e.value("process").toString().endsWith(u"Byte");
    }));
    EXPECT_EQ(LastWhat(ASend), u"hide");
    EXPECT_FALSE(A->SendStatusForm->isVisible());
    EXPECT_TRUE(ARecv.empty()) << "the other direction's window stays hidden";

    // There: the names take the places of "Unknown".
    const std::vector<QJsonObject> recv = PeerStatus(QStringLiteral("recv"));
    EXPECT_EQ(recv.front().value("what").toString(), u"show");
    EXPECT_TRUE(Any(recv, [](const QJsonObject& e) { return ShowsBigFileMoving(e, false); }));
    EXPECT_EQ(Strings(recv.back().value("files")), Names(files));
    EXPECT_TRUE(Any(recv, [](const QJsonObject& e) {
        return e.value("caption").toString() == u"受信状況表示";
    }));
    EXPECT_TRUE(PeerStatus(QStringLiteral("send")).empty());
    EXPECT_TRUE(Recorder.Texts().isEmpty()) << Recorder.Texts().join(u'|').toStdString();
    EXPECT_TRUE(B->Messages().isEmpty());
}

TEST_F(WindowsTest, AListFromThereShowsTheResumeLampOnBothSides) {
    Connect();
    const QStringList files = TwoFiles();
    // Part of the big file is here already: the list resumes it.
    QFile partial(InA() + QStringLiteral("/大きい.bin.Recv"));
    ASSERT_TRUE(partial.open(QIODevice::WriteOnly));
    partial.write(Contents(files[1]).left(BigSize / 4));
    partial.close();

    SendFromB(files);
    ASSERT_TRUE(WaitFor([&] { return Arrived(files, InA()); }, 20000));
    ASSERT_TRUE(WaitFor([&] { return !ARecv.empty() && LastWhat(ARecv) == u"hide"; }));
    ASSERT_TRUE(WaitFor([&] { return LastWhat(PeerStatus(QStringLiteral("send"))) == u"hide"; }));

    EXPECT_EQ(ARecv.front().value("what").toString(), u"show");
    EXPECT_TRUE(Any(ARecv, [](const QJsonObject& e) { return ShowsBigFileMoving(e, true); }));
    EXPECT_EQ(Strings(ARecv.back().value("files")), Names(files));
    EXPECT_FALSE(A->RecvStatusForm->isVisible());
    EXPECT_TRUE(ASend.empty());

    const std::vector<QJsonObject> send = PeerStatus(QStringLiteral("send"));
    EXPECT_EQ(Strings(send.front().value("files")), files);
    EXPECT_TRUE(Any(send, [](const QJsonObject& e) { return ShowsBigFileMoving(e, true); }));
    EXPECT_TRUE(PeerStatus(QStringLiteral("recv")).empty());
}

TEST_F(WindowsTest, EitherCancelButtonStopsTheListAndTheConnectionStays) {
    Connect();
    const QString big = WriteFile(Dir.filePath(QStringLiteral("out/大きい.bin")), BigSize);
    const QString NotSent = QStringLiteral("\r\n\r\n送信できなかったファイル:\r\n大きい.bin");

    // The send window's button here.
    {
        CancelOnShow cancel(*A->SendStatusForm);
        SendFromA({big});
        // With the file that did not arrive.
        ASSERT_TRUE(WaitFor([&] { return Recorder.Texts().contains(MsgCancelled() + NotSent); }));
        EXPECT_TRUE(cancel.Clicked);
        EXPECT_TRUE(B->WaitMessage(MsgCancelled()));
    }
    EXPECT_FALSE(A->SendStatusForm->isVisible());
    EXPECT_TRUE(A->SendAction->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return LastWhat(PeerStatus(QStringLiteral("recv"))) == u"hide"; }));
    EXPECT_FALSE(QFile::exists(InB() + QStringLiteral("/大きい.bin")));

    // The receive window's button here, for a list from there.
    Recorder.Clear();
    {
        CancelOnShow cancel(*A->RecvStatusForm);
        SendFromB({big});
        ASSERT_TRUE(WaitFor([&] { return Recorder.Texts().contains(MsgCancelled()); }));
        EXPECT_TRUE(cancel.Clicked);
        ASSERT_TRUE(WaitFor([&] { return B->Messages().contains(MsgCancelled() + NotSent); }));
    }
    EXPECT_FALSE(A->RecvStatusForm->isVisible());
    ASSERT_TRUE(WaitFor([&] { return LastWhat(PeerStatus(QStringLiteral("send"))) == u"hide"; }));
    EXPECT_FALSE(QFile::exists(InA() + QStringLiteral("/大きい.bin")));
    EXPECT_EQ(Recorder.Texts(), QStringList{MsgCancelled()}) << "no disconnection";

    // Still connected: the next list goes through.
    EXPECT_TRUE(A->Connected());
    EXPECT_TRUE(B->State().value("connected").toBool());
    SendFromA({big});
    EXPECT_TRUE(WaitFor([&] { return Arrived({big}, InB()); }, 20000));
}

TEST_F(WindowsTest, TransfersBothWaysAtOnceShowBothWindows) {
    Connect();
    const QString mine = WriteFile(Dir.filePath(QStringLiteral("a/out/mine.bin")), BigSize);
    const QString theirs = WriteFile(Dir.filePath(QStringLiteral("b/out/theirs.bin")), BigSize + 1);

    SendFromB({theirs});
    ASSERT_TRUE(WaitFor([&] { return A->RecvStatusForm->isVisible(); }));
    SendFromA({mine});
    EXPECT_TRUE(
        WaitFor([&] { return A->SendStatusForm->isVisible() && A->RecvStatusForm->isVisible(); }));
    ASSERT_TRUE(WaitFor([&] { return Arrived({mine}, InB()) && Arrived({theirs}, InA()); }, 30000));
    ASSERT_TRUE(WaitFor([&] {
        return !A->SendStatusForm->isVisible() && !A->RecvStatusForm->isVisible() &&
               A->SendAction->isEnabled();
    }));
    EXPECT_EQ(Strings(ASend.back().value("files")), QStringList{mine});
    EXPECT_EQ(Strings(ARecv.back().value("files")), QStringList{QStringLiteral("theirs.bin")});
    ASSERT_TRUE(WaitFor([&] {
        return LastWhat(PeerStatus(QStringLiteral("send"))) == u"hide" &&
               LastWhat(PeerStatus(QStringLiteral("recv"))) == u"hide";
    }));
    EXPECT_TRUE(Recorder.Texts().isEmpty()) << Recorder.Texts().join(u'|').toStdString();
}

TEST_F(WindowsTest, TheEndOfTheConnectionHidesTheStatusWindows) {
    Connect();
    const QString big = WriteFile(Dir.filePath(QStringLiteral("out/大きい.bin")), BigSize);

    // Ended here while a list arrives.
    SendFromB({big});
    ASSERT_TRUE(WaitFor([&] {
        return Any(ARecv,
                   [](const QJsonObject& e) { return e.value("what").toString() == u"show"; });
    }));
    A->DisconnectAction->trigger();
    EXPECT_FALSE(A->RecvStatusForm->isVisible());
    EXPECT_EQ(A->RecvStatusForm->Progress(), nullptr)
        << "the ended connection's counters are let go";
    EXPECT_EQ(A->SendStatusForm->Progress(), nullptr);
    ASSERT_TRUE(WaitFor([&] { return LastWhat(PeerStatus(QStringLiteral("send"))) == u"hide"; }));
    ASSERT_TRUE(B->WaitState([](const QJsonObject& s) { return !s.value("connected").toBool(); }));
    EXPECT_FALSE(B->State().value("send").toObject().value("attached").toBool());

    // Ended there while a list leaves.
    Connect();
    EXPECT_NE(A->SendStatusForm->Progress(), nullptr);
    Recorder.Clear();
    ASend.clear();
    SendFromA({big});
    ASSERT_TRUE(WaitFor([&] {
        return Any(ASend,
                   [](const QJsonObject& e) { return e.value("what").toString() == u"show"; });
    }));
    B->Command(QStringLiteral("disconnect"));
    // With the file that did not arrive.
    ASSERT_TRUE(WaitFor([&] {
        return Recorder.Texts().contains(MsgDisconnected() +
                                         QStringLiteral("\r\n\r\n送信できなかったファイル:\r\n") +
                                         QFileInfo(big).fileName());
    }));
    EXPECT_FALSE(A->SendStatusForm->isVisible());
    EXPECT_EQ(A->SendStatusForm->Progress(), nullptr);
    EXPECT_FALSE(A->Connected());
    // The refresh goes on without a connection behind it.
    const size_t seen = ASend.size();
    WaitFor([] { return false; }, 250);
    EXPECT_EQ(ASend.size(), seen) << "a hidden window does not refresh";
}

TEST_F(WindowsTest, AChatLineOpensTheOtherChatWindow) {
    Connect();
    TypeChat(*A->MessageForm, QStringLiteral("資料を送ります"));
    EXPECT_EQ(A->MessageForm->Lines(), QStringList{QStringLiteral("ありす: 資料を送ります")});
    EXPECT_TRUE(A->MessageForm->MessageText().isEmpty());
    ASSERT_TRUE(B->WaitState(
        [](const QJsonObject& s) { return s.value("chat").toObject().value("visible").toBool(); }));
    QJsonObject chat = B->State().value("chat").toObject();
    EXPECT_EQ(Strings(chat.value("lines")), QStringList{QStringLiteral("ありす: 資料を送ります")});
    EXPECT_TRUE(chat.value("checked").toBool()) << "the menu's mark follows the window";

    // And back: the window here opens by itself.
    QJsonObject reply = Cmd(QStringLiteral("chat"));
    reply["text"] = QStringLiteral("了解です");
    B->Command(reply);
    ASSERT_TRUE(WaitFor([&] { return A->MessageForm->isVisible(); }));
    // The wait for the connection disabled this window with the main window;
    // the reply is typed at once all the same.
    EXPECT_EQ(A->MessageForm->focusWidget(), A->MessageForm->MessageMemo);
    EXPECT_EQ(A->MessageForm->Lines(), (QStringList{QStringLiteral("ありす: 資料を送ります"),
                                                    QStringLiteral("ボブ: 了解です")}));
    EXPECT_TRUE(A->MessageAction->isChecked());
    chat = B->State().value("chat").toObject();
    EXPECT_EQ(Strings(chat.value("lines")).last(), u"ボブ: 了解です");
    EXPECT_TRUE(chat.value("input").toString().isEmpty());

    // Closing the window only hides it; the next line shows it again.
    A->MessageForm->close();
    EXPECT_FALSE(A->MessageForm->isVisible());
    B->Command(reply);
    ASSERT_TRUE(WaitFor([&] { return A->MessageForm->Lines().size() == 3; }));
    EXPECT_TRUE(A->MessageForm->isVisible());

    // A held Enter queues more presses: the line goes once.
    QCoreApplication::postEvent(
        A->MessageForm->MessageMemo,
        new QKeyEvent(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r")));
    TypeChat(*A->MessageForm, QStringLiteral("一度だけ"));
    WaitFor([] { return false; }, 50);
    ASSERT_TRUE(B->WaitState([](const QJsonObject& s) {
        return Strings(s.value("chat").toObject().value("lines")).contains(u"ありす: 一度だけ");
    }));
    EXPECT_EQ(A->MessageForm->Lines().count(QStringLiteral("ありす: 一度だけ")), 1);
    EXPECT_EQ(
        Strings(B->State().value("chat").toObject().value("lines")).count(u"ありす: 一度だけ"), 1);

    // With nothing connected the line is echoed and the error follows.
    A->DisconnectAction->trigger();
    TypeChat(*A->MessageForm, QStringLiteral("まだいる？"));
    const QStringList lines = A->MessageForm->Lines();
    ASSERT_EQ(lines.size(), 6);
    EXPECT_EQ(lines[4], u"ありす: まだいる？");
    EXPECT_EQ(lines[5], u"Error: 接続されてません");
    EXPECT_TRUE(Recorder.Texts() == QStringList{MsgDisconnected()});
}

// ---- Start-up: Qt's own texts, the socket layer's errors.

TEST(StartUp, QtsStandardDialogsSpeakJapanese) {
    InitApplication(*qApp);
    // Texts of Qt's own, as the file, colour and message dialogs show them.
    const std::pair<const char*, const char*> texts[] = {
        {"QFileDialog", "Look in:"},
        {"QFileDialog", "%1 already exists.\nDo you want to replace it?"},
        {"QColorDialog", "&Basic colors"},
        {"QPlatformTheme", "Cancel"},
        {"QAbstractFileIconProvider", "Folder"}, // missing from Qt's own translation
    };
    for (const auto& [context, text] : texts) {
        const QString shown = QCoreApplication::translate(context, text);
        EXPECT_NE(shown, QString::fromLatin1(text)) << context << ": " << text;
        EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](QChar c) {
            return c.unicode() >= 0x3000;
        })) << shown.toStdString();
    }
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    EXPECT_EQ(buttons.button(QDialogButtonBox::Cancel)->text(), u"キャンセル");
    EXPECT_EQ(QLocale().language(), QLocale::Japanese) << "dates and file types";
    // The desktop's own dialogs would follow the desktop's language.
    EXPECT_TRUE(QCoreApplication::testAttribute(Qt::AA_DontUseNativeDialogs));
}

TEST(StartUp, SocketErrorsGetASecondLineForTheCommonCauses) {
    const struct {
        ESocketError Error;
        QString Hint;
    } cases[] = {
        {AsyncSocketError(ECONNREFUSED), HintConnectionRefused()},
        {AsyncSocketError(ETIMEDOUT), HintUnreachable()},
        {AsyncSocketError(EHOSTUNREACH), HintUnreachable()},
        {SocketApiError(ENETUNREACH, "connect"), HintUnreachable()},
        {SocketApiError(EINVAL, "connect"), HintNotAnAddress()},
        {SocketApiError(EADDRINUSE, "bind"), HintPortTaken()},
        {SocketApiError(EACCES, "bind"), HintPortPrivileged()},
        {SocketApiError(ECONNRESET, "recv"), HintConnectionLost()},
        {SocketApiError(ETIMEDOUT, "send"), HintConnectionLost()}, // a peer that stopped reading
        // Nothing useful to add.
        {SocketApiError(EINVAL, "bind"), QString()},
        {SocketApiError(EMFILE, "connect"), QString()},
        {ESocketError(QStringLiteral("ソケットを使用中は値を変更できません")), QString()},
    };
    for (const auto& [error, hint] : cases) {
        SCOPED_TRACE(error.Message().toStdString());
        EXPECT_EQ(SocketErrorHint(error), hint);
        EXPECT_EQ(SocketErrorText(error), hint.isEmpty()
                                              ? error.Message()
                                              : error.Message() + QStringLiteral("\r\n") + hint);
    }
}

TEST(StartUp, CommandLineTakesHelpVersionAndQtsOptionsAndRefusesTheRest) {
    using Action = TCommandLine::TAction;
    const struct {
        QStringList Arguments;
        Action Expected;
        const char* Says; // part of the text
    } cases[] = {
        {{}, Action::Run, ""},
        {{"-platform", "offscreen", "--style=fusion", "-reverse"}, Action::Run, ""},
        {{"--help"}, Action::Help, "--version"},
        {{"-h"}, Action::Help, "Usage: relvane"},
        {{"--version"}, Action::Version, "relvane " RELVANE_VERSION "\n"},
        {{"--bogus", "--help"}, Action::Help, "--help"}, // help answers whatever else is there
        {{"--bogus"}, Action::Refused, "'bogus'"},       // in Qt's words: Japanese once loaded
        {{"report.pdf"}, Action::Refused, "'report.pdf'"},
        {{"-platform"}, Action::Refused, "platform"}, // its value is missing
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Arguments.join(u' ').toStdString());
        const TCommandLine line =
            ParseCommandLine(QStringList{QStringLiteral("/usr/bin/relvane")} + c.Arguments);
        EXPECT_EQ(line.Action, c.Expected);
        EXPECT_TRUE(line.Text.contains(QString::fromUtf8(c.Says))) << line.Text.toStdString();
    }
}

// ---- Windows a user cannot lose.

TEST(WaitWindow, EscapeCancelsTheWait) {
    TWaitForm wait;
    wait.show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(wait.CancelButton, &escape); // the focused button passes it on
    EXPECT_TRUE(wait.CancelPressed());
}

TEST(MessageBoxes, TheTitleFitsBesideTheWindowManagersButtons) {
    const auto box = MakeMessageBox(nullptr, TMessageKind::mkPlain, MsgDisconnected());
    box->show();
    QFont title = box->font();
    title.setBold(true);
    // An icon and three buttons of about 20 pixels each beside the title.
    EXPECT_GE(box->width(),
              QFontMetrics(title).horizontalAdvance(QStringLiteral("TCP/IP Relvane")) + 80);
}

TEST(RestartWindow, StaysAboveTheMainWindowWithoutTitleBarButtons) {
    QTemporaryDir dir;
    MessageRecorder recorder;
    SetSettingsFile(dir.filePath(QStringLiteral("Varnel.ini")));
    CreateMainForm()->show();
    TRestartForm restart([] {});
    restart.show();
    ASSERT_NE(restart.windowHandle(), nullptr);
    EXPECT_EQ(restart.windowHandle()->transientParent(), MainForm()->windowHandle());
    EXPECT_EQ(restart.windowType(), Qt::Dialog) << "else X11 is not told of the owner";
    const Qt::WindowFlags buttons = Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                    Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                                    Qt::WindowCloseButtonHint;
    EXPECT_TRUE(restart.windowFlags().testFlag(Qt::CustomizeWindowHint));
    EXPECT_FALSE(restart.windowFlags() & buttons);
    restart.RestartTimer->stop();
    DestroyMainForm();
}

TEST(RestartWindow, TheNewMainWindowStandsWhereTheOldOneStood) {
    QTemporaryDir dir;
    MessageRecorder recorder;
    SetSettingsFile(dir.filePath(QStringLiteral("Varnel.ini")));
    CreateMainForm()->show();
    MainForm()->move(123, 77);
    const QRect old = MainForm()->geometry();
    ReplaceMainForm();
    EXPECT_EQ(MainForm()->geometry(), old);
    DestroyMainForm();
}

TEST(OwnAddress, TheWindowShowsNoLoopbackWhileAnInterfaceHasAnother) {
    bool other = false;
    ifaddrs* list = nullptr;
    ASSERT_EQ(::getifaddrs(&list), 0);
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP) &&
            (ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr) >> 24) !=
                127)
            other = true;
    }
    ::freeifaddrs(list);
    if (!other) GTEST_SKIP() << "no interface with an address beyond loopback";
    QTemporaryDir dir;
    MessageRecorder recorder;
    TMainForm form(dir.filePath(QStringLiteral("Varnel.ini")));
    EXPECT_FALSE(form.SelfIPEdit->text().startsWith(u"127."))
        << form.SelfIPEdit->text().toStdString();
    EXPECT_FALSE(form.SelfIPEdit->text().isEmpty());
}

} // namespace
