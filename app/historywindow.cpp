#include "app/historywindow.h"

#include "app/history.h"
#include "app/images.h"
#include "app/uifont.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

namespace relvane::app {

namespace {

enum Column { ColWhen, ColPeer, ColFile, ColSize, ColOutcome, ColStored, ColumnCount };
constexpr int StoredRole = Qt::UserRole;

QString SizeText(qint64 bytes) {
    return QLocale(QLocale::Japanese).toString(bytes);
}

} // namespace

THistoryWindow::THistoryWindow(THistoryStore& store, QString receiveFolder, QWidget* owner)
    : QWidget(owner, Qt::Window), Store(store), ReceiveFolder(std::move(receiveFolder)) {
    setObjectName(QStringLiteral("HistoryWindow"));
    setWindowTitle(QStringLiteral("受信履歴"));
    setFont(FormFont());
    resize(860, 340);

    List = new QTreeWidget(this);
    List->setObjectName(QStringLiteral("HistoryList"));
    List->setColumnCount(ColumnCount);
    List->setHeaderLabels({QStringLiteral("日時"), QStringLiteral("相手"),
                           QStringLiteral("ファイル"), QStringLiteral("サイズ"),
                           QStringLiteral("結果"), QStringLiteral("保存先")});
    List->setRootIsDecorated(false);
    List->setUniformRowHeights(true);
    List->setAllColumnsShowFocus(true);
    List->setSelectionMode(QAbstractItemView::SingleSelection);
    List->header()->setStretchLastSection(true);
    List->headerItem()->setTextAlignment(ColSize, Qt::AlignRight | Qt::AlignVCenter);

    OpenFolderButton =
        new QPushButton(MenuIcon(TMenuImage::miFolder), QStringLiteral("フォルダを開く(&O)"), this);
    OpenFolderButton->setObjectName(QStringLiteral("OpenFolderButton"));
    CloseButton = new QPushButton(QStringLiteral("閉じる"), this);
    CloseButton->setObjectName(QStringLiteral("CloseButton"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OpenFolderButton);
    buttons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(List, 1);
    layout->addLayout(buttons);

    OpenFolder = [](const QString& folder) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    };
    connect(OpenFolderButton, &QPushButton::clicked, this, [this] { OpenFolder(FolderToOpen()); });
    connect(List, &QTreeWidget::itemDoubleClicked, this, [this] { OpenFolder(FolderToOpen()); });
    connect(CloseButton, &QPushButton::clicked, this, &QWidget::close);
    connect(&Store, &THistoryStore::changed, this, [this] {
        if (isVisible()) Fill();
    });
    Fill();
}

void THistoryWindow::showEvent(QShowEvent* event) {
    // Another copy of the program may have added to the file.
    Store.Reload();
    QWidget::showEvent(event);
}

void THistoryWindow::Fill() {
    List->clear();
    const QList<THistoryEntry>& entries = Store.Entries();
    QList<QTreeWidgetItem*> items;
    items.reserve(entries.size());
    for (auto e = entries.crbegin(); e != entries.crend(); ++e) {
        auto* item = new QTreeWidgetItem;
        item->setText(ColWhen,
                      e->When.toLocalTime().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
        item->setText(ColPeer, e->Peer);
        item->setText(ColFile, e->File);
        item->setText(ColSize, e->File.isEmpty() ? QString() : SizeText(e->Size));
        item->setTextAlignment(ColSize, Qt::AlignRight | Qt::AlignVCenter);
        item->setText(ColOutcome, OutcomeText(e->Outcome));
        item->setText(ColStored, e->StoredAt);
        item->setData(ColWhen, StoredRole, e->StoredAt);
        if (!e->Detail.isEmpty()) {
            for (int c = 0; c < ColumnCount; ++c)
                item->setToolTip(c, e->Detail);
        }
        items << item;
    }
    List->addTopLevelItems(items);
    for (int c = 0; c < ColStored; ++c)
        List->resizeColumnToContents(c);
    if (!items.isEmpty()) List->setCurrentItem(items.front());
}

QString THistoryWindow::FolderToOpen() const {
    const QTreeWidgetItem* item = List->currentItem();
    if (!item) return ReceiveFolder;
    const QString stored = item->data(ColWhen, StoredRole).toString();
    const QFileInfo info(stored);
    if (info.isDir()) return info.absoluteFilePath();
    const QString folder = info.absolutePath();
    return QFileInfo(folder).isDir() ? folder : ReceiveFolder;
}

} // namespace relvane::app
