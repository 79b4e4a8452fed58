// The main window's actions, its menu bar and the F1 key: each action with
// its caption, hint and picture, and the menus that hold them.

#include "app/helpwindow.h"
#include "app/images.h"
#include "app/mainform.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QProxyStyle>
#include <QShortcut>
#include <QStyleOptionMenuItem>

#include <algorithm>
#include <optional>

namespace relvane::app {

namespace {

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

} // namespace

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
    HistoryAction = make(QStringLiteral("HistoryAction"), QStringLiteral("受信履歴(&R)..."),
                         QStringLiteral("受信したファイルの履歴を表示します"), std::nullopt,
                         &TMainForm::HistoryActionExecute);
    MessageAction->setCheckable(true);

    // The connection actions lead to the help on the connection controls.
    for (QAction* action : {ConnectAction, ServerAction, DisconnectAction}) {
        action->setProperty(HelpContextProperty, HelpConnection);
    }

    ConnectAction->setEnabled(false);
    DisconnectAction->setEnabled(false);
    SendAction->setEnabled(false);

    ToolbarItem = new QAction(QStringLiteral("ツールバー(&T)"), this);
    ToolbarItem->setObjectName(QStringLiteral("T1"));
    ToolbarItem->setCheckable(true);
    ToolbarItem->setChecked(true);
    connect(ToolbarItem, &QAction::triggered, this,
            [this] { RunGuarded([this] { ToggleToolbar(); }); });

    // F1: the help topic of the focused control.
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, [this] {
        const QWidget* focus = focusWidget();
        const QVariant context = focus ? focus->property(HelpContextProperty) : QVariant();
        OpenHelp(context.isValid() ? context.toInt() : HelpContents);
    });
}

void TMainForm::CreateMenus() {
    MenuBar = new QMenuBar(this);
    MenuBar->setObjectName(QStringLiteral("MainMenu1"));
    MenuBar->setNativeMenuBar(false);
    auto* style = new TMenuBarStyle();
    style->setParent(MenuBar);
    MenuBar->setStyle(style);

    QMenu* file =
        MenuBar->addMenu(MenuIcon(TMenuImage::miFileMenu), QStringLiteral("ファイル(&F)"));
    file->addAction(ConnectAction);
    file->addAction(ServerAction);
    file->addAction(DisconnectAction);
    file->addSeparator();
    file->addAction(ExitAction);

    QMenu* edit = MenuBar->addMenu(MenuIcon(TMenuImage::miEditMenu), QStringLiteral("編集(&E)"));
    edit->addAction(OptionAction);
    edit->addSeparator();
    edit->addAction(IPCopyAction);

    QMenu* view = MenuBar->addMenu(QStringLiteral("表示(&V)"));
    view->addAction(ToolbarItem);
    view->addAction(MessageAction);
    view->addAction(HistoryAction);

    QMenu* help = MenuBar->addMenu(MenuIcon(TMenuImage::miHelp), QStringLiteral("ヘルプ(&H)"));
    help->addAction(HelpAction);
    help->addAction(AboutAction);

    for (QMenu* menu : {file, edit, view, help})
        menu->setToolTipsVisible(true);
}

} // namespace relvane::app
