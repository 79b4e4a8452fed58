#include "app/discoverypanel.h"

#include "app/consts.h"
#include "app/helpwindow.h"
#include "app/images.h"
#include "discovery/finder.h"

#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>

namespace relvane::app {

namespace {

// The row of the panel the button takes: beside the address row, above "切断".
const QRect FindButtonRect(360, 8, 121, 25);
constexpr int ListHeight = 77;
constexpr int CloseSize = 18;

enum Column { ColName, ColAddress, ColPort };

QIcon MagnifierIcon() {
    QPixmap pixmap(MenuImageSize, MenuImageSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(90, 60, 20), 2.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10.0, 10.0), QPointF(14.2, 14.2));
    p.setPen(QPen(QColor(40, 40, 60), 1.4));
    p.setBrush(QColor(200, 230, 255));
    p.drawEllipse(QPointF(6.5, 6.5), 4.8, 4.8);
    return QIcon(pixmap);
}

// A name comes from the network: control characters are shown, not obeyed.
QString ShownName(const QString& name) {
    QString shown;
    for (const QChar c : name) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QChar(u'0'));
        else
            shown += c;
    }
    return shown;
}

} // namespace

TDiscoveryPanel::TDiscoveryPanel(relvane::Session& session, QComboBox* addressBox, QWidget* panel,
                                 const QStringList& targets)
    : QObject(panel), FSession(session), AddressBox(addressBox), Targets(targets),
      Answerer(session.Port(), {}) {
    setObjectName(QStringLiteral("DiscoveryPanel"));
    FindButton = new QPushButton(MagnifierIcon(), FindCaption(), panel);
    FindButton->setObjectName(QStringLiteral("FindButton"));
    FindButton->setGeometry(FindButtonRect);
    FindButton->setToolTip(FindHint());
    FindButton->setProperty(HelpContextProperty, HelpConnection); // F1: the connection topic
    connect(FindButton, &QPushButton::clicked, this, &TDiscoveryPanel::FindButtonClick);

    const QRect box = addressBox->geometry();
    const int left = box.left();
    const int right = FindButtonRect.right();
    ListFrame = new QFrame(panel);
    ListFrame->setObjectName(QStringLiteral("DiscoveryList"));
    ListFrame->setFrameStyle(QFrame::Panel | QFrame::Raised);
    ListFrame->setAutoFillBackground(true);
    ListFrame->setGeometry(left, box.bottom() + 1, right - left + 1, ListHeight);
    ListFrame->hide();

    const int inner = ListFrame->width() - 2;
    FoundList = new QTreeWidget(ListFrame);
    FoundList->setObjectName(QStringLiteral("FoundList"));
    FoundList->setGeometry(1, 1, inner - CloseSize - 2, ListHeight - 2);
    FoundList->setColumnCount(3);
    FoundList->setHeaderLabels(
        {QStringLiteral("名前"), QStringLiteral("アドレス"), QStringLiteral("ポート")});
    FoundList->setRootIsDecorated(false);
    FoundList->setUniformRowHeights(true);
    FoundList->setAllColumnsShowFocus(true);
    FoundList->header()->setStretchLastSection(true);
    FoundList->header()->setSectionsMovable(false);
    FoundList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FoundList->setColumnWidth(ColName, 180);
    FoundList->setColumnWidth(ColAddress, 105);
    FoundList->installEventFilter(this);
    connect(FoundList, &QTreeWidget::itemClicked, this,
            [this](QTreeWidgetItem* item) { Choose(FoundList->indexOfTopLevelItem(item)); });
    connect(FoundList, &QTreeWidget::itemActivated, this,
            [this](QTreeWidgetItem* item) { Choose(FoundList->indexOfTopLevelItem(item)); });

    MessageLabel = new QLabel(ListFrame);
    MessageLabel->setObjectName(QStringLiteral("NotFoundLabel"));
    MessageLabel->setGeometry(8, 4, inner - CloseSize - 12, ListHeight - 8);
    MessageLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    MessageLabel->setWordWrap(true);
    MessageLabel->setTextFormat(Qt::PlainText);
    MessageLabel->hide();

    CloseButton = new QToolButton(ListFrame);
    CloseButton->setObjectName(QStringLiteral("CloseButton"));
    CloseButton->setText(QStringLiteral("×"));
    CloseButton->setToolTip(QStringLiteral("閉じる"));
    CloseButton->setAutoRaise(true);
    CloseButton->setGeometry(inner - CloseSize, 2, CloseSize, CloseSize);
    connect(CloseButton, &QToolButton::clicked, this, &TDiscoveryPanel::CloseList);

    connect(&session, &Session::stateChanged, this, &TDiscoveryPanel::StateChanged);
    connect(&session, &Session::connected, this, [this] {
        if (!HeldAddress.isEmpty()) emit foundPeerReached(std::exchange(HeldAddress, {}));
    });
    StateChanged(session.State());
}

