#pragma once
// Helpers of the application tests: a recorder for message boxes, settings
// files, free ports, bare sockets that play a peer by hand, and a main window
// in a second process.

#include "app/mainform.h"
#include "app/messagebox.h"
#include "app/program.h"
#include "app/waitform.h"
#include "platform/profile.h"
#include "tests/support/childprocess.h"
#include "tests/support/ports.h"
#include "tests/support/wait.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace relvane::test {

struct RecordedMessage {
    QWidget* Owner;
    app::TMessageKind Kind;
    QString Text;
};

// Replaces the modal boxes for the life of the object.
class MessageRecorder {
public:
    MessageRecorder() {
        app::SetMessageHook([this](QWidget* owner, app::TMessageKind kind, const QString& text) {
            Messages.push_back({owner, kind, text});
        });
    }
    ~MessageRecorder() { app::SetMessageHook({}); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    // The texts shown with `owner` (any owner when null), in order.
    QStringList Texts(QWidget* owner = nullptr) const {
        QStringList texts;
        for (const auto& m : Messages) {
            if (!owner || m.Owner == owner) texts << m.Text;
        }
        return texts;
    }
    void Clear() { Messages.clear(); }

    std::vector<RecordedMessage> Messages;
};

// A settings file that names the port and the receive folder.
inline QString WriteSettingsFile(const QString& dir, int port, const QString& receiveFolder,
                                 const QString& userName) {
    const QString path = dir + QStringLiteral("/Varnel.ini");
    TProfileFile file(path);
    file.WriteString(QStringLiteral("Setting"), QStringLiteral("UserName"), userName);
    file.WriteString(QStringLiteral("Setting"), QStringLiteral("PortNo"), QString::number(port));
    file.WriteString(QStringLiteral("Setting"), QStringLiteral("ReceivePath"), receiveFolder);
    // No notices on the desktop of whoever runs the tests.
    file.WriteString(QStringLiteral("Setting"), QStringLiteral("Notify"), QStringLiteral("0"));
    return path;
}

// A bare TCP socket for playing the peer by hand: non-blocking, every wait
// with a deadline.
class RawSocket {
public:
    RawSocket() = default;
    explicit RawSocket(int fd) : Fd(fd) {}
    ~RawSocket() { Close(); }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    RawSocket(RawSocket&& o) noexcept : Fd(o.Fd), PeerClosed(o.PeerClosed) { o.Fd = -1; }
    RawSocket& operator=(RawSocket&& o) noexcept {
        if (this != &o) {
            Close();
            Fd = std::exchange(o.Fd, -1);
            PeerClosed = o.PeerClosed;
        }
        return *this;
    }

