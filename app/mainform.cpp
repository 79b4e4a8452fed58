// The main window's layout, menus, actions and the operations that do not
// belong to the connection manager (connection.cpp).

#include "app/mainform.h"

#include "app/consts.h"
#include "app/helpwindow.h"
#include "app/hostlink.h"
#include "app/images.h"
#include "app/messagebox.h"
#include "app/restartform.h"
#include "app/settingform.h"
#include "app/uifont.h"
#include "app/versionform.h"
#include "app/waitform.h"
#include "chat/messageform.h"
#include "controls/dropdst.h"
#include "net/socket.h"
#include "protocol/frame.h"
#include "protocol/handshake.h"
#include "protocol/sendlist.h"
#include "protocol/worker.h"
#include "status/statusform.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QShortcut>
#include <QStyleOptionMenuItem>
#include <QToolBar>

#include <optional>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

namespace relvane::app {

namespace {

constexpr int FormWidth = 490;
constexpr int ToolBarHeight = 26;
constexpr int PanelHeight = 143;
const char* const HelpContextProperty = "helpContext";

QString DottedAddress(const sockaddr* address) {
    char text[INET_ADDRSTRLEN] = {};
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) return {};
    return QString::fromLatin1(text);
}

// The IPv4 addresses of this machine's host name, in the resolver's order;
// empty when it does not resolve.
QStringList HostNameAddresses() {
    char host[256] = {};
    if (::gethostname(host, 255) != 0) return {};
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, nullptr, &hints, &found) != 0) return {};
    QStringList addresses;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr != nullptr)
            addresses << DottedAddress(a->ai_addr);
    }
    ::freeaddrinfo(found);
    return addresses;
}

// The IPv4 addresses of the interfaces that are up.
QStringList InterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    QStringList addresses;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
            (i->ifa_flags & IFF_UP) != 0)
            addresses << DottedAddress(i->ifa_addr);
    }
    ::freeifaddrs(list);
    return addresses;
}

bool IsLoopback(const QString& address) {
    in_addr a{};
    return ::inet_pton(AF_INET, address.toLatin1().constData(), &a) == 1 &&
           (ntohl(a.s_addr) >> 24) == 127;
}

QString FindOwnAddress() {
    return ChooseOwnAddress(HostNameAddresses(), InterfaceAddresses());
}

// Menu-bar titles that carry a picture show it before their caption; the
// usual styles show the picture instead of the caption.
class TMenuBarStyle : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;

    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& size,
                           const QWidget* widget) const override {
        if (type == CT_MenuBarItem) {
            if (const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
                item && !item->icon.isNull()) {
                const QSize text = item->fontMetrics.size(Qt::TextShowMnemonic, item->text);
                const QSize both(MenuImageSize + 3 + text.width(),
                                 std::max(MenuImageSize, text.height()));
                return QProxyStyle::sizeFromContents(type, option, both, widget);
            }
        }
        return QProxyStyle::sizeFromContents(type, option, size, widget);
    }

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        if (element != CE_MenuBarItem || !item || item->icon.isNull()) {
            QProxyStyle::drawControl(element, option, painter, widget);
            return;
        }
        QStyleOptionMenuItem frame(*item);
        frame.icon = QIcon();
        frame.text.clear();
        QProxyStyle::drawControl(element, &frame, painter, widget);

        const QSize text = item->fontMetrics.size(Qt::TextShowMnemonic, item->text);
        const int width = MenuImageSize + 3 + text.width();
        int x = item->rect.x() + (item->rect.width() - width) / 2;
        const int y = item->rect.y() + (item->rect.height() - MenuImageSize) / 2;
        const bool enabled = item->state & State_Enabled;
        painter->drawPixmap(
            x, y, item->icon.pixmap(MenuImageSize, enabled ? QIcon::Normal : QIcon::Disabled));
        x += MenuImageSize + 3;
        const bool selected = (item->state & State_Selected) && (item->state & State_Sunken);
        drawItemText(painter, QRect(x, item->rect.y(), text.width(), item->rect.height()),
                     Qt::AlignLeft | Qt::AlignVCenter | Qt::TextShowMnemonic, item->palette,
                     enabled, item->text,
                     selected ? QPalette::HighlightedText : QPalette::ButtonText);
    }
};

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
    CreateSockets();
    DropDst1 = new TDropDst(this);
    DropDst1->setObjectName(QStringLiteral("DropDst1"));
    DropDst1->OnFileDrop = [this](TDropDst&, const QStringList& files, int, int) {
        DropDst1FileDrop(files);
    };
    DropDst1->OnError = [this](const QString& text) { ShowErrorMessage(this, text); };
    DropDst1->SetTarget(THookTarget::htForm);
    DropDst1->Loaded();
    FormCreate();
}

