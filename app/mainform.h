#pragma once
// The main window (`TMainForm`): layout, menus, toolbar and actions, the
// settings it holds, and the connection manager's windows over a session
// (session/), which owns the connection itself.

#include "app/messagebox.h"
#include "app/settings.h"
#include "platform/error.h"
#include "platform/profile.h"
#include "session/session.h"

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
class QTimer;
class QToolBar;

namespace relvane {
class Session;
class TDropDst;
class TMessageForm;
class TStatusForm;
struct TransferProgress;
} // namespace relvane

namespace relvane::app {

class TDiscoveryPanel;
class THelpWindow;
class THistoryStore;
class THistoryWindow;
class TNotices;
class TDesktopNotifier;
class TRequestBar;
class TWaitForm;

class TMainForm : public QWidget {
    Q_OBJECT
public:
    // Reads the settings from `settingsFile` (FormCreate).
    explicit TMainForm(const QString& settingsFile, QWidget* parent = nullptr);
    // Writes the settings (FormDestroy) and ends a connection still in use.
    ~TMainForm() override;

    // ---- Layout: the window's members under their layout names.
    QMenuBar* MenuBar = nullptr;
    QWidget* ClientArea = nullptr; // below the menu: toolbar and panel
    QToolBar* ToolBar1 = nullptr;
    QWidget* Panel1 = nullptr;
    QLabel* OwnAddressLabel = nullptr; // objectName "Label4"
    QLineEdit* SelfIPEdit = nullptr;
    QPushButton* ServerButton = nullptr;
    QLabel* PeerAddressLabel = nullptr; // "Label1"
    QComboBox* IPEdit = nullptr;
    QPushButton* ConnectButton = nullptr;
    QPushButton* DisconnectButton = nullptr; // "BitBtn1"
    QLabel* FileLabel = nullptr;             // "Label2"
    QLineEdit* FileEdit = nullptr;
    QPushButton* BrowseButton = nullptr;
    QPushButton* SendButton = nullptr;
    // "探す" beside the address row and the list of found peers under the
    // address field; it also answers searches while the server waits.
    TDiscoveryPanel* Discovery = nullptr;

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
    QAction* ToolbarItem = nullptr;   // "T1": "ツールバー(&T)"
    QAction* HistoryAction = nullptr; // "受信履歴(&R)..."

    // Arrivals (arrivals.cpp): the bar of a peer that waits at this idle
    // copy, the receive history, desktop notices and the tray icon.
    TRequestBar* RequestBar = nullptr;
    [[nodiscard]] THistoryStore& History() const { return *FHistory; }
    [[nodiscard]] THistoryWindow* HistoryWindow() const;
    // Null when the settings turned notices off.
    [[nodiscard]] TDesktopNotifier* Notifier() const { return FNotifier; }
    void HistoryActionExecute();
    void RequestBarAccept();
    void RequestBarRefuse();

    // The connection (`ServerSocket1`, `ClientSocket1` and what runs on them).
    [[nodiscard]] relvane::Session& Connection() const { return *FSession; }
    // Files dropped anywhere on the window become the files to send.
    TDropDst* DropDst1 = nullptr;

    // Owned windows, created hidden with the main window.
    TStatusForm* SendStatusForm = nullptr; // "送信状況表示"
    TStatusForm* RecvStatusForm = nullptr; // "受信状況表示"
    TMessageForm* MessageForm = nullptr;   // the chat window

    // ---- State.
    TSettings Settings; // the settings fields; ShowToolbar lives in T1's mark
    [[nodiscard]] bool Connected() const;
    [[nodiscard]] bool HandshakeFailed() const;
    // The connect stage's number (0 idle, 1, 2, 3, 5, 4 connected).
    [[nodiscard]] int ConnectStage() const;
    [[nodiscard]] const QString& OwnAddress() const { return FOwnAddress; }
    [[nodiscard]] int ClientHeight() const;
    [[nodiscard]] TWaitForm* WaitForm() const { return FWaitForm.get(); }
    [[nodiscard]] THelpWindow* HelpWindow() const;
    [[nodiscard]] const QString& SettingsFileName() const { return Profile.FileName(); }
    // The port of both endpoints. Setting it fails while the server listens.
    [[nodiscard]] int ListenPort() const;
    void SetListenPort(int port);
    // The worker of the connection in use, while there is one.
    // Counters and flags of the connection in use, for the status windows.
    [[nodiscard]] std::shared_ptr<TransferProgress> Progress() const;

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
    void ToggleToolbar();
    void BrowseButtonClick();
    void FilesDropped(const QStringList& paths);
    void IPEditEnter();
    void IPEditChange();
    void FormActivate();
    // Opens the help window at a context number (1 contents, 5 connection).
    void OpenHelp(int context);

    void AddAddressHistory(const QString& address);
    // The chat window's OnSend: echoes the typed line and queues it on the
    // connection in use, or adds the error line when there is none.
    void SendChatMessage();
    [[nodiscard]] const QStringList& SendList() const { return FSendList; }

    // Runs fn; a failure is shown by the application's default error display.
    void RunGuarded(const std::function<void()>& fn);

signals:
    // The window was closed (FormClose ran); the program ends its loop.
    void FormClosed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Arrivals (arrivals.cpp).
    void CreateArrivals();
    // The window's fixed height: the client area and the request bar if shown.
    void FitHeight();
    void HideRequestBar();
    // The files of a send list that did not arrive, to add to the message
    // that tells why: the list's own, or the failure or disconnect that ended it.
    void NoteUndelivered(const ListEnd& end);
    [[nodiscard]] QString WithUndelivered(const QString& text);
    // Connecting to a typed address: a host name is looked up first.
    void LookUpPeer(const QString& typed, const QString& host, int port);
    void StartConnect(const QString& typed, const QString& address, int port);
    bool CancelLookUp();

    void CreateActions();
    void CreateMenus();
    void CreateControls();
    void CreateSession();
    void FormCreate();
    void RefreshFileEdit();
    [[nodiscard]] SessionSettings ConnectionSettings() const;

    // Waiting with the wait window, which stands for the main window.
    void BeginWait(const QString& message);
    void EndWait();
    // A message box of this window; while a wait goes on, its window has the
    // keys again once the box is closed.
    void ShowMessageBox(TMessageKind kind, const QString& text);

    // The session's events.
    void StageChanged(relvane::ConnectStage stage);
    void ShowConnected();
    void AttemptEnded(const QString& text);
    void ShowIdle();
    void ReturnToIdle();
    void ShowFailure(const QString& text);
    void ListEnded(relvane::Direction direction, const relvane::ListEnd& end);

    // The status windows read the counters of the connection in use; when
    // it ends they forget them and hide.
    void AttachStatusWindows(const std::shared_ptr<TransferProgress>& progress);
    void HideStatusWindows();
    [[nodiscard]] bool ChatWindowShowing() const;
    void SetChatWindowVisible(bool visible);

    TProfileFile Profile;
    std::unique_ptr<relvane::Session> FSession;
    QStringList FSendList;
    QString FOwnAddress;
    bool Destroying = false;

    std::unique_ptr<TWaitForm> FWaitForm;
    QPointer<THelpWindow> FHelpWindow;

    THistoryStore* FHistory = nullptr;
    QPointer<THistoryWindow> FHistoryWindow;
    TDesktopNotifier* FNotifier = nullptr;
    TNotices* FNotices = nullptr;
    QString FUndelivered;
    QTimer* ServerSilentTimer = nullptr;
    int FLookupId = -1;
};

} // namespace relvane::app
