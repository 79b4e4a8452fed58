#include "cli/cli_peer.h"

#include "protocol/progress.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace relvane::cli {

namespace {

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
    for (const int sig : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    return true;
}

QString Human(qint64 bytes) {
    if (bytes < 10 * 1024) return QStringLiteral("%1 B").arg(bytes);
    if (bytes < 10 * 1024 * 1024) return QStringLiteral("%1 KiB").arg(bytes / 1024);
    return QStringLiteral("%1 MiB").arg(bytes / (1024 * 1024));
}

QString Seconds(const QElapsedTimer& since) {
    return QString::number(since.isValid() ? since.elapsed() / 1000.0 : 0.0, 'f', 2);
}

// A UTF-8 line this long holds more than one chat frame can carry in
// Shift-JIS (at most 4 bytes a character here, at least 1 there), so the
// session's cut, not this one, decides what is sent.
constexpr qsizetype MaxStdinLine = 4 * qsizetype{16 * 1024 * 1024};

} // namespace

CliPeer::CliPeer(Options options, QObject* parent)
    : QObject(parent), Opts(std::move(options)), Answerer(Opts.Port, Opts.UserName),
      StdinLines(MaxStdinLine) {
    WaitTimer.setSingleShot(true);
    connect(&WaitTimer, &QTimer::timeout, this, &CliPeer::WaitExpired);
    connect(&ProgressTimer, &QTimer::timeout, this, &CliPeer::ReportProgress);

    Session* s = &FSession;
    connect(s, &Session::stateChanged, this, [this](SessionState state) {
        if (Opts.Discovery) Answerer.SetActive(state == SessionState::Listening);
    });
    connect(s, &Session::handshakeStarted, this, &CliPeer::HandshakeStarted);
    connect(s, &Session::peerDropped, this, &CliPeer::PeerDropped);
    connect(s, &Session::connected, this, &CliPeer::Connected);
    connect(s, &Session::attemptEnded, this,
            [this](ErrorKind, const QString& text) { AttemptEnded(text); });
    connect(s, &Session::connectionLost, this, &CliPeer::ConnectionLost);
    connect(s, &Session::failure, this, &CliPeer::Failure);
    connect(s, &Session::socketError, this,
            [this](const ESocketError& error) { Fail(OwnText(error.Message())); });
    connect(s, &Session::chatReceived, this, [this](const QString&, const QString& text) {
        Out(PeerLabel() + QStringLiteral(": ") + TerminalSafe(text));
    });
    connect(s, &Session::listStarted, this, &CliPeer::ListStarted);
    connect(s, &Session::fileStarted, this, &CliPeer::FileStarted);
    connect(s, &Session::fileEnded, this,
            [](relvane::Direction direction, int, const QString& path) {
                if (direction == relvane::Direction::Receive)
                    Note(QStringLiteral("received %1").arg(TerminalSafe(path)));
            });
    connect(s, &Session::listEnded, this, &CliPeer::ListEnded);
    connect(s, &Session::fileVerified, this,
            [this](relvane::Direction, int, const QString& path, const QString& digest) {
                if (Opts.Verbose) Out(digest + QStringLiteral("  ") + TerminalSafe(path));
            });
}

QString CliPeer::PeerLabel() {
    bool cut = false;
    const QString shown = ShownPeerName(FSession.PeerName(), &cut);
    if (cut && !NameCutTold) {
        NameCutTold = true;
        Note(QStringLiteral("relvane-cli: the peer's name is %1 characters long; shown cut")
                 .arg(FSession.PeerName().size()));
    }
    return shown;
}

void CliPeer::ListStarted(relvane::Direction direction, int count, const QStringList&) {
    if (direction == relvane::Direction::Send) {
        SendActive = true;
        SentCount = count;
        SendStarted.start();
        Note(QStringLiteral("sending %1 file(s)").arg(count));
    } else {
        RecvActive = true;
        RecvCountTold = false;
        RecvStarted.start();
    }
}

void CliPeer::FileStarted(relvane::Direction direction, const FileStart& file) {
    if (direction == relvane::Direction::Send) {
        SendingName = TerminalSafe(QFileInfo(file.Name).fileName());
        if (Opts.Verbose) Note(QStringLiteral("sending %1").arg(TerminalSafe(file.Name)));
        return;
    }
    if (!std::exchange(RecvCountTold, true))
        Note(QStringLiteral("receiving %1 file(s) into %2").arg(file.Count).arg(ReceiveDir));
    ReceivingName = TerminalSafe(file.Name);
    if (Opts.Verbose) Note(QStringLiteral("receiving %1").arg(ReceivingName));
}