void TMainForm::CreateActions() {
    const auto make = [this](const QString& name, const QString& caption, const QString& hint,
                             std::optional<TMenuImage> image, void (TMainForm::*execute)()) {
        auto* action = new QAction(caption, this);
        action->setObjectName(name);
        action->setToolTip(hint);
        action->setStatusTip(hint);
        if (image) action->setIcon(MenuIcon(*image));
        connect(action, &QAction::triggered, this,
                [this, execute] { RunGuarded([this, execute] { (this->*execute)(); }); });
        addAction(action); // shortcuts work wherever the focus is in the window
        return action;
    };
    ConnectAction = make(QStringLiteral("ConnectAction"), QStringLiteral("接続(&C)"),
                         QStringLiteral("サーバーに接続"), TMenuImage::miConnect,
                         &TMainForm::ConnectActionExecute);
    ServerAction =
        make(QStringLiteral("ServerAction"), QStringLiteral("サーバー作成(&S)"),
             QStringLiteral("サーバー作成"), TMenuImage::miServer, &TMainForm::ServerActionExecute);
    DisconnectAction =
        make(QStringLiteral("DisconnectAction"), QStringLiteral("切断(&D)"), QStringLiteral("切断"),
             TMenuImage::miDisconnect, &TMainForm::DisconnectActionExecute);
    ExitAction = make(QStringLiteral("ExitAction"), QStringLiteral("終了(&X)"),
                      QStringLiteral("終了"), TMenuImage::miExit, &TMainForm::ExitActionExecute);
    OptionAction =
        make(QStringLiteral("OptionAction"), QStringLiteral("設定(&O)..."),
             QStringLiteral("設定変更"), TMenuImage::miOption, &TMainForm::OptionActionExecute);
    HelpAction = make(QStringLiteral("HelpAction"), QStringLiteral("ヘルプ（目次）(&H)"),
                      QStringLiteral("ヘルプ"), TMenuImage::miHelp, &TMainForm::HelpActionExecute);
    AboutAction =
        make(QStringLiteral("AboutAction"), QStringLiteral("バージョン情報(&A)..."),
             QStringLiteral("バージョン情報"), std::nullopt, &TMainForm::AboutActionExecute);
    MessageAction = make(QStringLiteral("MessageAction"), QStringLiteral("チャット画面表示(&C)"),
                         QStringLiteral("チャット画面を開き相手と交信します"), TMenuImage::miChat,
                         &TMainForm::MessageActionExecute);
    IPCopyAction = make(QStringLiteral("IPCopyAction"), QStringLiteral("自ＩＰをコピー(&C)"),
                        QStringLiteral("自IPｱﾄﾞﾚｽをクリップボードにコピーします"), std::nullopt,
                        &TMainForm::IPCopyActionExecute);
    SendAction = make(QStringLiteral("SendAction"), QStringLiteral("送信(&S)"),
                      QStringLiteral("接続相手にファイルを送信"), TMenuImage::miSend,
                      &TMainForm::SendActionExecute);
    SendAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    MessageAction->setCheckable(true);

    // The connection actions lead to the help on the connection controls.
    for (QAction* action : {ConnectAction, ServerAction, DisconnectAction}) {
        action->setProperty(HelpContextProperty, HelpConnection);
    }

    ConnectAction->setEnabled(false);
    DisconnectAction->setEnabled(false);
    SendAction->setEnabled(false);

    T1 = new QAction(QStringLiteral("ツールバー(&T)"), this);
    T1->setObjectName(QStringLiteral("T1"));
    T1->setCheckable(true);
    T1->setChecked(true);
    connect(T1, &QAction::triggered, this, [this] { RunGuarded([this] { T1Click(); }); });

    // F1: the help topic of the focused control.
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, [this] {
        const QWidget* focus = focusWidget();
        const QVariant context = focus ? focus->property(HelpContextProperty) : QVariant();
        OpenHelp(context.isValid() ? context.toInt() : HelpContents);
    });
}

