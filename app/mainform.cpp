// The main window's layout and the operations that belong neither to its
// menus and actions (mainmenu.cpp) nor to the connection manager
// (connection.cpp).

#include "app/mainform.h"

#include "app/consts.h"
#include "app/discoverypanel.h"
#include "app/helpwindow.h"
#include "app/images.h"
#include "app/messagebox.h"
#include "app/program.h"
#include "app/restartform.h"
#include "app/settingform.h"
#include "app/uifont.h"
#include "app/versionform.h"
#include "app/waitform.h"
#include "chat/messageform.h"
#include "controls/dropdst.h"
#include "platform/ownaddress.h"
#include "session/session.h"
#include "status/statusform.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QToolBar>

namespace relvane::app {

namespace {

constexpr int FormWidth = 490;
constexpr int ToolBarHeight = 26;
constexpr int PanelHeight = 143;

// A push button that stands for an action: its caption, picture, hint and
// enabled state follow the action, and a click triggers it.
void BindButton(QPushButton* button, QAction* action) {
    const auto update = [button, action] {
        button->setText(action->text());
        button->setIcon(action->icon());
        button->setToolTip(action->toolTip());
        button->setEnabled(action->isEnabled());
    };
    update();
    QObject::connect(action, &QAction::changed, button, update);
    QObject::connect(button, &QPushButton::clicked, action, [action] { action->trigger(); });
}

void MakeFaceColoured(QLineEdit* edit) {
    QPalette palette = edit->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::Window));
    edit->setPalette(palette);
    edit->setReadOnly(true);
}

QLabel* MakeLabel(const QString& text, QWidget* parent, int left, int top) {
    auto* label = new QLabel(text, parent);
    label->move(left, top);
    label->adjustSize();
    return label;
}

} // namespace

TMainForm::TMainForm(const QString& settingsFile, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      Profile(settingsFile) {
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(ApplicationTitle());
    setFont(FormFont());
    CreateActions();
    CreateMenus();
    CreateControls();
    CreateSession();
    DropDst1 = new TDropDst(this);
    DropDst1->setObjectName(QStringLiteral("DropDst1"));
    DropDst1->OnFileDrop = [this](TDropDst&, const QStringList& files, int, int) {
        FilesDropped(files);
    };
    DropDst1->OnError = [this](const QString& text) { ShowErrorMessage(this, text); };
    DropDst1->SetTarget(THookTarget::htForm);
    DropDst1->Loaded();
    FormCreate();

    // Discovery (discoverypanel.cpp): after the settings, which may turn
    // the answering off.
    Discovery = new TDiscoveryPanel(*FSession, IPEdit, Panel1);
    Discovery->SetAnswering(Settings.AnswerDiscovery);
    connect(Discovery, &TDiscoveryPanel::foundPeerReached, this, &TMainForm::AddAddressHistory);
}

void TMainForm::CreateControls() {
    const int menuHeight = MenuBar->sizeHint().height();
    MenuBar->setGeometry(0, 0, FormWidth, menuHeight);

    ClientArea = new QWidget(this);
    ClientArea->setObjectName(QStringLiteral("ClientArea"));
    ClientArea->setGeometry(0, menuHeight, FormWidth, ToolBarHeight + PanelHeight);

    ToolBar1 = new QToolBar(ClientArea);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setGeometry(0, 0, FormWidth, ToolBarHeight);
    ToolBar1->setIconSize(QSize(MenuImageSize, MenuImageSize));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ToolBar1->addAction(ConnectAction);
    ToolBar1->addAction(ServerAction);
    ToolBar1->addAction(DisconnectAction);
    ToolBar1->addSeparator();
    ToolBar1->addAction(OptionAction);
    ToolBar1->addSeparator();
    ToolBar1->addAction(MessageAction);
    ToolBar1->addSeparator();
    ToolBar1->addAction(HelpAction);

    Panel1 = new QWidget(ClientArea);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(0, ToolBarHeight, FormWidth, PanelHeight);

    OwnAddressLabel = MakeLabel(QStringLiteral("自ＩＰアドレス:"), Panel1, 8, 16);
    SelfIPEdit = new QLineEdit(Panel1);
    SelfIPEdit->setObjectName(QStringLiteral("SelfIPEdit"));
    SelfIPEdit->setGeometry(88, 12, 113, 20);
    MakeFaceColoured(SelfIPEdit);
    SelfIPEdit->setToolTip(
        QStringLiteral("自IPアドレスです。サーバーになる場合は相手にこのアドレスを教えてください"));

    ServerButton = new QPushButton(Panel1);
    ServerButton->setObjectName(QStringLiteral("ServerBitBtn"));
    ServerButton->setGeometry(212, 8, 121, 25);
    BindButton(ServerButton, ServerAction);

    PeerAddressLabel = MakeLabel(QStringLiteral("相手ＩＰアドレス:"), Panel1, 8, 48);
    IPEdit = new QComboBox(Panel1);
    IPEdit->setObjectName(QStringLiteral("IPEdit"));
    IPEdit->setEditable(true);
    IPEdit->setInsertPolicy(QComboBox::NoInsert);
    IPEdit->setCompleter(nullptr);
    IPEdit->lineEdit()->setMaxLength(260); // a host name and a port
    IPEdit->setGeometry(88, 44, 113, 20);
    IPEdit->setToolTip(QStringLiteral("接続先のIPアドレスを入力（ホスト名も可。ポートを変えるときは"
                                      " 192.168.0.5:2010 のように）"));
    IPEdit->installEventFilter(this);
    connect(IPEdit, &QComboBox::editTextChanged, this, [this] { IPEditChange(); });

    ConnectButton = new QPushButton(Panel1);
    ConnectButton->setObjectName(QStringLiteral("ConnectBitBtn"));
    ConnectButton->setGeometry(212, 40, 121, 25);
    BindButton(ConnectButton, ConnectAction);

    DisconnectButton = new QPushButton(Panel1);
    DisconnectButton->setObjectName(QStringLiteral("BitBtn1"));
    DisconnectButton->setGeometry(360, 40, 121, 25);
    BindButton(DisconnectButton, DisconnectAction);

    for (QPushButton* button : {ServerButton, ConnectButton, DisconnectButton}) {
        button->setProperty(HelpContextProperty, HelpConnection);
    }

    FileLabel = MakeLabel(QStringLiteral("送信ファイル名:"), Panel1, 8, 80);
    FileEdit = new QLineEdit(Panel1);
    FileEdit->setObjectName(QStringLiteral("FileEdit"));
    FileEdit->setGeometry(88, 75, 305, 20);
    MakeFaceColoured(FileEdit);
    FileEdit->setToolTip(QStringLiteral("現在選択されているファイル"));

    BrowseButton =
        new QPushButton(MenuIcon(TMenuImage::miFolder), QStringLiteral("参照(&B)..."), Panel1);
    BrowseButton->setObjectName(QStringLiteral("BrowseButton"));
    BrowseButton->setGeometry(396, 70, 85, 25);
    BrowseButton->setToolTip(QStringLiteral("送信ファイルの選択"));
    connect(BrowseButton, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { BrowseButtonClick(); }); });

    SendButton = new QPushButton(Panel1);
    SendButton->setObjectName(QStringLiteral("SendButton"));
    SendButton->setGeometry(184, 106, 121, 25);
    BindButton(SendButton, SendAction);

    setFixedSize(FormWidth, menuHeight + ToolBarHeight + PanelHeight);
}