void CliPeer::ListEnded(relvane::Direction direction, const ListEnd& end) {
    const bool sending = direction == relvane::Direction::Send;
    (sending ? SendActive : RecvActive) = false;
    if (end.Result == Outcome::Done) {
        if (sending) {
            ListWasSent = true;
            Note(QStringLiteral("the peer accepted all %1 file(s) (%2 s)")
                     .arg(SentCount)
                     .arg(Seconds(SendStarted)));
        } else {
            ++ListsReceived;
            Note(QStringLiteral("list received (%1 s)").arg(Seconds(RecvStarted)));
        }
        CheckDone();
        return;
    }
    // Whatever else ended the list fails this run; the connection may stay
    // for the rest of the work.
    Report(OwnText(end.Text));
    if (sending && !FSession.Undelivered().isEmpty()) {
        Note(QStringLiteral("送信できなかったファイル:"));
        for (const QString& path : FSession.Undelivered())
            Note(QStringLiteral("  ") + TerminalSafe(path));
    }
    AnyError = true;
    (sending ? SendCancelled : RecvCancelled) = true;
    if (end.ConnectionKept) CheckDone();
}

CliPeer::~CliPeer() {
    // The session's own end may still dispatch events; none reaches a half-destroyed peer.
    disconnect(&FSession, nullptr, this, nullptr);
}

int CliPeer::Run() {
    std::signal(SIGPIPE, SIG_IGN);
    if (!Prepare()) return ExitFailure;
    WatchSignals();
    SessionSettings settings;
    settings.UserName = Opts.UserName;
    settings.UseCompress = Opts.Compress;
    settings.UseResume = Opts.Resume;
    settings.ReceiveFolder = ReceiveDir;
    settings.CompressionThreads = Opts.CompressionThreads;
    settings.Extensions = Opts.Extensions;
    FSession.SetSettings(settings);
    FSession.SetHandshakeLimitMs(Opts.AnswerTimeoutSeconds * 1000);
    // A first connection that fails the handshake is dropped like a probe.
    FSession.SetServeNextAfterFailedHandshake(true);

    const qint64 limitMs = qint64{Opts.TimeoutSeconds} * 1000;
    try {
        FSession.SetPort(Opts.Port);
        if (Opts.Role == Options::Mode::Listen) {
            FSession.Listen(); // throws when the port cannot be used
            Note(QStringLiteral("接続を待っています・・・"));
            PeerDeadline = QDeadlineTimer(Opts.TimeoutSeconds == 0 ? -1 : limitMs);
            StartWait(limitMs, QStringLiteral("relvane-cli: no peer connected within %1 s")
                                   .arg(Opts.TimeoutSeconds));
        } else {
            Note(QStringLiteral("サーバーに接続中・・・"));
            FSession.Connect(Opts.Address);
            StartWait(
                limitMs,
                QStringLiteral("relvane-cli: no connection within %1 s").arg(Opts.TimeoutSeconds));
        }
    } catch (const std::exception& e) {
        Fail(OwnText(QString::fromUtf8(e.what())));
    }

    if (!Finishing) QCoreApplication::exec();
    // Every way out: the notice to a peer still connected, the workers stopped.
    FSession.Shutdown();
    if (FSession.RunningWorkers() > 0) {
        // Destroying a running thread would crash; leave without it.
        Note(QStringLiteral("relvane-cli: the connection worker did not stop"));
        std::fflush(stdout);
        ::_exit(ExitFailure);
    }
    return FinalCode();
}

