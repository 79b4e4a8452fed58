#include "app/waitform.h"

#include "app/consts.h"
#include "app/images.h"
#include "app/uifont.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

namespace relvane::app {

namespace {
// Created owned by the main window, so the window manager keeps it above the
// main window it stands for. The window measures 266 x 93 with a sizeable frame and a caption; the
// frame is the window manager's, so the client area is given.
constexpr int ClientWidth = 258;
constexpr int ClientHeight = 66;
constexpr int NoteHeight = 32;
} // namespace

TWaitForm::TWaitForm(QWidget* parent) : QWidget(parent, Qt::Dialog) {
    setObjectName(QStringLiteral("WaitForm"));
    setWindowTitle(WaitCaption());
    setFont(FormFont());
    resize(ClientWidth, ClientHeight);

    MsgLabel = new QLabel(this);
    MsgLabel->setObjectName(QStringLiteral("MsgLabel"));
    MsgLabel->setFont(FormFont(16));
    MsgLabel->setGeometry(33, 8, 193, 16);

    NoteLabel = new QLabel(this);
    NoteLabel->setObjectName(QStringLiteral("NoteLabel"));
    NoteLabel->setGeometry(8, 30, ClientWidth - 16, NoteHeight);
    NoteLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    NoteLabel->setWordWrap(true);
    NoteLabel->hide();

    CancelButton =
        new QPushButton(MenuIcon(TMenuImage::miCancel), QStringLiteral("キャンセル"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setGeometry(78, 32, 101, 25);
    connect(CancelButton, &QPushButton::clicked, this, &TWaitForm::CancelButtonClick);

    CenterOnScreen(this);
}

void TWaitForm::SetMessage(const QString& text) {
    MsgLabel->setText(text);
}

QString TWaitForm::Message() const {
    return MsgLabel->text();
}

void TWaitForm::SetNote(const QString& text) {
    NoteLabel->setText(text);
    if (NoteLabel->isVisibleTo(this) == !text.isEmpty()) return;
    NoteLabel->setVisible(!text.isEmpty());
    const int extra = text.isEmpty() ? 0 : NoteHeight + 2;
    CancelButton->move(CancelButton->x(), 32 + extra);
    resize(ClientWidth, ClientHeight + extra);
}

QString TWaitForm::Note() const {
    return NoteLabel->text();
}

void TWaitForm::CancelButtonClick() {
    if (FCancelPressed) return;
    FCancelPressed = true;
    emit cancelRequested();
}

void TWaitForm::closeEvent(QCloseEvent* event) {
    // The window goes when the waiting action ends, not before.
    CancelButtonClick();
    event->ignore();
}

void TWaitForm::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        CancelButtonClick();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace relvane::app
