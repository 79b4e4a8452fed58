#pragma once
// The main window: layout, menus, toolbar and actions, the settings it holds,
// and the connection manager that makes this copy a server or connects it,
// drives the listening side of the handshake and returns to idle when the
// connection ends. It is the worker's host for the desktop program.

#include "app/settings.h"
#include "platform/profile.h"
#include "protocol/host.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QMenuBar;
class QPushButton;
class QToolBar;

namespace relvane {
class IConnection;
class TcpClient;
class TcpConnection;
class TDropDst;
class TMessageForm;
class ConnectionWorker;
class TcpServer;
class TStatusForm;
struct StageWait;
struct TransferProgress;
} // namespace relvane

namespace relvane::app {

class THelpWindow;
class TWaitForm;

class TMainForm : public QWidget, public IWorkerHost {
    Q_OBJECT
public:
    // Reads the settings from `settingsFile` (FormCreate).
    explicit TMainForm(const QString& settingsFile, QWidget* parent = nullptr);
    // Writes the settings (FormDestroy) and ends a connection still in use.
    ~TMainForm() override;

    // ---- Layout: the window's members under their layout names.
    QMenuBar* MainMenu1 = nullptr;
    QWidget* ClientArea = nullptr; // below the menu: toolbar and panel
    QToolBar* ToolBar1 = nullptr;
    QWidget* Panel1 = nullptr;
    QLabel* Label4 = nullptr;
    QLineEdit* SelfIPEdit = nullptr;
    QPushButton* ServerBitBtn = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* IPEdit = nullptr;
    QPushButton* ConnectBitBtn = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* FileEdit = nullptr;
    QPushButton* BrowseButton = nullptr;
    QPushButton* SendButton = nullptr;

    QAction* ConnectAction = nullptr;
    QAction* ServerAction = nullptr;
    QAction* DisconnectAction = nullptr;
    QAction* ExitAction = nullptr;
    QAction* OptionAction = nullptr;
    QAction* HelpAction = nullptr;
    QAction* AboutAction = nullptr;
    QAction* MessageAction = nullptr;
    QAction* IPCopyAction = nullptr;
    QAction* SendAction = nullptr;
    QAction* T1 = nullptr; // "ツールバー(&T)"

    TcpServer* ServerSocket1 = nullptr;
    TcpClient* ClientSocket1 = nullptr;
    // Files dropped anywhere on the window become the files to send.
    TDropDst* DropDst1 = nullptr;

    // Owned windows, created hidden with the main window.
    TStatusForm* SendStatusForm = nullptr; // "送信状況表示"
    TStatusForm* RecvStatusForm = nullptr; // "受信状況表示"
    TMessageForm* MessageForm = nullptr;   // the chat window

    // ---- State.
    TSettings Settings; // the settings fields; ShowToolbar lives in T1's mark
    [[nodiscard]] bool Connected() const { return FConnected; }
    [[nodiscard]] bool HandshakeFailed() const { return FHandshakeFailed; }
    [[nodiscard]] const QString& OwnAddress() const { return FOwnAddress; }
    [[nodiscard]] int ClientHeight() const;
    [[nodiscard]] TWaitForm* WaitForm() const { return FWaitForm.get(); }
    [[nodiscard]] THelpWindow* HelpWindow() const;
    [[nodiscard]] const QString& SettingsFileName() const { return Profile.FileName(); }
    // The port of both endpoints. Setting it fails while the server listens.
    [[nodiscard]] int ListenPort() const;
    void SetListenPort(int port);
    // The worker of the connection in use, while there is one.
    [[nodiscard]] ConnectionWorker* Worker() const;
    // Counters and flags of the connection in use, for the status windows.
    [[nodiscard]] std::shared_ptr<TransferProgress> Progress() const { return FProgress; }

    // ---- Operations. Those named *Execute raise their failures; the actions
    // run them through RunGuarded, the application's default error display.
    void ServerActionExecute();
    void ConnectActionExecute();
    void DisconnectActionExecute();
    void ExitActionExecute();
    void OptionActionExecute();
    void HelpActionExecute();
    void AboutActionExecute();
    void MessageActionExecute();
    void IPCopyActionExecute();
    void SendActionExecute();
    void T1Click();
    void BrowseButtonClick();
    void DropDst1FileDrop(const QStringList& paths);
    void IPEditEnter();
    void IPEditChange();
    void FormActivate();
    // Opens the help window at a context number (1 contents, 5 connection).
    void OpenHelp(int context);

    // Connection manager.
    void ResetConnection();
    void ReturnToIdle();
    void AddAddressHistory(const QString& address);
    // The chat window's OnSend: echoes the typed line and sends it on the
    // connection in use, or adds the error line when there is none.
    void SendChatMessage();