bool CliPeer::Prepare() {
    const QFileInfo dir(Opts.ReceiveDir.isEmpty() ? QDir::currentPath() : Opts.ReceiveDir);
    if (!dir.isDir()) {
        Note(QStringLiteral("relvane-cli: receive folder %1 does not exist").arg(dir.filePath()));
        return false;
    }
    ReceiveDir = dir.absoluteFilePath();

    // A typo, or a list the peer would refuse, fails before any connection.
    for (const QString& f : Opts.Files)
        SendPaths << QFileInfo(f).absoluteFilePath();
    if (!SendPaths.isEmpty()) {
        // The peer is not known yet: what a copy of this program would take
        // passes here; the list is checked again for the peer at hand.
        if (const QString refusal = FSession.CheckFiles(SendPaths, Opts.Extensions);
            !refusal.isEmpty()) {
            Note(OwnText(refusal));
            return false;
        }
        if (const QString notice = Session::NameNotice(SendPaths); !notice.isEmpty())
            Note(OwnText(notice));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Waiting, signals, the end

void CliPeer::WatchSignals() {
    if (!InstallSignalPipe()) return;
    SignalNotifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
    connect(SignalNotifier, &QSocketNotifier::activated, this, &CliPeer::SignalArrived);
}

void CliPeer::SignalArrived() {
    char c = 0;
    while (::read(SignalPipe[0], &c, 1) == 1) {
        if (!Signal) Signal = static_cast<unsigned char>(c);
    }
    if (Finishing) return;
    Note(CancelledText());
    // Run() disconnects once the loop has ended.
    Finish(ExitFailure);
}

void CliPeer::StartWait(qint64 ms, const QString& expiredText) {
    WaitText = expiredText;
    if (Opts.TimeoutSeconds == 0) return;
    WaitTimer.start(static_cast<int>(std::max<qint64>(0, ms)));
}

void CliPeer::WaitExpired() {
    if (IsConnected || Finishing) return;
    Fail(WaitText);
}

void CliPeer::HandshakeStarted() {
    Note(QStringLiteral("接続情報チェック中・・・"));
    StartWait(qint64{Opts.TimeoutSeconds} * 1000,
              QStringLiteral("relvane-cli: the handshake did not complete within %1 s")
                  .arg(Opts.TimeoutSeconds));
}

void CliPeer::PeerDropped() {
    Note(QStringLiteral("relvane-cli: the peer left or did not answer before the handshake "
                        "completed; waiting for the next one"));
    // Dropped peers do not prolong the wait for a usable one.
    StartWait(
        PeerDeadline.remainingTime(),
        QStringLiteral("relvane-cli: no peer connected within %1 s").arg(Opts.TimeoutSeconds));
}

void CliPeer::Connected() {
    WaitTimer.stop();
    IsConnected = true;
    Note(QStringLiteral("connected: peer \"%1\" at %2, compression %3, resume %4")
             .arg(PeerLabel(), FSession.PeerAddress(), FSession.CompressOn() ? u"on" : u"off",
                  FSession.ResumeOn() ? u"on" : u"off"));

    if (::fcntl(0, F_GETFD) != -1) {
        StdinNotifier = new QSocketNotifier(0, QSocketNotifier::Read, this);
        connect(StdinNotifier, &QSocketNotifier::activated, this, &CliPeer::ReadStdin);
    } else {
        StdinClosed = true;
    }
    if (Opts.Verbose || ::isatty(2)) ProgressTimer.start(500);
    // A copy of this program offers its extensions right after the
    // handshake: the list waits for that offer, briefly, so it can keep its
    // folders and sizes; any other peer gets it as it always did.
    if (!SendPaths.isEmpty() && Opts.Extensions && FSession.Agreed() == 0) {
        connect(&FSession, &Session::capabilitiesAgreed, this, &CliPeer::SendList,
                Qt::SingleShotConnection);
        QTimer::singleShot(OfferWaitMs, this, &CliPeer::SendList);
        return;
    }
    SendList();
}

void CliPeer::SendList() {
    if (ListRequested || Finishing || !IsConnected) return;
    ListRequested = true;
    if (!SendPaths.isEmpty()) {
        Note(QStringLiteral("asking the peer to take %1 file(s)").arg(SendPaths.size()));
        try {
            FSession.SendFiles(SendPaths);
        } catch (const Error& e) {
            Fail(OwnText(e.Message()));
            return;
        }
    }
    CheckDone();
}

void CliPeer::AttemptEnded(const QString& text) {
    if (Finishing) return;
    Fail(OwnText(text));
}

void CliPeer::ConnectionLost() {
    if (Finishing) return;
    Note(QStringLiteral("切断しました"));
    // What the work asked for decides the code (FinalCode).
    Finish(ExitOk);
}

void CliPeer::Failure(ErrorKind, const QString& text) {
    // The lists under way have ended already; the connection has too.
    Fail(OwnText(text));
}

void CliPeer::Finish(int code) {
    if (!ExitCode || (*ExitCode == ExitOk && code != ExitOk)) ExitCode = code;
    if (Finishing) return;
    Finishing = true;
    WaitTimer.stop();
    ProgressTimer.stop();
    if (StdinNotifier) StdinNotifier->setEnabled(false);
    QCoreApplication::exit(code);
}

void CliPeer::Report(const QString& message) {
    if (Reported.contains(message)) return;
    Note(message);
    Reported << message;
}

void CliPeer::Fail(const QString& message) {
    Report(message);
    AnyError = true;
    Finish(ExitFailure);
}

int CliPeer::FinalCode() const {
    if (Signal) return 128 + Signal;
    int code = ExitCode.value_or(ExitOk);
    if (AnyError) code = ExitFailure;
    if (!IsConnected) code = ExitFailure;
    if (!SendPaths.isEmpty() && !ListWasSent) code = ExitFailure;
    if (Opts.QuitAfterReceive && ListsReceived == 0) code = ExitFailure;
    if (RecvActive || SendActive) code = ExitFailure; // a list was cut off
    return code;
}

// ---------------------------------------------------------------------------
// Standard input and progress

void CliPeer::ReadStdin() {
    char buffer[65536];
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // At the end of input (or an error reading it) the last unterminated line still goes.
    const QStringList lines =
        n > 0 ? StdinLines.Feed(QByteArrayView(buffer, n)) : StdinLines.Finish();
    for (const QString& line : lines) {
        if (!line.isEmpty()) FSession.SendChat(line);
    }
    if (n > 0) return;
    StdinNotifier->setEnabled(false);
    StdinClosed = true;
    CheckDone();
}

void CliPeer::ReportProgress() {
    const std::shared_ptr<TransferProgress> progress = FSession.Progress();
    if (!progress) return;
    const auto line = [](const QString& what, const QString& name, qint64 done, qint64 total,
                         qint64 heldBefore) {
        const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
        const QString file =
            heldBefore > 0
                ? QStringLiteral("resuming %1 at %2 (%3)").arg(name, Human(heldBefore), what)
                : QStringLiteral("%1 %2").arg(what, name);
        return QStringLiteral("%1: %2 of %3 (%4%)")
            .arg(file, Human(done), Human(total))
            .arg(percent);
    };
    // Before a resumed file moves, each side reads through the part the
    // receiver holds (its name is told once that is done).
    const auto checked = [](const char* who, qint64 done, qint64 total) {
        return QStringLiteral("checking the part %1 holds: %2 of %3 (%4%)")
            .arg(QLatin1String(who), Human(done), Human(total))
            .arg(static_cast<int>(done * 100 / total));
    };
    if (const qint64 total = progress->SendCheckTotal.load(); SendActive && total > 0) {
        Note(checked("the peer", progress->SendChecked.load(), total));
    } else if (SendActive) {
        Note(line(QStringLiteral("sending"), SendingName, progress->SendDone.load(),
                  progress->SendTotal.load(), progress->SendResumedBytes.load()));
    }
    if (const qint64 total = progress->RecvCheckTotal.load(); RecvActive && total > 0) {
        Note(checked("this side", progress->RecvChecked.load(), total));
    } else if (RecvActive) {
        Note(line(QStringLiteral("receiving"), ReceivingName, progress->RecvDone.load(),
                  progress->RecvTotal.load(), progress->RecvResumedBytes.load()));
    }
}

bool CliPeer::SomethingToWaitFor() const {
    if (SendActive || RecvActive) return true;
    if (!SendPaths.isEmpty() && !ListWasSent && !SendCancelled) return true;
    if (Opts.QuitAfterReceive && ListsReceived == 0 && !RecvCancelled) return true;
    return false;
}

void CliPeer::CheckDone() {
    if (!IsConnected || Finishing) return;
    // What the command line asked for can no longer happen.
    if (Opts.QuitAfterSend && SendCancelled) return Finish(ExitFailure);
    if (Opts.QuitAfterReceive && RecvCancelled && ListsReceived == 0) return Finish(ExitFailure);

    const bool sent = SendPaths.isEmpty() || ListWasSent;
    const bool received = ListsReceived > 0;
    if ((Opts.QuitAfterSend || Opts.QuitAfterReceive) && (!Opts.QuitAfterSend || sent) &&
        (!Opts.QuitAfterReceive || received)) {
        return Finish(ExitOk);
    }
    if (StdinClosed && !SomethingToWaitFor()) Finish(ExitOk);
}

} // namespace relvane::cli
