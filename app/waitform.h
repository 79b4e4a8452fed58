#pragma once
// The wait window: shown while a server waits for its peer or a connection
// is being made. Its cancel button, Escape and its close box only raise a
// flag that the waiting action polls.

#include <QWidget>

class QLabel;
class QPushButton;

namespace relvane::app {

class TWaitForm : public QWidget {
    Q_OBJECT
public:
    explicit TWaitForm(QWidget* parent = nullptr);

    void SetMessage(const QString& text);
    [[nodiscard]] QString Message() const;
    // A note under the message, on up to two lines; the window grows to hold it.
    void SetNote(const QString& text);
    [[nodiscard]] QString Note() const;
    [[nodiscard]] bool CancelPressed() const { return FCancelPressed; }

    QLabel* MsgLabel;
    QLabel* NoteLabel;
    QPushButton* CancelButton;

    void CancelButtonClick();

signals:
    // The user gives the wait up (the button or the close box).
    void cancelRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    bool FCancelPressed = false;
};

} // namespace relvane::app
