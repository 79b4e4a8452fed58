#pragma once
// One run of relvane-cli, a terminal front end over the connection session:
// it listens or connects, then serves the connection until the work asked
// for is done, the peer leaves, an error ends it or a signal comes. Every
// wait is a state that a session signal, a timer, standard input or a signal
// ends; nothing here runs a nested event loop.

#include "cli/options.h"
#include "cli/terminal.h"
#include "discovery/responder.h"
#include "session/session.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <optional>

class QSocketNotifier;

namespace relvane::cli {

class CliPeer : public QObject {
    Q_OBJECT
public:
    explicit CliPeer(Options options, QObject* parent = nullptr);
    ~CliPeer() override;

    // Runs to the end and returns the exit code. Needs a QCoreApplication,
    // whose event loop it runs.
    int Run();

private:
    // The receive folder and the files to send, checked before any connection.
    [[nodiscard]] bool Prepare();
    void WatchSignals();
    void SignalArrived();
    void StartWait(qint64 ms, const QString& expiredText);
    void WaitExpired();

    // The session's signals.
    void HandshakeStarted();
    void PeerDropped();
    void Connected();
    // The files given go, once (see Connected).
    void SendList();
    static constexpr int OfferWaitMs = 1000;
    void AttemptEnded(const QString& text);
    void ConnectionLost();
    void Failure(ErrorKind kind, const QString& text);
    void ListStarted(relvane::Direction direction, int count, const QStringList& files);
    void FileStarted(relvane::Direction direction, const FileStart& file);
    void ListEnded(relvane::Direction direction, const ListEnd& end);
    // The peer's name as shown; says once when it had to be cut.
    QString PeerLabel();

    void ReadStdin();
    void ReportProgress();
    void CheckDone();
    [[nodiscard]] bool SomethingToWaitFor() const;
    // Ends the event loop; a failure wins over success.
    void Finish(int code);
    void Fail(const QString& message);
    // Prints a message once, however often it is reported.
    void Report(const QString& message);
    [[nodiscard]] int FinalCode() const;

    Options Opts;
    QString ReceiveDir;
    QStringList SendPaths;
    Session FSession;
    // Answers "探す" while this copy waits as a server with no peer yet.
    discovery::Responder Answerer;

    QTimer WaitTimer; // --timeout while the peer, the connection or the handshake is awaited
    QString WaitText;
    QDeadlineTimer PeerDeadline; // --listen: for a usable peer, across dropped ones
    QSocketNotifier* SignalNotifier = nullptr;
    QSocketNotifier* StdinNotifier = nullptr;
    LineSplitter StdinLines;
    bool StdinClosed = false;
    QTimer ProgressTimer;
    QString SendingName;
    QString ReceivingName;
    QElapsedTimer SendStarted;
    QElapsedTimer RecvStarted;

    bool IsConnected = false; // the handshake completed
    bool Finishing = false;
    bool SendActive = false;
    bool RecvActive = false;
    bool ListWasSent = false;
    int ListsReceived = 0;
    bool AnyError = false;
    bool SendCancelled = false;
    bool RecvCancelled = false;
    bool RecvCountTold = false;
    bool ListRequested = false;
    int SentCount = 0; // files in the list sent
    bool NameCutTold = false;
    int Signal = 0;
    QStringList Reported;
    std::optional<int> ExitCode;
};

} // namespace relvane::cli