void TMainForm::CreateMenus() {
    MainMenu1 = new QMenuBar(this);
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    MainMenu1->setNativeMenuBar(false);
    auto* style = new TMenuBarStyle();
    style->setParent(MainMenu1);
    MainMenu1->setStyle(style);

    QMenu* file =
        MainMenu1->addMenu(MenuIcon(TMenuImage::miFileMenu), QStringLiteral("ファイル(&F)"));
    file->addAction(ConnectAction);
    file->addAction(ServerAction);
    file->addAction(DisconnectAction);
    file->addSeparator();
    file->addAction(ExitAction);

    QMenu* edit = MainMenu1->addMenu(MenuIcon(TMenuImage::miEditMenu), QStringLiteral("編集(&E)"));
    edit->addAction(OptionAction);
    edit->addSeparator();
    edit->addAction(IPCopyAction);

    QMenu* view = MainMenu1->addMenu(QStringLiteral("表示(&V)"));
    view->addAction(T1);
    view->addAction(MessageAction);

    QMenu* help = MainMenu1->addMenu(MenuIcon(TMenuImage::miHelp), QStringLiteral("ヘルプ(&H)"));
    help->addAction(HelpAction);
    help->addAction(AboutAction);

    for (QMenu* menu : {file, edit, view, help})
        menu->setToolTipsVisible(true);
}