TDiscoveryPanel::~TDiscoveryPanel() = default;

bool TDiscoveryPanel::Searching() const {
    return FFinder != nullptr && FFinder->IsRunning();
}

void TDiscoveryPanel::FindButtonClick() {
    if (Searching() || FSession.State() != SessionState::Idle) return;
    const int port = FSession.Port();
    if (FFinder && FFinder->property("port").toInt() != port) {
        FFinder->deleteLater(); // it may be inside one of its own signals
        FFinder = nullptr;
    }
    if (!FFinder) {
        FFinder = new discovery::Finder(port, Targets, this);
        FFinder->setProperty("port", port);
        connect(FFinder, &discovery::Finder::found, this, &TDiscoveryPanel::Found);
        connect(FFinder, &discovery::Finder::finished, this, &TDiscoveryPanel::Finished);
    }
    FoundList->clear();
    FoundAddresses.clear();
    MessageLabel->hide();
    FoundList->show();
    ListFrame->show();
    ListFrame->raise();
    Asked = FFinder->Start();
    ShowButton();
}

void TDiscoveryPanel::Found(const QString& name, const QString& address, int port) {
    // A copy answers on the port it waits on, which is the port asked; an
    // answer that names another port comes from no copy of this program,
    // and the connect that follows would miss it.
    if (port != FSession.Port()) return;
    auto* item = new QTreeWidgetItem(FoundList);
    item->setText(ColName, ShownName(name));
    item->setText(ColAddress, address);
    item->setText(ColPort, QString::number(port));
    item->setToolTip(ColName, ShownName(name));
    FoundAddresses << address;
}

void TDiscoveryPanel::Finished(int count) {
    ShowButton();
    if (count > 0) return;
    FoundList->hide();
    MessageLabel->setText(MsgNotFound() + u'\n' +
                          (Asked == 0 ? HintNoNetwork() : HintNotFound(FSession.Port())));
    MessageLabel->show();
}

void TDiscoveryPanel::ShowButton() {
    const bool searching = Searching();
    FindButton->setText(searching ? MsgSearching() : FindCaption());
    FindButton->setEnabled(!searching && FSession.State() == SessionState::Idle);
}

void TDiscoveryPanel::Choose(int row) {
    if (row < 0 || row >= FoundList->topLevelItemCount()) return;
    AddressBox->setEditText(FoundList->topLevelItem(row)->text(ColAddress));
    CloseList();
    AddressBox->setFocus();
}

void TDiscoveryPanel::CloseList() {
    const bool hadFocus = ListFrame->isAncestorOf(QApplication::focusWidget());
    ListFrame->hide();
    if (hadFocus) FindButton->setFocus();
}

bool TDiscoveryPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FoundList && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        CloseList();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

bool TDiscoveryPanel::HoldHistoryUntilReached(const QString& address) {
    HeldAddress = FoundAddresses.contains(address) ? address : QString();
    return !HeldAddress.isEmpty();
}

void TDiscoveryPanel::SetAnswering(bool on) {
    FAnswering = on;
    StateChanged(FSession.State());
}

void TDiscoveryPanel::StateChanged(relvane::SessionState state) {
    // Answers only while waiting for a peer: nothing is sent while idle or
    // connected, and the name goes out only to a copy that asked.
    if (state == SessionState::Listening && FAnswering) {
        Answerer.SetPort(FSession.Port());
        Answerer.SetUserName(FSession.Settings().UserName);
        Answerer.SetActive(true);
    } else {
        Answerer.SetActive(false);
    }
    if (state != SessionState::Idle) {
        if (FFinder) FFinder->Stop();
        CloseList();
    }
    // Held through the connect attempt only: one that ends without a
    // connection, or a server attempt, does not reach the found copy.
    if (state != SessionState::Connecting && state != SessionState::Connected) HeldAddress.clear();
    ShowButton();
}

} // namespace relvane::app