void TMainForm::FormCreate() {
    FSendList.clear();

    LoadSettings(Profile, Settings, QCoreApplication::applicationDirPath());
    ApplyHeldSettings(Profile.FileName(), Settings);
    SetListenPort(Settings.Port);
    ToolbarItem->setChecked(Settings.ShowToolbar);
    ToggleToolbar();

    FOwnAddress = FindOwnAddress();
    SelfIPEdit->setText(FOwnAddress);

    StatusLook look;
    look.StartColor1 = Settings.StartColor1;
    look.EndColor1 = Settings.EndColor1;
    look.Gradation1 = static_cast<TGrphProgressGradation>(Settings.Gradation1);
    look.StartColor2 = Settings.StartColor2;
    look.EndColor2 = Settings.EndColor2;
    look.Gradation2 = static_cast<TGrphProgressGradation>(Settings.Gradation2);
    look.Anime = Settings.Anime;
    SendStatusForm = new TStatusForm(this);
    SendStatusForm->setObjectName(QStringLiteral("SendStatusForm"));
    SendStatusForm->SetSendMode(true);
    ApplyStatusSettings(*SendStatusForm, look);
    RecvStatusForm = new TStatusForm(this);
    RecvStatusForm->setObjectName(QStringLiteral("RecvStatusForm"));
    RecvStatusForm->SetSendMode(false);
    ApplyStatusSettings(*RecvStatusForm, look);

    MessageForm = new TMessageForm(this);
    // The key event that raises it must not carry a failure back into Qt.
    MessageForm->OnSend = [this](TMessageForm&) { RunGuarded([this] { SendChatMessage(); }); };

    CreateArrivals();
}

TMainForm::~TMainForm() {
    Destroying = true;
    // FormDestroy: the settings go to the file.
    Settings.Port = ListenPort();
    Settings.ShowToolbar = ToolbarItem->isChecked();
    try {
        WriteSettings(Profile, Settings);
    } catch (const std::exception& error) {
        ShowErrorMessage(nullptr, QString::fromUtf8(error.what()));
    }

    // A connection still in use ends with the window, quietly.
    FWaitForm.reset();
    FSession->disconnect(this);
    FSession->Shutdown();
}

THelpWindow* TMainForm::HelpWindow() const {
    return FHelpWindow.data();
}

std::shared_ptr<TransferProgress> TMainForm::Progress() const {
    return FSession->Progress();
}

bool TMainForm::Connected() const {
    return FSession->IsConnected();
}

bool TMainForm::HandshakeFailed() const {
    return FSession->HandshakeFailed();
}

int TMainForm::ConnectStage() const {
    return static_cast<int>(FSession->Stage());
}

int TMainForm::ClientHeight() const {
    return ClientArea->height();
}