void TMainForm::CreateControls() {
    const int menuHeight = MainMenu1->sizeHint().height();
    MainMenu1->setGeometry(0, 0, FormWidth, menuHeight);

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

    Label4 = MakeLabel(QStringLiteral("自ＩＰアドレス:"), Panel1, 8, 16);
    SelfIPEdit = new QLineEdit(Panel1);
    SelfIPEdit->setObjectName(QStringLiteral("SelfIPEdit"));
    SelfIPEdit->setGeometry(88, 12, 113, 20);
    MakeFaceColoured(SelfIPEdit);
    SelfIPEdit->setToolTip(
        QStringLiteral("自IPアドレスです。サーバーになる場合は相手にこのアドレスを教えてください"));

    ServerBitBtn = new QPushButton(Panel1);
    ServerBitBtn->setObjectName(QStringLiteral("ServerBitBtn"));
    ServerBitBtn->setGeometry(212, 8, 121, 25);
    BindButton(ServerBitBtn, ServerAction);

    Label1 = MakeLabel(QStringLiteral("相手ＩＰアドレス:"), Panel1, 8, 48);
    IPEdit = new QComboBox(Panel1);
    IPEdit->setObjectName(QStringLiteral("IPEdit"));
    IPEdit->setEditable(true);
    IPEdit->setInsertPolicy(QComboBox::NoInsert);
    IPEdit->setCompleter(nullptr);
    IPEdit->lineEdit()->setMaxLength(15);
    IPEdit->setGeometry(88, 44, 113, 20);
    IPEdit->setToolTip(QStringLiteral("接続先のIPアドレスを入力"));
    IPEdit->installEventFilter(this);
    connect(IPEdit, &QComboBox::editTextChanged, this, [this] { IPEditChange(); });

    ConnectBitBtn = new QPushButton(Panel1);
    ConnectBitBtn->setObjectName(QStringLiteral("ConnectBitBtn"));
    ConnectBitBtn->setGeometry(212, 40, 121, 25);
    BindButton(ConnectBitBtn, ConnectAction);

    BitBtn1 = new QPushButton(Panel1);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(360, 40, 121, 25);
    BindButton(BitBtn1, DisconnectAction);

    for (QPushButton* button : {ServerBitBtn, ConnectBitBtn, BitBtn1}) {
        button->setProperty(HelpContextProperty, HelpConnection);
    }

    Label2 = MakeLabel(QStringLiteral("送信ファイル名:"), Panel1, 8, 80);
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

void TMainForm::CreateSockets() {
    ServerSocket1 = new TcpServer(this);
    ServerSocket1->setObjectName(QStringLiteral("ServerSocket1"));
    ClientSocket1 = new TcpClient(this);
    ClientSocket1->setObjectName(QStringLiteral("ClientSocket1"));
    // The endpoints call back from inside the event queue: nothing may escape.
    const auto guarded =
        [this](void (TMainForm::*handler)(const std::shared_ptr<TcpConnection>&)) {
            return [this, handler](QObject*, const std::shared_ptr<TcpConnection>& socket) {
                if (Destroying) return;
                RunGuarded([&] { (this->*handler)(socket); });
            };
        };
    ServerSocket1->OnAccept = guarded(&TMainForm::ServerSocket1Accept);
    ServerSocket1->OnClientDisconnect = guarded(&TMainForm::ServerSocket1ClientDisconnect);
    ClientSocket1->OnConnect = guarded(&TMainForm::ClientSocket1Connect);
    ClientSocket1->OnDisconnect = guarded(&TMainForm::ClientSocket1Disconnect);
}

void TMainForm::FormCreate() {
    FSendList.clear();
    FConnected = false;
    FConnectStage = 0;
    FHandshakeFailed = false;

    LoadSettings(Profile, Settings, QCoreApplication::applicationDirPath());
    ApplyHeldSettings(Profile.FileName(), Settings);
    ServerSocket1->SetPort(Settings.Port);
    ClientSocket1->SetPort(Settings.Port);
    T1->setChecked(Settings.ShowToolbar);
    T1Click();

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
}

TMainForm::~TMainForm() {
    Destroying = true;
    // FormDestroy: the settings go to the file.
    Settings.Port = ServerSocket1->Port();
    Settings.ShowToolbar = T1->isChecked();
    try {
        WriteSettings(Profile, Settings);
    } catch (const std::exception& error) {
        ShowErrorMessage(nullptr, QString::fromUtf8(error.what()));
    }

    // A connection still in use ends with the window. Detached links make
    // the workers' last calls reach nothing while they are waited for.
    FWaitForm.reset();
    for (const auto& entry : Workers) {
        entry->Link->Detach();
        entry->Thread->RequestTerminate();
    }
    Link = nullptr;
    delete ServerSocket1;
    ServerSocket1 = nullptr;
    delete ClientSocket1;
    ClientSocket1 = nullptr;
    // Waiting for a worker dispatches events, which may reap others: the
    // list is emptied before any of them is destroyed.
    std::vector<std::unique_ptr<TWorkerEntry>> ending = std::move(Workers);
    Workers.clear();
    ending.clear();
}

THelpWindow* TMainForm::HelpWindow() const {
    return FHelpWindow.data();
}

ConnectionWorker* TMainForm::Worker() const {
    return FWorker.data();
}

int TMainForm::ClientHeight() const {
    return ClientArea->height();
}

void TMainForm::RunGuarded(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& error) {
        ShowErrorMessage(this, QString::fromUtf8(error.what()));
    }
}