    // Runs fn; a failure is shown by the application's default error display.
    void RunGuarded(const std::function<void()>& fn);

    // ---- IWorkerHost: the calls arrive on the user-interface thread.
    QObject* UiContext() override { return this; }
    QString UserName() override { return Settings.UserName; }
    bool UseCompress() override { return Settings.UseCompress; }
    bool UseResume() override { return Settings.UseResume; }
    QString ReceiveFolder() override { return Settings.ReceiveFolder; }
    ConnectStage Stage() override { return static_cast<ConnectStage>(FConnectStage); }
    void SetStage(ConnectStage stage) override { FConnectStage = static_cast<int>(stage); }
    [[nodiscard]] int ConnectStageNo() const { return FConnectStage; }
    void SetHandshakeFailed() override { FHandshakeFailed = true; }
    void SetPeerName(const QString& name) override { FPeerName = name; }
    QString PeerName() override { return FPeerName; }
    void ShowChat(const QString& peerName, const QString& text) override;
    void ShowError(const Error& error) override;
    void ShowRecvWindow() override;
    void HideRecvWindow() override;
    void ShowRecvCount(int fileCount) override;
    void ShowRecvName(const QString& name) override;
    QStringList SendList() { return FSendList; }
    void ShowSendWindow(const QStringList& files) override;
    void ShowSendName(const QString& path) override;
    void HideSendWindow() override;
    void EnableSend() override;

signals:
    // The window was closed (FormClose ran); the program ends its loop.
    void FormClosed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class THostLink;
    struct TWorkerEntry;

    void CreateActions();
    void CreateMenus();
    void CreateControls();
    void CreateSockets();
    void FormCreate();
    void RefreshFileEdit();

    // Waiting with the wait window.
    void BeginWait(const QString& message);
    void EndWait();
    [[nodiscard]] StageWait MakeStageWait(bool testFailure, std::function<void()> onCancel);
    void AbandonAttempt();
    void CancelServerAttempt();
    void CancelClientAttempt();
    void WaitForWorkersToEnd();
    void ShowConnected(const std::shared_ptr<TcpConnection>& connection);

    // The worker of the connection in use.
    void StartWorker(const std::shared_ptr<TcpConnection>& socket, int side);
    void StopWorker();
    void ReapWorker(ConnectionWorker* thread);
    [[nodiscard]] std::shared_ptr<TcpConnection> ConnectionInUse() const;

    // Socket events.
    void ServerSocket1Accept(const std::shared_ptr<TcpConnection>& socket);
    void ServerSocket1ClientDisconnect(const std::shared_ptr<TcpConnection>& socket);
    void ClientSocket1Connect(const std::shared_ptr<TcpConnection>& socket);
    void ClientSocket1Disconnect(const std::shared_ptr<TcpConnection>& socket);

    // The status windows read the counters of the connection in use; when
    // it ends they forget them and hide.
    void AttachStatusWindows(const std::shared_ptr<TransferProgress>& progress);
    void HideStatusWindows();
    [[nodiscard]] bool ChatWindowShowing() const;
    void SetChatWindowVisible(bool visible);

    TProfileFile Profile;
    QStringList FSendList;
    QString FOwnAddress;
    int FConnectStage = 0;
    bool FHandshakeFailed = false;
    bool FConnected = false;
    QString FPeerName;
    bool Destroying = false;
    bool SendingChat = false; // SendChatMessage runs (it dispatches events)

    // One peer at a time: set only while a server action waits for its peer.
    bool AwaitingPeer = false;
    // The connection in use: the peer accepted by ServerSocket1, or the
    // connection of ClientSocket1.
    std::shared_ptr<TcpConnection> ServerConnection;
    bool ClientInUse = false;

    // Every worker still running; the one of the connection in use is
    // FWorker with its host link. An ended connection's link is detached, so
    // its late calls reach nothing.
    std::vector<std::unique_ptr<TWorkerEntry>> Workers;
    QPointer<ConnectionWorker> FWorker;
    THostLink* Link = nullptr;
    std::shared_ptr<TransferProgress> FProgress;

    std::unique_ptr<TWaitForm> FWaitForm;
    QPointer<THelpWindow> FHelpWindow;
};

// The address to show as this machine's: the first looked-up address of the
// host name unless it is a loopback address (127.0.0.0/8), which a peer could
// not use; then the first non-loopback address among those of the interfaces
// that are up; else the looked-up address, or nothing when the lookup failed.
// Addresses in dotted IPv4 form, each list in the order the system gave.
[[nodiscard]] QString ChooseOwnAddress(const QStringList& hostAddresses,
                                       const QStringList& interfaceAddresses);

} // namespace relvane::app