    static RawSocket Listen(int& port) {
        RawSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        const int one = 1;
        ::setsockopt(s.Fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(s.Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(s.Fd, 4);
        socklen_t n = sizeof a;
        ::getsockname(s.Fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        return s;
    }
    // Starts connecting; Connected() tells when it has.
    static RawSocket Connect(int port) {
        RawSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        ::connect(s.Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        return s;
    }
    // A pending connection of a listening socket, or an invalid socket.
    RawSocket Accept() { return RawSocket(::accept4(Fd, nullptr, nullptr, SOCK_NONBLOCK)); }
    bool Valid() const { return Fd >= 0; }
    void Close() {
        if (Fd >= 0) ::close(Fd);
        Fd = -1;
    }
    void Write(const QByteArray& bytes) {
        ASSERT_EQ(::send(Fd, bytes.constData(), bytes.size(), MSG_NOSIGNAL), bytes.size());
    }
    // Everything that can be read now.
    QByteArray ReadAvailable() {
        QByteArray all;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(Fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                if (n == 0) PeerClosed = true;
                return all;
            }
            all.append(buffer, n);
        }
    }
    // Reads until `count` bytes have arrived (dispatching events meanwhile).
    QByteArray Read(int count, int timeoutMs = 5000) {
        QByteArray got;
        WaitFor(
            [&] {
                got += ReadAvailable();
                return got.size() >= count || PeerClosed;
            },
            timeoutMs);
        return got;
    }
    // True once the other side has closed (reading whatever still came).
    bool WaitClosed(int timeoutMs = 5000) {
        return WaitFor(
            [&] {
                ReadAvailable();
                return PeerClosed;
            },
            timeoutMs);
    }

    int Fd = -1;
    bool PeerClosed = false;
};

// Runs step() from the event queue every few milliseconds until it returns
// true; meant to act while a main window's action waits in a nested loop.
class Repeat {
public:
    explicit Repeat(std::function<bool()> step) : Step(std::move(step)) {
        QObject::connect(&Timer, &QTimer::timeout, [this] {
            if (Step()) Timer.stop();
        });
        Timer.start(2);
    }
    bool Done() const { return !Timer.isActive(); }

private:
    std::function<bool()> Step;
    QTimer Timer;
};

// Presses the wait window's cancel after `ms`, so a test whose peer never
// comes fails instead of hanging.
class Watchdog {
public:
    Watchdog(app::TMainForm& form, int ms = 15000) {
        Timer.setSingleShot(true);
        QObject::connect(&Timer, &QTimer::timeout, [&form, this] {
            Fired = true;
            if (form.WaitForm()) form.WaitForm()->CancelButtonClick();
        });
        Timer.start(ms);
    }
    bool Fired = false;

private:
    QTimer Timer;
};

// A main window in a process of its own (relvane_testpeer).
class PeerProcess {
public:
    explicit PeerProcess(const QString& settingsFile)
        : Process(QStringLiteral(RELVANE_TESTPEER_PATH), {settingsFile},
                  ChildProcess::ErrorOutput::Inherited,
                  {QStringLiteral("QT_QPA_PLATFORM=offscreen")}) {
        Process.OnOutput = [this] { Parse(); };
        Ready = WaitFor([this] { return Has(QStringLiteral("ready")); }, 20000);
    }
    ~PeerProcess() {
        Process.CloseWrite();       // the peer ends at once
        Process.WaitFinished(5000); // or is killed
    }

    void Command(QJsonObject cmd) {
        Process.Write(QJsonDocument(cmd).toJson(QJsonDocument::Compact) + '\n');
    }
    void Command(const QString& name) { Command(QJsonObject{{QStringLiteral("cmd"), name}}); }

    QJsonObject State() {
        const int id = ++LastId;
        Command(QJsonObject{{QStringLiteral("cmd"), QStringLiteral("state")},
                            {QStringLiteral("id"), id}});
        QJsonObject found;
        WaitFor(
            [&] {
                for (const QJsonObject& e : Events) {
                    if (e.value(QStringLiteral("ev")).toString() == u"state" &&
                        e.value(QStringLiteral("id")).toInt() == id) {
                        found = e;
                        return true;
                    }
                }
                return false;
            },
            10000);
        return found;
    }
    // Waits until the state satisfies pred.
    bool WaitState(const std::function<bool(const QJsonObject&)>& pred, int timeoutMs = 10000) {
        return WaitFor([&] { return pred(State()); }, timeoutMs);
    }

    QStringList Messages() const {
        QStringList texts;
        for (const QJsonObject& e : Events) {
            if (e.value(QStringLiteral("ev")).toString() == u"msg")
                texts << e.value(QStringLiteral("text")).toString();
        }
        return texts;
    }
    bool WaitMessage(const QString& text, int timeoutMs = 10000) {
        return WaitFor([&] { return Messages().contains(text); }, timeoutMs);
    }
    bool Has(const QString& ev) const {
        for (const QJsonObject& e : Events) {
            if (e.value(QStringLiteral("ev")).toString() == ev) return true;
        }
        return false;
    }
    // CPU time the process has used so far, in clock ticks.
    qint64 CpuTicks() const {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(Process.ProcessId()));
        if (!stat.open(QIODevice::ReadOnly)) return -1;
        const QByteArray text = stat.readAll();
        // Fields after the command name, which ends with the last ')'.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return fields.value(11).toLongLong() + fields.value(12).toLongLong(); // utime + stime
    }

    bool Ready = false;
    std::vector<QJsonObject> Events;

private:
    void Parse() {
        qsizetype nl;
        while ((nl = Process.Out.indexOf('\n')) >= 0) {
            Events.push_back(QJsonDocument::fromJson(Process.Out.left(nl)).object());
            Process.Out.remove(0, nl + 1);
        }
    }

    ChildProcess Process;
    int LastId = 0;
};

// Two peers' settings files and receive folders in one temporary folder, and
// main window A on the first; the second peer's settings are SettingsB.
class TwoPeerTest : public testing::Test {
protected:
    void SetUp() override {
        // The program's routing of asynchronous socket errors.
        app::InitApplication(*static_cast<QApplication*>(QCoreApplication::instance()));
        ASSERT_TRUE(Dir.isValid());
        Port = FreePort();
        QDir().mkpath(InA());
        QDir().mkpath(InB());
        SettingsA = WriteSettingsFile(Dir.filePath(QStringLiteral("a")), Port, InA(),
                                      QStringLiteral("ありす"));
        SettingsB = WriteSettingsFile(Dir.filePath(QStringLiteral("b")), Port, InB(),
                                      QStringLiteral("ボブ"));
        A = std::make_unique<app::TMainForm>(SettingsA);
        A->show();
    }

    QString InA() const { return Dir.filePath(QStringLiteral("a/in")); }
    QString InB() const { return Dir.filePath(QStringLiteral("b/in")); }

    QTemporaryDir Dir;
    MessageRecorder Recorder;
    int Port = 0;
    QString SettingsA;
    QString SettingsB;
    std::unique_ptr<app::TMainForm> A;
};

} // namespace relvane::test