void TMainForm::T1Click() {
    const bool shown = T1->isChecked();
    ToolBar1->setVisible(shown);
    Panel1->move(0, shown ? ToolBarHeight : 0);
    const int clientHeight = Panel1->y() + Panel1->height();
    ClientArea->resize(FormWidth, clientHeight);
    setFixedSize(FormWidth, ClientArea->y() + clientHeight);
}

void TMainForm::RefreshFileEdit() {
    QString text;
    for (const QString& path : FSendList)
        text += SendFileName(path) + QStringLiteral("; ");
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

void TMainForm::DropDst1FileDrop(const QStringList& paths) {
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
    if (FConnected) throw EAppError(MsgCannotChangeSettings());
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
    // FormClose: a running worker is told to stop.
    if (FWorker) FWorker->RequestTerminate();
    event->accept();
    emit FormClosed();
}

void TMainForm::SendActionExecute() {
    const QString refusal = CheckSendList(FSendList);
    if (!refusal.isEmpty()) throw EAppError(refusal);
    if (!FWorker) throw EAppError(MsgNotConnected());
    FWorker->RequestSend(FSendList);
    SendAction->setEnabled(false);
}

void TMainForm::SendChatMessage() {
    // An Enter still queued (a held key) must not send the same text twice.
    if (SendingChat) return;
    const QScopedValueRollback<bool> sending(SendingChat, true);
    // Whatever is still queued (a typed key, the connection's end) goes first.
    QCoreApplication::processEvents();
    if (Destroying || MessageForm == nullptr) return;
    SendChatText(*MessageForm, Settings.UserName, [this](const QByteArray& frame) {
        // Looked up after the echo: the line is shown even when nothing is
        // connected.
        const std::shared_ptr<TcpConnection> connection = ConnectionInUse();
        if (!connection || !connection->IsConnected()) return ChatDelivery::NotConnected;
        // A connection that ended under the send took nothing: saying so
        // beats an echo of a line the peer never gets.
        return SendFrame(*connection, frame) ? ChatDelivery::Sent : ChatDelivery::NotConnected;
    });
}

// ---- The worker's calls into the status windows and the chat window.

void TMainForm::ShowChat(const QString& peerName, const QString& text) {
    MessageForm->ShowChat(peerName, text);
    MessageAction->setChecked(ChatWindowShowing());
}
void TMainForm::ShowRecvWindow() {
    RecvStatusForm->BeginReceiveBatch();
}
void TMainForm::HideRecvWindow() {
    RecvStatusForm->hide();
}
void TMainForm::ShowRecvCount(int fileCount) {
    RecvStatusForm->AnnounceFiles(fileCount);
}
void TMainForm::ShowRecvName(const QString& name) {
    RecvStatusForm->SetCurrentFile(name);
}
void TMainForm::ShowSendWindow(const QStringList& files) {
    SendStatusForm->BeginSendBatch(files);
}
void TMainForm::ShowSendName(const QString& path) {
    SendStatusForm->SetCurrentFile(path);
}
void TMainForm::HideSendWindow() {
    SendStatusForm->hide();
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

void TMainForm::EnableSend() {
    SendAction->setEnabled(true);
}

QString ChooseOwnAddress(const QStringList& hostAddresses, const QStringList& interfaceAddresses) {
    const QString first = hostAddresses.value(0);
    if (!first.isEmpty() && !IsLoopback(first)) return first;
    for (const QString& address : interfaceAddresses) {
        if (!address.isEmpty() && !IsLoopback(address)) return address;
    }
    return first;
}

int TMainForm::ListenPort() const {
    return ServerSocket1->Port();
}

void TMainForm::SetListenPort(int port) {
    ServerSocket1->SetPort(port);
    ClientSocket1->SetPort(port);
}

} // namespace relvane::app
