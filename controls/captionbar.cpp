#include "controls/captionbar.h"

#include <QEvent>
#include <QFrame>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

#include <algorithm>

namespace relvane {

namespace {
constexpr int FrameWidth = 2; // QFrame::WinPanel's
constexpr int TextIndent = 4;

QFont CaptionFont(QFont font) {
    font.setBold(true);
    return font;
}
} // namespace

TCaptionBar::TCaptionBar(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("CaptionBar"));
    setFixedHeight(HeightFor(font()));
    window()->installEventFilter(this);
}

int TCaptionBar::HeightFor(const QFont& font) {
    return std::max(18, QFontMetrics(CaptionFont(font)).height() + 6);
}

bool TCaptionBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window() &&
        (event->type() == QEvent::WindowTitleChange || event->type() == QEvent::ActivationChange))
        update();
    return QWidget::eventFilter(watched, event);
}

void TCaptionBar::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    const bool active = window()->isActiveWindow();
    const QPalette& p = palette();
    const QColor from =
        active ? p.color(QPalette::Active, QPalette::Highlight) : p.color(QPalette::Dark);
    QLinearGradient gradient(0, 0, width(), 0);
    gradient.setColorAt(0, from);
    gradient.setColorAt(1, active ? from.lighter(170) : p.color(QPalette::Midlight));
    painter.fillRect(rect(), gradient);

    painter.setFont(CaptionFont(font()));
    painter.setPen(active ? p.color(QPalette::Active, QPalette::HighlightedText)
                          : p.color(QPalette::Window));
    const QRect textRect = rect().adjusted(TextIndent, 0, -TextIndent, 0);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                     painter.fontMetrics().elidedText(window()->windowTitle(), Qt::ElideRight,
                                                      textRect.width()));
}

void TCaptionBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    QWindow* handle = window()->windowHandle();
    if (handle != nullptr && handle->startSystemMove()) return;
    Dragging = true;
    DragOffset = event->globalPosition().toPoint() - window()->pos();
}

void TCaptionBar::mouseMoveEvent(QMouseEvent* event) {
    if (Dragging) window()->move(event->globalPosition().toPoint() - DragOffset);
}

void TCaptionBar::mouseReleaseEvent(QMouseEvent* /*event*/) {
    Dragging = false;
}

TCaptionBar* FrameWithCaption(QWidget& window, QWidget& client) {
    auto* frame = new QFrame(&window);
    frame->setObjectName(QStringLiteral("WindowFrame"));
    frame->setFrameStyle(QFrame::WinPanel | QFrame::Raised);
    auto* caption = new TCaptionBar(frame);
    const int width = client.width();
    caption->setGeometry(FrameWidth, FrameWidth, width, caption->height());
    client.setParent(frame);
    client.move(FrameWidth, FrameWidth + caption->height());
    client.show(); // a new parent hides a child
    frame->setGeometry(0, 0, width + 2 * FrameWidth,
                       client.height() + caption->height() + 2 * FrameWidth);
    window.setFixedSize(frame->size());
    return caption;
}

} // namespace relvane
