#include "cli/cli_peer.h"

#include "net/socket.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/sendlist.h"
#include "protocol/worker.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace relvane::cli {

// ---------------------------------------------------------------------------
// Options

namespace {

bool ParseInt(const QString& text, int min, int max, int& out) {
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (!ok || v < min || v > max || text.startsWith(u'+')) return false;
    out = v;
    return true;
}

} // namespace

bool IsDottedQuad(const QString& text) {
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4) return false;
    for (const QString& p : parts) {
        if (p.isEmpty() || p.size() > 3) return false;
        for (QChar c : p) {
            if (c < u'0' || c > u'9') return false;
        }
        if (p.toInt() > 255) return false;
    }
    return true;
}

ParseResult ParseOptions(const QStringList& args) {
    ParseResult r;
    Options& o = r.Opts;
    bool sawListen = false;
    bool sawConnect = false;
    bool onlyFiles = false;

    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (onlyFiles || arg == u"-" || !arg.startsWith(u'-')) {
            o.Files << arg;
            continue;
        }
        if (arg == u"--") {
            onlyFiles = true;
            continue;
        }
        if (arg == u"-h" || arg == u"--help") {
            o.Help = true;
            continue;
        }
        if (arg == u"-v") {
            o.Verbose = true;
            continue;
        }
        if (!arg.startsWith(u"--")) {
            r.Error = QStringLiteral("unknown option %1").arg(arg);
            return r;
        }

        QString name = arg.mid(2);
        std::optional<QString> inlineValue;
        if (const qsizetype eq = name.indexOf(u'='); eq >= 0) {
            inlineValue = name.mid(eq + 1);
            name.truncate(eq);
        }
        const auto value = [&](QString& out) {
            if (inlineValue) {
                out = *inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                r.Error = QStringLiteral("--%1 needs a value").arg(name);
                return false;
            }
            out = args[++i];
            return true;
        };
        const auto flag = [&](bool& target, bool setting) {
            if (inlineValue) {
                r.Error = QStringLiteral("--%1 takes no value").arg(name);
                return false;
            }
            target = setting;
            return true;
        };

        QString v;
        if (name == u"listen") {
            bool dummy = false;
            if (!flag(dummy, true)) return r;
            sawListen = true;
        } else if (name == u"connect") {
            if (!value(v)) return r;
            if (!IsDottedQuad(v)) {
                r.Error =
                    QStringLiteral("--connect needs an IPv4 address such as 192.168.0.5, not '%1'")
                        .arg(v);
                return r;
            }
            o.Address = v;
            sawConnect = true;
        } else if (name == u"port") {
            if (!value(v)) return r;
            if (!ParseInt(v, 1, 65535, o.Port)) {
                r.Error = QStringLiteral("--port needs a number from 1 to 65535, not '%1'").arg(v);
                return r;
            }
        } else if (name == u"name") {
            if (!value(v)) return r;
            o.UserName = v;
        } else if (name == u"recv-dir") {
            if (!value(v)) return r;
            if (v.isEmpty()) {
                r.Error = QStringLiteral("--recv-dir needs a folder");
                return r;
            }
            o.ReceiveDir = v;
        } else if (name == u"timeout") {
            if (!value(v)) return r;
            if (!ParseInt(v, 0, 24 * 3600, o.TimeoutSeconds)) {
                r.Error =
                    QStringLiteral("--timeout needs a number of seconds from 0 to 86400, not '%1'")
                        .arg(v);
                return r;
            }
        } else if (name == u"compress") {
            if (!flag(o.Compress, true)) return r;
        } else if (name == u"no-compress") {
            if (!flag(o.Compress, false)) return r;
        } else if (name == u"resume") {
            if (!flag(o.Resume, true)) return r;
        } else if (name == u"no-resume") {
            if (!flag(o.Resume, false)) return r;
        } else if (name == u"quit-after-send") {
            if (!flag(o.QuitAfterSend, true)) return r;
        } else if (name == u"quit-after-receive") {
            if (!flag(o.QuitAfterReceive, true)) return r;
        } else if (name == u"verbose") {
            if (!flag(o.Verbose, true)) return r;
        } else {
            r.Error = QStringLiteral("unknown option --%1").arg(name);
            return r;
        }
    }

    if (o.Help) return r;
    if (sawListen && sawConnect) {
        r.Error = QStringLiteral("--listen and --connect exclude each other");
    } else if (!sawListen && !sawConnect) {
        r.Error = QStringLiteral("say --listen or --connect ADDRESS");
    } else if (o.QuitAfterSend && o.Files.isEmpty()) {
        r.Error = QStringLiteral("--quit-after-send needs files to send");
    }
    o.Role = sawListen ? Options::Mode::Listen : Options::Mode::Connect;
    return r;
}

