#pragma once
// The headless peer: command-line options, the worker host for a terminal,
// and the listen/connect logic around the same engine as the desktop program.

#include "protocol/host.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

class QEventLoop;
class QSocketNotifier;
class QTimer;

namespace relvane {

class IConnection;
class TcpClient;
class TcpConnection;
class ConnectionWorker;
class TcpServer;
struct TransferProgress;

namespace cli {

// Exit codes.
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1; // anything that went wrong at run time
constexpr int ExitUsage = 2;   // the command line itself

struct Options {
    enum class Mode { Unset, Listen, Connect };
    Mode Role = Mode::Unset;
    QString Address; // --connect: IPv4 dotted quad
    int Port = 2010;
    QString UserName = QStringLiteral("NoName");
    QString ReceiveDir; // empty: the current directory
    bool Compress = true;
    bool Resume = true;
    QStringList Files;
    bool QuitAfterSend = false;
    bool QuitAfterReceive = false;
    int TimeoutSeconds = 30; // 0: no limit
    bool Verbose = false;
    bool Help = false;
};

struct ParseResult {
    Options Opts;
    QString Error; // empty when the command line is usable
};

// args without the program name.
[[nodiscard]] ParseResult ParseOptions(const QStringList& args);
[[nodiscard]] QString HelpText(const QString& program);
// Strict IPv4 dotted quad: four decimal numbers 0-255.
[[nodiscard]] bool IsDottedQuad(const QString& text);

// One run of the program: connects (or waits for the peer), then serves the
// connection until the work asked for is done, the peer leaves or an error
// ends it. Lives on the main thread; the worker's host calls arrive here.
class CliPeer : public QObject, public IWorkerHost {
    Q_OBJECT
public:
    explicit CliPeer(Options options, QObject* parent = nullptr);
    ~CliPeer() override;

    // Runs to the end and returns the exit code. Needs a QCoreApplication.
    int Run();

    // IWorkerHost
    QObject* UiContext() override { return this; }
    QString UserName() override { return Opts.UserName; }
    bool UseCompress() override { return Opts.Compress; }
    bool UseResume() override { return Opts.Resume; }
    QString ReceiveFolder() override { return ReceiveDir; }
    ConnectStage Stage() override { return static_cast<ConnectStage>(StageNo.load()); }
    void SetStage(ConnectStage stage) override { StageNo.store(static_cast<int>(stage)); }
    void SetHandshakeFailed() override { HandshakeFailed.store(true); }
    void SetPeerName(const QString& name) override;
    QString PeerName() override;
    void ShowChat(const QString& peerName, const QString& text) override;
    void ShowError(const Error& error) override;
    void ShowRecvWindow() override;
    void HideRecvWindow() override;
    void ShowRecvCount(int fileCount) override;
    void ShowRecvName(const QString& name) override;
    void ShowSendWindow(const QStringList& files) override;
    void ShowSendName(const QString& path) override;
    void HideSendWindow() override;
    void EnableSend() override {}
    void FileReceived(const QString& path) override;
    void ListSent() override;
    void ListReceived() override;

private:
    enum class Direction { None, Send, Receive };

    // Empty when the files may be sent, else the reason they may not.
    [[nodiscard]] static QString CheckFilesToSend(const QStringList& files);
    void Open();
    void WaitConnected();
    void Connected();
    void Shutdown();
    void StartWorker(const std::shared_ptr<TcpConnection>& socket, int side);
    void PeerClosed(const std::shared_ptr<TcpConnection>& socket);
    void DrainBeforeClose(const std::shared_ptr<TcpConnection>& socket);
    void WorkerFinished();
    void ReadStdin();
    void SendChatLine(const QString& line);
    void ReportProgress();
    void CheckDone();
    bool SomethingToWaitFor() const;
    // Ends the connected phase; the first code given wins over later ones
    // except that a failure always overrides success.
    void Finish(int code);
    void Fail(const QString& message);
    [[nodiscard]] int FinalCode() const;
    // Blocks until an event arrives or timeoutMs passed, dispatching events.
    // Throws when a failure or the deadline ended the wait.
    void DispatchEvents(int timeoutMs);

    Options Opts;
    QString ReceiveDir;
    QStringList SendFiles;

    std::unique_ptr<TcpServer> Server;
    std::unique_ptr<TcpClient> Client;
    std::shared_ptr<TcpConnection> Socket; // the one connection in use
    std::unique_ptr<ConnectionWorker> Worker;
    std::shared_ptr<TransferProgress> Progress;

    std::atomic<int> StageNo{0};
    std::atomic<bool> HandshakeFailed{false};
    mutable std::mutex PeerLock;
    QString Peer;

    QSocketNotifier* StdinNotifier = nullptr;
    QByteArray StdinBuffer;
    bool StdinClosed = false;
    QTimer* ProgressTimer = nullptr;
    QString SendingName;
    QString ReceivingName;

    bool IsConnected = false; // stage 4 was reached
    bool Finishing = false;
    bool PeerGone = false;
    bool WorkerEnded = false;
    bool SendActive = false;
    bool RecvActive = false;
    bool ListWasSent = false;
    int ListsReceived = 0;
    bool AnyError = false;
    bool SendCancelled = false;
    bool RecvCancelled = false;
    Direction LastHidden = Direction::None; // the transfer a cancel belongs to
    int Signal = 0;
    QStringList Reported; // failures already printed
    QElapsedTimer SendStarted;
    QElapsedTimer RecvStarted;
    QEventLoop* Loop = nullptr;
    std::optional<int> ExitCode;
    QString PendingFailure; // a failure seen while waiting to connect
    QDeadlineTimer Deadline;
    QString DeadlineText;
};

} // namespace cli
} // namespace relvane
