#include "app/requestbar.h"

#include "app/images.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace relvane::app {

TRequestBar::TRequestBar(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("RequestBar"));
    setFrameShape(QFrame::StyledPanel);
    setFixedHeight(BarHeight);
    // The colour of a notice, so the bar is not taken for part of the form.
    setAutoFillBackground(true);
    QPalette look = palette();
    look.setColor(QPalette::Window, QColor(0xFF, 0xF4, 0xC8));
    look.setColor(QPalette::WindowText, Qt::black);
    setPalette(look);

    MessageLabel = new QLabel(this);
    MessageLabel->setObjectName(QStringLiteral("RequestLabel"));
    AcceptButton =
        new QPushButton(MenuIcon(TMenuImage::miConnect), QStringLiteral("接続する"), this);
    AcceptButton->setObjectName(QStringLiteral("RequestAcceptButton"));
    RefuseButton = new QPushButton(MenuIcon(TMenuImage::miCancel), QStringLiteral("断る"), this);
    RefuseButton->setObjectName(QStringLiteral("RequestRefuseButton"));
    for (QPushButton* button : {AcceptButton, RefuseButton})
        button->setPalette(QPalette());

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 2, 4, 2);
    row->setSpacing(4);
    row->addWidget(MessageLabel, 1);
    row->addWidget(AcceptButton);
    row->addWidget(RefuseButton);

    connect(AcceptButton, &QPushButton::clicked, this, &TRequestBar::accepted);
    connect(RefuseButton, &QPushButton::clicked, this, &TRequestBar::refused);
    hide();
}

void TRequestBar::ShowRequest(const QString& address) {
    MessageLabel->setText(QStringLiteral("%1 が接続を求めています").arg(address));
    show();
}

QString TRequestBar::Text() const {
    return MessageLabel->text();
}

} // namespace relvane::app