QString HelpText(const QString& program) {
    return QStringLiteral(
               "Usage: %1 (--listen | --connect ADDRESS) [options] [FILE...]\n"
               "\n"
               "Headless TCP/IP Relvane peer: sends files to and receives files from\n"
               "another peer (this program or the desktop program) over one TCP\n"
               "connection, and chats: each line read from standard input is sent as a\n"
               "chat line, each line from the peer is printed on standard output as\n"
               "\"name: text\". Progress and messages go to standard error.\n"
               "\n"
               "  --listen              wait for the peer on the port (drives the handshake)\n"
               "  --connect ADDRESS     connect to the peer at this IPv4 address (dotted quad)\n"
               "  --port N              TCP port, 1-65535 (default 2010)\n"
               "  --name NAME           user name shown to the peer (default NoName)\n"
               "  --recv-dir DIR        folder for received files (default: current folder)\n"
               "  --compress            ask for compressed blocks (default)\n"
               "  --no-compress         do not compress; off for the connection if either\n"
               "                        side says so\n"
               "  --resume              continue partial files (default)\n"
               "  --no-resume           always send and receive whole files\n"
               "  --quit-after-send     quit once the peer has accepted the files given\n"
               "  --quit-after-receive  quit once one list of files has been received\n"
               "                        (with both, quit when both have happened)\n"
               "  --timeout SECONDS     limit for waiting for the peer, connecting and the\n"
               "                        handshake (default 30; 0 waits without limit)\n"
               "  -v, --verbose         progress every half second also when standard\n"
               "                        error is not a terminal\n"
               "  -h, --help            this text\n"
               "  FILE...               files to send once connected (all in one list);\n"
               "                        put them after -- if a name starts with '-'\n"
               "\n"
               "Only the first peer is served; later ones are closed at once. The program\n"
               "ends when the peer disconnects, when a --quit-after condition is met, on\n"
               "Ctrl-C (it disconnects cleanly), or at the end of standard input if nothing\n"
               "is left to wait for: no --quit-after condition pending, no own files still\n"
               "unaccepted and no transfer running. Redirect standard input from a source\n"
               "that stays open to keep an idle peer connected.\n"
               "\n"
               "Exit status: 0 when everything asked for was done; 1 on any error (a\n"
               "failed connection or handshake, a transfer error or cancel, a list not\n"
               "delivered, the peer gone while a list was arriving); 2 for a bad command\n"
               "line; 128+N after signal N.\n")
        .arg(program);
}

// ---------------------------------------------------------------------------
// Terminal output

