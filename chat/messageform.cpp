#include "chat/messageform.h"

#include "platform/sjis.h"
#include "session/session.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSaveFile>
#include <QVBoxLayout>

namespace relvane {

namespace {

constexpr int EnterKey = 13;

QString AskSaveFile(QWidget* parent) {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(
        {QStringLiteral("ログファイル(*.log)"), QStringLiteral("すべてのファイル(*.*)")});
    dialog.setDefaultSuffix(QStringLiteral("log"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

void ShowError(QWidget* parent, const QString& text) {
    QMessageBox::critical(parent, ChatMessageCaption(), text);
}

QStringList SplitLines(const QString& text) {
    static const QRegularExpression breaks(QStringLiteral("\r\n|\r|\n"));
    return text.split(breaks);
}

} // namespace

TMessageForm::TMessageForm(QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                         Qt::WindowCloseButtonHint),
      ChooseSaveFile(&AskSaveFile), ShowMessage(&ShowError), LogMemo(new QPlainTextEdit(this)),
      MessageMemo(new QPlainTextEdit(this)), LogMenu(new QMenu(this)),
      SaveLogItem(LogMenu->addAction(QStringLiteral("ログ保存(&S)"))) {
    setObjectName(QStringLiteral("MessageForm"));
    setWindowTitle(QStringLiteral("チャット画面"));
    QFont f(QStringLiteral("ＭＳ Ｐゴシック"));
    f.setPixelSize(12);
    setFont(f);
    resize(328, 285);
    // Closing only hides the window (it is never deleted on close), and the
    // main window's closing, not this one's, ends the program.
    setAttribute(Qt::WA_QuitOnClose, false);

    LogMemo->setObjectName(QStringLiteral("LogMemo"));
    MessageMemo->setObjectName(QStringLiteral("MessageMemo"));
    LogMenu->setObjectName(QStringLiteral("PopupMenu1"));
    SaveLogItem->setObjectName(QStringLiteral("S1"));
    LogMemo->setReadOnly(true);
    LogMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    LogMemo->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(LogMemo, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { LogMenu->popup(LogMemo->viewport()->mapToGlobal(at)); });
    connect(SaveLogItem, &QAction::triggered, this, [this] { SaveLogClick(); });

    MessageMemo->setFixedHeight(38);
    MessageMemo->installEventFilter(this);
    // Tab goes to the conversation, as the tab order says; typed into the
    // box it would be sent to the peer.
    MessageMemo->setTabChangesFocus(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(LogMemo, 1);
    layout->addWidget(MessageMemo);

    setTabOrder(MessageMemo, LogMemo);
    MessageMemo->setFocus();
}

void TMessageForm::AddLine(const QString& name, const QString& text) {
    for (const QString& line : SplitLines(name + QLatin1String(": ") + text)) {
        FLines.append(line);
        LogMemo->appendPlainText(line);
    }
}

void TMessageForm::ShowChat(const QString& peerName, const QString& text) {
    if (!isVisible()) {
        show();
        raise();
        activateWindow();
    }
    AddLine(peerName, text);
}

QString TMessageForm::MessageText() const {
    return SplitLines(MessageMemo->toPlainText()).join(QLatin1String("\r\n"));
}

void TMessageForm::ClearMessage() {
    MessageMemo->clear();
}

bool TMessageForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == MessageMemo && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // The box never takes Enter as a line break.
            MessageMemoKeyPress(EnterKey);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMessageForm::MessageMemoKeyPress(int key) {
    if (key == EnterKey && !MessageMemo->toPlainText().isEmpty() && OnSend) OnSend(*this);
}

void TMessageForm::FocusInputBox() {
    MessageMemo->setFocus(Qt::ActiveWindowFocusReason);
}

void TMessageForm::showEvent(QShowEvent* event) {
    // Whoever opens the window (the user or a peer's line), the reply is
    // typed at once: the input box has the focus, whatever had it before.
    if (!event->spontaneous()) FocusInputBox();
    QWidget::showEvent(event);
}

void TMessageForm::changeEvent(QEvent* event) {
    // Disabling the owner (while it waits for a connection) disables this
    // window too and takes the focus from the input box; give it back.
    if (event->type() == QEvent::EnabledChange && isEnabled() && focusWidget() == nullptr)
        FocusInputBox();
    QWidget::changeEvent(event);
}

void TMessageForm::SaveLogClick() {
    const QString chosen = ChooseSaveFile ? ChooseSaveFile(this) : QString();
    if (chosen.isEmpty()) return;
    SaveLog(chosen);
}

bool TMessageForm::SaveLog(const QString& chosen) {
    const QString path = LogFilePath(chosen);
    QByteArray bytes;
    for (const QString& line : FLines) {
        bytes += ToShiftJis(line);
        bytes += "\r\n";
    }
    // Written aside and put in place whole: a failed save leaves an earlier
    // file of that name as it was.
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        file.cancelWriting();
        if (ShowMessage)
            ShowMessage(
                this,
                QStringLiteral("ファイル %1 を作成できません").arg(QDir::toNativeSeparators(path)));
        return false;
    }
    return true;
}

QString ChatMessageCaption() {
    return QStringLiteral("TCP/IP Relvane");
}

QString LogFilePath(const QString& chosen) {
    const qsizetype slash = chosen.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = chosen.lastIndexOf(QLatin1Char('.'));
    return dot > slash ? chosen : chosen + QLatin1String(".log");
}

void SendChatText(TMessageForm& form, const QString& userName,
                  const std::function<ChatDelivery(const QString& text)>& deliver) {
    // What one frame can carry is what is shown and sent.
    const QString text = CutChatText(form.MessageText());
    form.AddLine(userName, text);
    if (deliver(text) == ChatDelivery::NotConnected)
        form.AddLine(QStringLiteral("Error"), NotConnectedText());
    form.ClearMessage();
}

} // namespace relvane
