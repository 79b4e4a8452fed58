#include "controls/grphprogressbar.h"

#include <QFontMetrics>
#include <QPainter>

#include <cmath>

namespace relvane {

namespace {

QRgb PlainRgb(TColor c) {
    return qRgb(ColorRed(c), ColorGreen(c), ColorBlue(c));
}

// One ring of the sunken frame, corners (l, t) and (r, b) inclusive: shadow
// on the left and top, highlight on the right and bottom, so the top-right
// and bottom-left corners end in the highlight.
void SunkenRing(QPainter& p, int l, int t, int r, int b, const QColor& shadow,
                const QColor& highlight) {
    if (r < l || b < t) return;
    p.fillRect(QRect(l, t + 1, 1, b - t), shadow);    // left column, rows t + 1 .. b
    p.fillRect(QRect(l, t, r - l, 1), shadow);        // top row, columns l .. r - 1
    p.fillRect(QRect(r, t, 1, b - t), highlight);     // right column, rows t .. b - 1
    p.fillRect(QRect(l, b, r - l + 1, 1), highlight); // bottom row, columns l .. r
}

} // namespace

TGrphProgressBar::TGrphProgressBar(QWidget* owner) : QWidget(owner) {
    // Every pixel is painted here; the parent need not paint underneath.
    setAttribute(Qt::WA_OpaquePaintEvent);
    resize(100, 100);
}

std::optional<double> TGrphProgressBar::Fraction(std::int32_t value) const {
    if (FMaxValue == FMinValue) return std::nullopt;
    // In double: the differences of two 32-bit values do not wrap.
    return (double(value) - double(FMinValue)) / (double(FMaxValue) - double(FMinValue));
}

QImage TGrphProgressBar::Picture() {
    const int w = width();
    const int h = height();
    if (w <= 0 || h <= 0) return {};

    QImage picture(w, h, QImage::Format_RGB32);
    PaintRect = {0, 0, w, h};
    picture.fill(ResolveColor(FBackColor));

    if (FTransparent) {
        QWidget* parent = parentWidget();
        if (parent != nullptr && parent->isWindow())
            parent->render(&picture, QPoint(0, 0), QRegion(geometry()),
                           QWidget::DrawWindowBackground);
    }

    {
        QPainter p(&picture);
        if (FBorderStyle == TBorderStyle::bsSingle) {
            const QColor black(Qt::black);
            p.fillRect(QRect(0, 0, w, 1), black);
            p.fillRect(QRect(0, h - 1, w, 1), black);
            p.fillRect(QRect(0, 0, 1, h), black);
            p.fillRect(QRect(w - 1, 0, 1, h), black);
            PaintRect = {1, 1, w - 1, h - 1};
        }
        if (FCtl3D) {
            const QColor shadow = ResolveColor(clBtnShadow);
            const QColor highlight = ResolveColor(clBtnHighlight);
            for (int ring = 0; ring < 2; ++ring)
                SunkenRing(p, PaintRect.Left + ring, PaintRect.Top + ring,
                           PaintRect.Right - 1 - ring, PaintRect.Bottom - 1 - ring, shadow,
                           highlight);
            PaintRect = {PaintRect.Left + 2, PaintRect.Top + 2, PaintRect.Right - 2,
                         PaintRect.Bottom - 2};
        }
    }

    // An empty span (MaxValue = MinValue) has no fraction: frames only.
    if (const std::optional<double> fraction = Fraction(FPosition)) {
        DrawBar(picture, *fraction);
        if (FShowText) DrawPercentText(picture, FPosition);
    }
    return picture;
}

void TGrphProgressBar::DrawBar(QImage& picture, double fraction) const {
    const TRect r = PaintRect;
    if (r.Right <= r.Left || r.Bottom <= r.Top) return;
    QPainter p(&picture);
    switch (FKind) {
    case TGrphProgressKind::pkText:
        break;
    case TGrphProgressKind::pkHorizontalBar: {
        // Columns count from the control's left edge; at fraction 1 the bar
        // ends at the last column inside the frames, and beyond it is cut there.
        const double last = r.Right - 1;
        const double fill = std::trunc(fraction * last);
        if (!(fill >= r.Left)) break;
        for (int x = fill > last ? r.Right - 1 : int(fill); x >= r.Left; --x)
            p.fillRect(QRect(x, r.Top, 1, r.Bottom - r.Top), QColor(GradationColor(x)));
        break;
    }
    case TGrphProgressKind::pkVerticalBar: {
        // Rows count upward from the control's bottom edge, kept inside the
        // frames as the horizontal bar is.
        const int h = picture.height();
        const double last = h - 1 - r.Top;
        const int first = h - r.Bottom;
        const double fill = std::trunc(fraction * last);
        if (!(fill >= first)) break;
        for (int y = fill > last ? int(last) : int(fill); y >= first; --y)
            p.fillRect(QRect(r.Left, h - 1 - y, r.Right - r.Left, 1), QColor(GradationColor(y)));
        break;
    }
    }
}

QRgb TGrphProgressBar::GradationColor(int d) const {
    if (FGradation == TGrphProgressGradation::pgNone) return PlainRgb(FStartColor);
    double length = FKind == TGrphProgressKind::pkVerticalBar ? PaintRect.Bottom : PaintRect.Right;
    if (FGradation == TGrphProgressGradation::pgPart)
        length = std::trunc(length * (double(FPosition) - double(FMinValue)) /
                            (double(FMaxValue) - double(FMinValue)));
    if (d == 0) return PlainRgb(FStartColor);
    if (length < d) return PlainRgb(FEndColor);
    const double t = d / length;
    auto step = [t](int s, int e) { return int(std::trunc((e - s) * t + s)); };
    return qRgb(step(ColorRed(FStartColor), ColorRed(FEndColor)),
                step(ColorGreen(FStartColor), ColorGreen(FEndColor)),
                step(ColorBlue(FStartColor), ColorBlue(FEndColor)));
}

void TGrphProgressBar::DrawPercentText(QImage& surface, std::int32_t value) const {
    const std::optional<double> fraction = Fraction(value);
    if (!fraction) return;
    const auto percent = static_cast<std::int64_t>(std::trunc(*fraction * 100));
    const QString text = QString::number(percent) + QLatin1Char('%');

    const int w = surface.width();
    const int h = surface.height();
    QImage mask(w, h, QImage::Format_RGB32);
    mask.fill(Qt::black);
    {
        QFont f = font();
        // Plain black and white pixels, so exclusive-or inverts exactly.
        f.setStyleStrategy(QFont::NoAntialias);
        QPainter p(&mask);
        p.setFont(f);
        p.setPen(Qt::white);
        const QFontMetrics fm = p.fontMetrics();
        const int x = (w - fm.horizontalAdvance(text)) / 2;
        const int y = (h - fm.height()) / 2;
        p.setClipRect(QRect(PaintRect.Left, PaintRect.Top, PaintRect.Right - PaintRect.Left,
                            PaintRect.Bottom - PaintRect.Top));
        p.drawText(QPoint(x, y + fm.ascent()), text);
    }
    for (int row = 0; row < h; ++row) {
        auto* dst = reinterpret_cast<QRgb*>(surface.scanLine(row));
        const auto* src = reinterpret_cast<const QRgb*>(mask.constScanLine(row));
        for (int col = 0; col < w; ++col)
            dst[col] ^= src[col] & 0x00FFFFFFu;
    }
}

void TGrphProgressBar::paintEvent(QPaintEvent* /*event*/) {
    const QImage picture = Picture();
    if (picture.isNull()) return;
    QPainter p(this);
    p.drawImage(0, 0, picture);
}

} // namespace relvane
