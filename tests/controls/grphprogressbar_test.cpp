#include "controls/grphprogressbar.h"
#include "tests/controls/fonts.h"
#include "tests/support/wait.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QWindow>
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

namespace relvane {
namespace {

using Gradation = TGrphProgressGradation;
using ProgressKind = TGrphProgressKind;

QImage Shot(TGrphProgressBar& bar) {
    return bar.grab().toImage().convertToFormat(QImage::Format_RGB32);
}
QRgb Resolved(TColor c) {
    return ResolveColor(c).rgb();
}

// A background that neither frame colour nor white can be taken for.
constexpr TColor Ground = 0x090909;
const QRgb GroundRgb = qRgb(9, 9, 9);

// size w x h; frames on or off; no text.
void Prepare(TGrphProgressBar& bar, int w, int h, bool frames, TColor start, TColor end,
             Gradation g, int position) {
    bar.resize(w, h);
    bar.SetBorderStyle(TBorderStyle::bsNone);
    bar.SetBackColor(Ground);
    bar.SetCtl3D(frames);
    bar.SetShowText(false);
    bar.SetStartColor(start);
    bar.SetEndColor(end);
    bar.SetGradation(g);
    bar.SetPosition(position);
}

// The colours inside the frames.
std::set<QRgb> Colours(const QImage& img, int inset) {
    std::set<QRgb> seen;
    for (int y = inset; y < img.height() - inset; ++y)
        for (int x = inset; x < img.width() - inset; ++x)
            seen.insert(img.pixel(x, y));
    return seen;
}

class BarTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { test::UseProgramFonts(); }
};

TEST_F(BarTest, GradientColours) {
    TGrphProgressBar bar;
    // White to pure green over L = 200 columns without frames: column 100 is
    // half way, column 0 exactly StartColor.
    Prepare(bar, 200, 8, false, clWhite, clLime, Gradation::pgFull, 100);
    QImage img = Shot(bar);
    EXPECT_EQ(img.pixel(100, 4), qRgb(127, 255, 127));
    EXPECT_EQ(img.pixel(0, 4), qRgb(255, 255, 255));
    bar.SetPosition(0); // the single column 0 in StartColor
    bar.SetStartColor(RGBToColor(10, 20, 30));
    img = Shot(bar);
    EXPECT_EQ(img.pixel(0, 4), qRgb(10, 20, 30));
    EXPECT_EQ(img.pixel(1, 4), GroundRgb);

    // The status window's bar (449 wide, sunken frame, L = 447), black to white.
    for (Gradation g : {Gradation::pgFull, Gradation::pgPart}) {
        Prepare(bar, 449, 16, true, clBlack, clWhite, g, 100);
        img = Shot(bar);
        EXPECT_EQ(img.pixel(446, 8), qRgb(254, 254, 254)) << int(g); // one step short
        EXPECT_EQ(img.pixel(447, 8), Resolved(clBtnHighlight)) << int(g);
        EXPECT_EQ(img.pixel(446, 2), img.pixel(446, 13));
    }
    // At half position the filled part ends at column 223.
    bar.SetPosition(50);
    img = Shot(bar);
    EXPECT_EQ(img.pixel(200, 8), qRgb(228, 228, 228)); // pgPart: t = 200/223
    EXPECT_EQ(img.pixel(223, 8), qRgb(255, 255, 255));
    EXPECT_EQ(img.pixel(224, 8), Resolved(bar.BackColor()));
    bar.SetGradation(Gradation::pgFull);
    EXPECT_EQ(Shot(bar).pixel(200, 8), qRgb(114, 114, 114)); // t = 200/447

    // pgNone: solid StartColor whatever EndColor holds.
    Prepare(bar, 449, 16, true, RGBToColor(200, 100, 50), clBlue, Gradation::pgNone, 100);
    EXPECT_EQ(Colours(Shot(bar), 2), std::set<QRgb>{qRgb(200, 100, 50)});
}

TEST_F(BarTest, FramesAndTheEmptySpan) {
    const QRgb shadow = Resolved(clBtnShadow);
    const QRgb light = Resolved(clBtnHighlight);
    ASSERT_NE(shadow, light);
    TGrphProgressBar bar;
    Prepare(bar, 20, 10, true, clRed, clRed, Gradation::pgNone, 0);
    QImage img = Shot(bar);
    for (int ring = 0; ring < 2; ++ring) {
        const int l = ring, t = ring, r = 19 - ring, b = 9 - ring;
        EXPECT_EQ(img.pixel(l, t), shadow) << ring;
        EXPECT_EQ(img.pixel(r - 1, t), shadow) << ring;
        EXPECT_EQ(img.pixel(l, b - 1), shadow) << ring;
        EXPECT_EQ(img.pixel(r, t), light) << ring;
        EXPECT_EQ(img.pixel(l, b), light) << ring;
        EXPECT_EQ(img.pixel(r, b), light) << ring;
    }
    EXPECT_EQ(img.pixel(2, 2), GroundRgb); // position 0: no bar

    // The border is black and moves the rings one pixel in. With MaxValue =
    // MinValue there is neither bar nor text: the same picture as a bar at its
    // minimum without text.
    TGrphProgressBar empty;
    for (TGrphProgressBar* b : {&bar, &empty}) {
        b->SetBorderStyle(TBorderStyle::bsSingle);
        b->SetBackColor(Ground);
        b->resize(120, 20);
    }
    empty.SetShowText(true);
    empty.SetStartColor(clRed);
    empty.SetMaxValue(0);
    empty.SetPosition(5);
    img = Shot(empty);
    EXPECT_EQ(img, Shot(bar));
    EXPECT_EQ(img.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(img.pixel(1, 1), shadow);
    EXPECT_EQ(img.pixel(118, 1), light);
    EXPECT_EQ(Colours(img, 3), std::set<QRgb>{GroundRgb});

    // Far beyond the maximum the bar stops at the frame.
    bar.SetPosition(1000000000);
    img = Shot(bar);
    EXPECT_EQ(img.pixel(116, 10), qRgb(255, 0, 0));
    EXPECT_EQ(img.pixel(117, 10), light);
}

// The text drawn independently: black, centred on the control, on white.
QImage ExpectedText(const TGrphProgressBar& bar, const QString& text) {
    QImage img(bar.size(), QImage::Format_RGB32);
    img.fill(Qt::white);
    QFont f = bar.font();
    f.setStyleStrategy(QFont::NoAntialias);
    QPainter p(&img);
    p.setFont(f);
    const QFontMetrics fm(f);
    p.drawText(QPoint((img.width() - fm.horizontalAdvance(text)) / 2,
                      (img.height() - fm.height()) / 2 + fm.ascent()),
               text);
    return img;
}

TEST_F(BarTest, PercentageText) {
    TGrphProgressBar bar;
    Prepare(bar, 120, 24, false, clBlack, clBlack, Gradation::pgNone, 150);
    bar.SetKind(ProgressKind::pkText);
    bar.SetBackColor(clWhite);
    bar.SetShowText(true);
    ASSERT_NE(ExpectedText(bar, "150%"), ExpectedText(bar, "100%"));
    EXPECT_EQ(Shot(bar), ExpectedText(bar, "150%")); // not limited to 100
    bar.SetMinValue(-100);
    bar.SetPosition(-300);
    EXPECT_EQ(Shot(bar), ExpectedText(bar, "-100%"));

    // Exclusive-or: black over white, red over aqua, white over black.
    bar.SetKind(ProgressKind::pkHorizontalBar);
    bar.SetMinValue(0);
    bar.SetPosition(0);
    bar.SetCtl3D(true);
    EXPECT_EQ(Colours(Shot(bar), 3), (std::set<QRgb>{qRgb(0, 0, 0), qRgb(255, 255, 255)}));
    bar.SetPosition(100);
    bar.SetStartColor(clAqua);
    EXPECT_EQ(Colours(Shot(bar), 3), (std::set<QRgb>{qRgb(255, 0, 0), qRgb(0, 255, 255)}));
    bar.SetStartColor(clBlack);
    EXPECT_EQ(Colours(Shot(bar), 3), (std::set<QRgb>{qRgb(255, 255, 255), qRgb(0, 0, 0)}));
}

TEST_F(BarTest, VerticalBarGrowsUpwardInsideTheFrames) {
    TGrphProgressBar bar;
    Prepare(bar, 10, 101, false, clBlue, clBlue, Gradation::pgNone, 50);
    bar.SetKind(ProgressKind::pkVerticalBar);
    QImage img = Shot(bar);
    EXPECT_EQ(img.pixel(5, 100), qRgb(0, 0, 255));
    EXPECT_EQ(img.pixel(5, 50), qRgb(0, 0, 255));
    EXPECT_EQ(img.pixel(5, 49), GroundRgb);
    bar.SetCtl3D(true);
    bar.SetPosition(100);
    img = Shot(bar);
    EXPECT_EQ(img.pixel(5, 98), qRgb(0, 0, 255));
    EXPECT_EQ(img.pixel(5, 2), qRgb(0, 0, 255));
    EXPECT_EQ(img.pixel(5, 1), Resolved(clBtnShadow));
    EXPECT_EQ(img.pixel(5, 99), Resolved(clBtnHighlight));
}

TEST_F(BarTest, TransparentShowsTheFormBeneath) {
    class Form : public QWidget { // every pixel tells its place
    protected:
        void paintEvent(QPaintEvent*) override {
            QPainter p(this);
            for (int y = 0; y < height(); ++y)
                for (int x = 0; x < width(); ++x)
                    p.fillRect(x, y, 1, 1, QColor(x, y, 77));
        }
    } form;
    form.resize(100, 60);
    auto* bar = new TGrphProgressBar(&form);
    Prepare(*bar, 40, 16, false, clRed, clRed, Gradation::pgNone, 0);
    bar->move(10, 20);
    bar->SetKind(ProgressKind::pkText);
    bar->SetTransparent(true);
    QImage img = Shot(*bar);
    EXPECT_EQ(img.pixel(0, 0), qRgb(10, 20, 77));
    EXPECT_EQ(img.pixel(39, 15), qRgb(49, 35, 77));
    QWidget panel(&form); // inside anything but a form: no effect
    bar->setParent(&panel);
    EXPECT_EQ(Shot(*bar).pixel(0, 0), GroundRgb);
}

TEST_F(BarTest, SettersRepaintAtOnceAndOnlyOnChange) {
    TGrphProgressBar bar;
    bar.show();
    ASSERT_TRUE(test::WaitFor([&] { return bar.windowHandle()->isExposed(); }));
    QCoreApplication::processEvents();
    int paints = 0;
    struct Counter : QObject {
        int* Count;
        explicit Counter(int* c) : Count(c) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++*Count;
            return false;
        }
    } counter(&paints);
    bar.installEventFilter(&counter);

    // Each setter with the value it holds, then with another.
    const std::vector<std::function<void(bool)>> setters = {
        [&](bool c) { bar.SetMinValue(c ? -5 : bar.MinValue()); },
        [&](bool c) { bar.SetMaxValue(c ? 500 : bar.MaxValue()); },
        [&](bool c) { bar.SetPosition(c ? 7 : bar.Position()); },
        [&](bool c) { bar.SetShowText(c != bar.ShowText()); },
        [&](bool c) { bar.SetBorderStyle(c ? TBorderStyle::bsNone : bar.BorderStyle()); },
        [&](bool c) { bar.SetStartColor(c ? clRed : bar.StartColor()); },
        [&](bool c) { bar.SetEndColor(c ? clBlue : bar.EndColor()); },
        [&](bool c) { bar.SetBackColor(c ? clAqua : bar.BackColor()); },
        [&](bool c) { bar.SetTransparent(c != bar.Transparent()); },
        [&](bool c) { bar.SetKind(c ? ProgressKind::pkText : bar.Kind()); },
        [&](bool c) { bar.SetGradation(c ? Gradation::pgPart : bar.Gradation()); },
        [&](bool c) { bar.SetCtl3D(c != bar.Ctl3D()); },
    };
    for (std::size_t i = 0; i < setters.size(); ++i) {
        paints = 0;
        setters[i](false);
        EXPECT_EQ(paints, 0) << "setter " << i << " repainted an unchanged value";
        setters[i](true);
        EXPECT_EQ(paints, 1) << "setter " << i << " did not repaint at once";
    }
}

} // namespace
} // namespace relvane
