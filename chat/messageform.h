#pragma once
// The chat window (layout name MessageForm): the conversation, one line per
// message, and an input box in which Enter sends. The window only announces
// the wish to send (OnSend); the main window owns the connection and sends.

#include <QByteArray>
#include <QMenu>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>

namespace relvane {

class TMessageForm : public QWidget {
    Q_OBJECT
public:
    explicit TMessageForm(QWidget* owner = nullptr);

    // Appends name + ": " + text. A text with line breaks spans several lines.
    void AddLine(const QString& name, const QString& text);
    // A peer's line: shows the window first if it is hidden (it comes to the
    // front), leaves it where it is otherwise.
    void ShowChat(const QString& peerName, const QString& text);
    // The conversation, one entry per line, in the order added.
    [[nodiscard]] const QStringList& Lines() const { return FLines; }

    // The input box's text, line breaks as CR LF.
    [[nodiscard]] QString MessageText() const;
    void ClearMessage();

    // "ログ保存(&S)": asks for a file and saves the conversation into it.
    void SaveLogClick();
    // Writes the conversation to `path` (".log" added to a name without
    // extension) in Shift-JIS, CR LF after every line. On failure shows
    // "ファイル %s を作成できません" and returns false.
    bool SaveLog(const QString& path);

    // Raised by Enter in a non-empty input box (the main window's SendChatMessage).
    std::function<void(TMessageForm&)> OnSend;
    // The save dialog and the message box; tests replace them so nothing blocks.
    // ChooseSaveFile returns an empty text when the user cancels.
    std::function<QString(QWidget* parent)> ChooseSaveFile;
    std::function<void(QWidget* parent, const QString& text)> ShowMessage;

    QPlainTextEdit* const LogMemo;     // the conversation
    QPlainTextEdit* const MessageMemo; // the input box
    QMenu* const LogMenu;              // layout name PopupMenu1
    QAction* const SaveLogItem;        // layout name S1

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void MessageMemoKeyPress(int key);
    void FocusInputBox();

    QStringList FLines;
};

// The caption of the chat's message boxes: the application title.
[[nodiscard]] QString ChatMessageCaption();

// The path a log is written to: ".log" appended when the file name (after the
// last "/") has no ".".
[[nodiscard]] QString LogFilePath(const QString& chosen);

// What became of a chat frame handed to the connection.
enum class ChatDelivery {
    Sent,         // taken by the connection (or dropped by one that has ended)
    NotConnected, // no connection at all: the error line follows
};

// The body of SendChatMessage: echoes the input box's text under userName,
// hands the Chat frame to `deliver`, adds "Error: 接続されてません" when nothing
// is connected, and empties the input box. An exception from `deliver` leaves
// the echo and the input box's text as they are and passes on.
void SendChatText(TMessageForm& form, const QString& userName,
                  const std::function<ChatDelivery(const QString& text)>& deliver);

} // namespace relvane
