#pragma once
// A caption strip drawn by the window itself, for windows that must offer no
// close, minimise or maximise button. Some window managers (openbox) put all
// three on every title bar they draw, whatever the window's hints say; the
// one hint they all honour is "no title bar". Such a window asks for none and
// shows its caption here, inside a raised frame of its own; dragging the
// strip moves the window, and the window manager still stacks, focuses and
// closes it (a close request is the window's to refuse).

#include <QPoint>
#include <QWidget>

namespace relvane {

// A top-level window without any title-bar button: the window manager draws
// neither a title bar nor a frame (FrameWithCaption supplies both). A dialog,
// because on X11 Qt tells the window manager which window a window belongs to
// (WM_TRANSIENT_FOR, which keeps it above that one) only for dialogs and tools.
inline constexpr Qt::WindowFlags NoButtonsWindowFlags = Qt::Dialog | Qt::CustomizeWindowHint;

class TCaptionBar : public QWidget {
    Q_OBJECT
public:
    // A strip that shows the title of the window it lies in.
    explicit TCaptionBar(QWidget* parent);

    // Tall enough for the caption's bold font.
    [[nodiscard]] static int HeightFor(const QFont& font);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool Dragging = false; // moved by hand where the window system cannot
    QPoint DragOffset;
};

// Puts `client` (already at its final size) into `window` below a caption
// strip, both inside a raised frame, and fixes the window's size to fit.
TCaptionBar* FrameWithCaption(QWidget& window, QWidget& client);

} // namespace relvane