namespace {

void Note(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

void Out(const QString& text) {
    const QByteArray bytes = text.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

// Waits for the next event (or timeoutMs) and dispatches what arrived,
// without spinning: the timer's own event ends the wait at the latest.
void WaitForEvents(int timeoutMs) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.start(std::max(0, timeoutMs));
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Signals reach the event loop through a pipe: the handler only writes a byte.
int SignalPipe[2] = {-1, -1};

extern "C" void OnSignal(int sig) {
    const int saved = errno;
    const char c = static_cast<char>(sig);
    [[maybe_unused]] const auto n = ::write(SignalPipe[1], &c, 1);
    errno = saved;
}

bool InstallSignalPipe() {
    if (SignalPipe[0] >= 0) return true;
    if (::pipe2(SignalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    return true;
}

QString Human(qint64 bytes) {
    if (bytes < 10 * 1024) return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 10 * 1024 * 1024) return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
}

} // namespace

// ---------------------------------------------------------------------------
// The peer

CliPeer::CliPeer(Options options, QObject* parent) : QObject(parent), Opts(std::move(options)) {}

CliPeer::~CliPeer() {
    SetSocketErrorHandler(nullptr);
    if (Worker && Worker->isRunning()) {
        // Run() always stops the worker; this only guards an early exception.
        Worker->RequestTerminate();
        while (!Worker->wait(50))
            WaitForEvents(10);
    }
}

void CliPeer::SetPeerName(const QString& name) {
    std::lock_guard g(PeerLock);
    Peer = name;
}

QString CliPeer::PeerName() {
    std::lock_guard g(PeerLock);
    return Peer;
}

int CliPeer::Run() {
    std::signal(SIGPIPE, SIG_IGN);

    // Receive folder: must exist; the worker joins names to it.
    const QFileInfo dir(Opts.ReceiveDir.isEmpty() ? QDir::currentPath() : Opts.ReceiveDir);
    if (!dir.isDir()) {
        Note(QStringLiteral("relvane-cli: receive folder %1 does not exist").arg(dir.filePath()));
        return ExitFailure;
    }
    ReceiveDir = dir.absoluteFilePath();
    if (!ReceiveDir.endsWith(u'/')) ReceiveDir += u'/';

    // Files to send: checked here so that a typo fails before connecting.
    for (const QString& f : Opts.Files) {
        const QFileInfo fi(f);
        if (!fi.exists()) {
            Note(QStringLiteral("relvane-cli: %1: no such file").arg(f));
            return ExitFailure;
        }
        if (!fi.isFile() || !fi.isReadable()) {
            Note(QStringLiteral("relvane-cli: %1: not a readable file").arg(f));
            return ExitFailure;
        }
        SendFiles << fi.absoluteFilePath();
    }
    if (const QString problem = CheckFilesToSend(SendFiles); !problem.isEmpty()) {
        Note(problem);
        return ExitFailure;
    }

    if (InstallSignalPipe()) {
        auto* n = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
        connect(n, &QSocketNotifier::activated, this, [this] {
            char c = 0;
            while (::read(SignalPipe[0], &c, 1) == 1) {
                if (!Signal) Signal = static_cast<unsigned char>(c);
            }
            Fail(QStringLiteral("中止しました"));
        });
    }
    SetSocketErrorHandler([this](const ESocketError& e) { Fail(e.Message()); });

    try {
        Open();
        WaitConnected();
        Connected();
        if (!Finishing) {
            QEventLoop loop;
            Loop = &loop;
            loop.exec();
            Loop = nullptr;
        }
    } catch (const std::exception& e) {
        const QString text = QString::fromUtf8(e.what());
        if (!Reported.contains(text)) Note(text);
        AnyError = true;
    }
    Shutdown();
    return FinalCode();
}

QString CliPeer::CheckFilesToSend(const QStringList& files) {
    return files.isEmpty() ? QString() : CheckSendList(files);
}

void CliPeer::Open() {
    if (Opts.Role == Options::Mode::Listen) {
        Server = std::make_unique<TcpServer>();
        Server->SetPort(Opts.Port);
        Server->OnAccept = [this](QObject*, const std::shared_ptr<TcpConnection>& s) {
            if (Socket || Finishing) {
                // One peer at a time: a second one is turned away at once.
                s->Close();
                return;
            }
            StartWorker(s, 0);
        };
        Server->OnClientDisconnect = [this](QObject*, const std::shared_ptr<TcpConnection>& s) {
            PeerClosed(s);
        };
        Server->SetActive(true); // throws when the port cannot be used
        Note(QStringLiteral("接続を待っています・・・"));
    } else {
        Client = std::make_unique<TcpClient>();
        Client->SetAddress(Opts.Address);
        Client->SetPort(Opts.Port);
        Client->OnConnect = [this](QObject*, const std::shared_ptr<TcpConnection>& s) {
            StartWorker(s, 1);
        };
        Client->OnDisconnect = [this](QObject*, const std::shared_ptr<TcpConnection>& s) {
            PeerClosed(s);
        };
        Note(QStringLiteral("サーバーに接続中・・・"));
        Client->SetActive(true);
    }
}

void CliPeer::WaitConnected() {
    StageWait wait;
    wait.Stage = [this] { return StageNo.load(); };
    wait.HandshakeFailed = [this] { return HandshakeFailed.load(); };
    wait.DispatchEvents = [this](int ms) { DispatchEvents(ms); };

    const auto limit = [this] {
        return Opts.TimeoutSeconds == 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                        : QDeadlineTimer(qint64(Opts.TimeoutSeconds) * 1000);
    };
    if (Opts.Role == Options::Mode::Listen) {
        Deadline = limit();
        DeadlineText =
            QStringLiteral("relvane-cli: no peer connected within %1 s").arg(Opts.TimeoutSeconds);
        WaitForStage(1, wait);
        Note(QStringLiteral("接続情報チェック中・・・"));
        Deadline = limit();
        DeadlineText = QStringLiteral("relvane-cli: the handshake did not complete within %1 s")
                           .arg(Opts.TimeoutSeconds);
        DriveHandshake(*Socket, Opts.UserName, Opts.Compress, Opts.Resume, wait);
    } else {
        Deadline = limit();
        DeadlineText =
            QStringLiteral("relvane-cli: no connection within %1 s").arg(Opts.TimeoutSeconds);
        WaitForStage(4, wait);
    }
    Deadline = QDeadlineTimer(QDeadlineTimer::Forever);
}

void CliPeer::DispatchEvents(int timeoutMs) {
    if (!PendingFailure.isEmpty()) throw EProtocolError(PendingFailure);
    if (PeerGone) throw EProtocolError(QStringLiteral("切断しました"));
    if (Deadline.hasExpired()) throw EProtocolError(DeadlineText);
    int wait = timeoutMs;
    if (!Deadline.isForever()) {
        wait = static_cast<int>(std::min<qint64>(wait, Deadline.remainingTime() + 1));
    }
    WaitForEvents(wait);
}

void CliPeer::StartWorker(const std::shared_ptr<TcpConnection>& socket, int side) {
    Socket = socket;
    Worker = std::make_unique<ConnectionWorker>(*this, socket, side);
    Progress = Worker->SharedProgress();
    connect(Worker.get(), &QThread::finished, this, &CliPeer::WorkerFinished, Qt::QueuedConnection);
    Worker->Start();
    StageNo.store(1);
}

void CliPeer::Connected() {
    IsConnected = true;
    Note(QStringLiteral("connected: peer \"%1\" at %2, compression %3, resume %4")
             .arg(PeerName(), Socket->PeerAddress(), Worker->CompressOn() ? u"on" : u"off",
                  Worker->ResumeOn() ? u"on" : u"off"));

    if (::fcntl(0, F_GETFD) != -1) {
        StdinNotifier = new QSocketNotifier(0, QSocketNotifier::Read, this);
        connect(StdinNotifier, &QSocketNotifier::activated, this, &CliPeer::ReadStdin);
    } else {
        StdinClosed = true;
    }
    if (Opts.Verbose || ::isatty(2)) {
        ProgressTimer = new QTimer(this);
        connect(ProgressTimer, &QTimer::timeout, this, &CliPeer::ReportProgress);
        ProgressTimer->start(500);
    }
    if (!SendFiles.isEmpty()) {
        Note(QStringLiteral("asking the peer to take %1 file(s)").arg(SendFiles.size()));
        Worker->RequestSend(SendFiles);
    }
    CheckDone();
}

void CliPeer::Shutdown() {
    Finishing = true;
    if (StdinNotifier) StdinNotifier->setEnabled(false);
    if (ProgressTimer) ProgressTimer->stop();

    if (Worker && PeerGone) {
        // The connection is closed: the worker ends by itself once it has
        // handled the frames it read before the close. A terminate request
        // now would drop them.
        QDeadlineTimer limit(5000);
        while (!Worker->isFinished() && !limit.hasExpired())
            WaitForEvents(20);
    }
    if (Socket && Socket->IsConnected() && Socket->WaitWritable(200)) {
        // The notice is a courtesy (peers ignore it): never wait on a peer
        // that has stopped reading.
        const QByteArray notice = DisconnectFrame();
        [[maybe_unused]] const int sent =
            Socket->SendBytes(notice.constData(), static_cast<int>(notice.size()));
    }
    if (Worker) Worker->RequestTerminate();
    // Server: closes the accepted connection without an event. Client: its
    // disconnect event runs inside and is ignored while finishing.
    if (Server) Server->SetActive(false);
    if (Client) Client->SetActive(false);

    if (Worker) {
        // The worker may be waiting for a host call on this thread.
        QDeadlineTimer limit(15000);
        while (!Worker->isFinished() && !limit.hasExpired())
            WaitForEvents(20);
        if (!Worker->isFinished()) {
            Note(QStringLiteral("relvane-cli: the connection worker did not stop"));
            std::fflush(stdout);
            ::_exit(ExitFailure);
        }
        Worker->wait();
        // Deliver the queued "finished" and any last host calls.
        QCoreApplication::processEvents();
        Worker.reset();
    }
    Server.reset();
    Client.reset();
}

void CliPeer::PeerClosed(const std::shared_ptr<TcpConnection>& socket) {
    if (!Socket || socket != Socket || Finishing || PeerGone) return;
    DrainBeforeClose(socket);
    PeerGone = true;
    if (IsConnected) Note(QStringLiteral("切断しました"));
    Finish(ExitOk);
}

// The peer's last frames (often the Ack that completes our list) may still
// wait unread when its close is noticed, and they go with the socket once
// this event returns. Let the worker read them first, for a bounded time.
void CliPeer::DrainBeforeClose(const std::shared_ptr<TcpConnection>& socket) {
    if (!Worker || Worker->isFinished()) return;
    QDeadlineTimer limit(2000);
    while (socket->BytesWaiting() > 0 && !Worker->isFinished() && !limit.hasExpired()) {
        WaitForEvents(5);
    }
}

void CliPeer::WorkerFinished() {
    WorkerEnded = true;
    if (Finishing) return;
    // The worker ends by itself after an error it reported, or when the
    // connection is gone.
    Finish(AnyError ? ExitFailure : ExitOk);
    if (!IsConnected && PendingFailure.isEmpty()) {
        PendingFailure = QStringLiteral("切断しました");
    }
}

void CliPeer::Finish(int code) {
    if (!ExitCode || (*ExitCode == ExitOk && code != ExitOk)) ExitCode = code;
    Finishing = true;
    if (Loop) Loop->exit(0);
}

void CliPeer::Fail(const QString& message) {
    if (!Reported.contains(message)) {
        Note(message);
        Reported << message;
    }
    AnyError = true;
    if (!IsConnected && PendingFailure.isEmpty()) PendingFailure = message;
    Finish(ExitFailure);
}

int CliPeer::FinalCode() const {
    if (Signal) return 128 + Signal;
    int code = ExitCode.value_or(ExitOk);
    if (AnyError) code = ExitFailure;
    if (!IsConnected) code = ExitFailure;
    if (!SendFiles.isEmpty() && !ListWasSent) code = ExitFailure;
    if (Opts.QuitAfterReceive && ListsReceived == 0) code = ExitFailure;
    if (RecvActive) code = ExitFailure; // a list was cut off while arriving
    return code;
}

// ---------------------------------------------------------------------------
// Chat and standard input

void CliPeer::ReadStdin() {
    char buffer[4096];
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n > 0) {
        StdinBuffer.append(buffer, n);
        qsizetype nl;
        while ((nl = StdinBuffer.indexOf('\n')) >= 0) {
            QByteArray line = StdinBuffer.left(nl);
            StdinBuffer.remove(0, nl + 1);
            if (line.endsWith('\r')) line.chop(1);
            SendChatLine(QString::fromLocal8Bit(line));
        }
        return;
    }
    // End of input (or an error reading it): the last unterminated line still goes.
    if (!StdinBuffer.isEmpty()) SendChatLine(QString::fromLocal8Bit(StdinBuffer));
    StdinBuffer.clear();
    StdinNotifier->setEnabled(false);
    StdinClosed = true;
    CheckDone();
}

void CliPeer::SendChatLine(const QString& line) {
    if (line.isEmpty() || !Socket || !Socket->IsConnected()) return;
    SendFrame(*Socket, ChatFrame(line));
}

void CliPeer::ShowChat(const QString& peerName, const QString& text) {
    Out(peerName + QStringLiteral(": ") + text);
}

// ---------------------------------------------------------------------------
// Transfers

void CliPeer::ShowError(const Error& error) {
    const QString text = error.Message();
    if (error.KeepsConnection()) {
        // A cancel keeps the connection. It is the peer's doing (this program
        // never cancels), and it ends whichever direction was hidden just
        // before it.
        Note(text);
        AnyError = true;
        if (LastHidden == Direction::Send) SendCancelled = true;
        if (LastHidden == Direction::Receive) RecvCancelled = true;
        LastHidden = Direction::None;
        CheckDone();
        return;
    }
    Fail(text);
}

void CliPeer::ShowRecvWindow() {
    RecvActive = true;
    RecvCancelled = false;
    RecvStarted.start();
}

void CliPeer::HideRecvWindow() {
    RecvActive = false;
    LastHidden = Direction::Receive;
}

void CliPeer::ShowRecvCount(int fileCount) {
    Note(QStringLiteral("receiving %1 file(s) into %2").arg(fileCount).arg(ReceiveDir));
}

void CliPeer::ShowRecvName(const QString& name) {
    ReceivingName = name;
    if (Opts.Verbose) Note(QStringLiteral("receiving %1").arg(name));
}

void CliPeer::ShowSendWindow(const QStringList& files) {
    SendActive = true;
    SendStarted.start();
    Note(QStringLiteral("sending %1 file(s)").arg(files.size()));
}

void CliPeer::ShowSendName(const QString& path) {
    SendingName = QFileInfo(path).fileName();
    if (Opts.Verbose) Note(QStringLiteral("sending %1").arg(path));
}

void CliPeer::HideSendWindow() {
    SendActive = false;
    LastHidden = Direction::Send;
}

void CliPeer::FileReceived(const QString& path) {
    Note(QStringLiteral("received %1").arg(path));
}

void CliPeer::ListSent() {
    ListWasSent = true;
    LastHidden = Direction::None;
    Note(QStringLiteral("the peer accepted all %1 file(s) (%2 s)")
             .arg(SendFiles.size())
             .arg(SendStarted.isValid() ? SendStarted.elapsed() / 1000.0 : 0.0, 0, 'f', 2));
    CheckDone();
}

void CliPeer::ListReceived() {
    ++ListsReceived;
    LastHidden = Direction::None;
    Note(QStringLiteral("list received (%1 s)")
             .arg(RecvStarted.isValid() ? RecvStarted.elapsed() / 1000.0 : 0.0, 0, 'f', 2));
    CheckDone();
}

void CliPeer::ReportProgress() {
    if (!Progress) return;
    const auto line = [](const QString& what, const QString& name, qint64 done, qint64 total) {
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        return QStringLiteral("%1 %2: %3 of %4 (%5%)")
            .arg(what, name, Human(done), Human(total))
            .arg(percent);
    };
    if (SendActive) {
        Note(line(QStringLiteral("sending"), SendingName, Progress->SendDone.load(),
                  Progress->SendTotal.load()));
    }
    if (RecvActive) {
        Note(line(QStringLiteral("receiving"), ReceivingName, Progress->RecvDone.load(),
                  Progress->RecvTotal.load()));
    }
}

bool CliPeer::SomethingToWaitFor() const {
    if (SendActive || RecvActive) return true;
    if (!SendFiles.isEmpty() && !ListWasSent && !SendCancelled) return true;
    if (Opts.QuitAfterReceive && ListsReceived == 0 && !RecvCancelled) return true;
    return false;
}

void CliPeer::CheckDone() {
    if (!IsConnected || Finishing) return;
    // What the command line asked for can no longer happen.
    if (Opts.QuitAfterSend && SendCancelled) return Finish(ExitFailure);
    if (Opts.QuitAfterReceive && RecvCancelled && ListsReceived == 0) return Finish(ExitFailure);

    const bool sent = SendFiles.isEmpty() || ListWasSent;
    const bool received = ListsReceived > 0;
    if ((Opts.QuitAfterSend || Opts.QuitAfterReceive) && (!Opts.QuitAfterSend || sent) &&
        (!Opts.QuitAfterReceive || received)) {
        return Finish(ExitOk);
    }
    if (StdinClosed && !SomethingToWaitFor()) Finish(ExitOk);
}

} // namespace relvane::cli