void TMainForm::RunGuarded(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ESocketError& error) {
        // A port in use, an address that is none: with a line on the cause.
        ShowErrorMessage(this, SocketErrorText(error));
    } catch (const std::exception& error) {
        ShowErrorMessage(this, QString::fromUtf8(error.what()));
    }
}

void TMainForm::ToggleToolbar() {
    const bool shown = ToolbarItem->isChecked();
    ToolBar1->setVisible(shown);
    Panel1->move(0, shown ? ToolBarHeight : 0);
    const int clientHeight = Panel1->y() + Panel1->height();
    ClientArea->resize(FormWidth, clientHeight);
    FitHeight();
}

void TMainForm::RefreshFileEdit() {
    QString text;
    for (const QString& path : FSendList)
        text += Session::SentName(path) + QStringLiteral("; ");
    FileEdit->setText(text);
}

void TMainForm::BrowseButtonClick() {
    QFileDialog dialog(this, QStringLiteral("送信ファイル選択"));
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted) return;
    FSendList = dialog.selectedFiles();
    RefreshFileEdit();
}

void TMainForm::FilesDropped(const QStringList& paths) {
    // A dropped folder stands for the files in it; the peer gets bare names.
    FSendList = RegularFilesOf(paths);
    RefreshFileEdit();
}

void TMainForm::IPEditEnter() {
    // Refilling the list must not touch the typed text.
    const QString text = IPEdit->currentText();
    const QSignalBlocker block(IPEdit);
    IPEdit->clear();
    for (const QString& address : Settings.AddressHistory) {
        if (!address.isEmpty()) IPEdit->addItem(address);
    }
    IPEdit->setCurrentIndex(-1);
    IPEdit->setEditText(text);
}

void TMainForm::IPEditChange() {
    ConnectAction->setEnabled(!IPEdit->currentText().isEmpty());
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == IPEdit && event->type() == QEvent::FocusIn) IPEditEnter();
    return QWidget::eventFilter(watched, event);
}

void TMainForm::IPCopyActionExecute() {
    SelfIPEdit->selectAll();
    SelfIPEdit->copy();
}

void TMainForm::ExitActionExecute() {
    if (DisconnectAction->isEnabled()) DisconnectAction->trigger();
    close();
}

void TMainForm::OptionActionExecute() {
    if (Connected()) throw EAppError(MsgCannotChangeSettings());
    // The new values reach every part through a new main window.
    if (ExecuteSettingForm(*this)) StartRestart();
}

void TMainForm::HelpActionExecute() {
    OpenHelp(HelpContents);
}

void TMainForm::OpenHelp(int context) {
    if (!FHelpWindow) FHelpWindow = new THelpWindow(this);
    FHelpWindow->OpenContext(context);
}

void TMainForm::AboutActionExecute() {
    TVersionForm about(this);
    about.exec();
}

void TMainForm::MessageActionExecute() {
    MessageAction->setChecked(!ChatWindowShowing());
    SetChatWindowVisible(MessageAction->isChecked());
}

void TMainForm::FormActivate() {
    MessageAction->setChecked(ChatWindowShowing());
}

void TMainForm::changeEvent(QEvent* event) {
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
    QWidget::changeEvent(event);
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (FWaitForm) {
        // An action waits inside this window: closing now would pull the
        // window from under it. The close counts as the wait's cancel.
        FWaitForm->CancelButtonClick();
        event->ignore();
        return;
    }
    // FormClose: the connection ends with the window.
    FSession->Shutdown();
    event->accept();
    emit FormClosed();
}

void TMainForm::SendActionExecute() {
    if (FSendList.isEmpty()) throw EAppError(MsgChooseFiles());
    FSession->SendFiles(FSendList); // a refused list stays for the user to change
    SendAction->setEnabled(false);
    // Names typed here with "〜" and the like go as a Windows user sees them.
    if (const QString notice = Session::NameNotice(FSendList); !notice.isEmpty())
        ShowPlainMessage(this, notice);
}

void TMainForm::SendChatMessage() {
    if (Destroying || MessageForm == nullptr) return;
    SendChatText(*MessageForm, Settings.UserName, [this](const QString& text) {
        // Looked up after the echo: the line is shown even when nothing is
        // connected. Queued: a peer that stops reading never holds the window.
        return FSession->SendChat(text) ? ChatDelivery::Sent : ChatDelivery::NotConnected;
    });
}

void TMainForm::AttachStatusWindows(const std::shared_ptr<TransferProgress>& progress) {
    SendStatusForm->AttachProgress(progress);
    RecvStatusForm->AttachProgress(progress);
}

void TMainForm::HideStatusWindows() {
    // The connection has ended: the windows forget its counters and hide.
    SendStatusForm->DetachProgress();
    RecvStatusForm->DetachProgress();
}

bool TMainForm::ChatWindowShowing() const {
    return MessageForm->isVisible();
}
void TMainForm::SetChatWindowVisible(bool visible) {
    MessageForm->setVisible(visible);
}

int TMainForm::ListenPort() const {
    return FSession->Port();
}

void TMainForm::SetListenPort(int port) {
    FSession->SetPort(port);
}

} // namespace relvane::app
