#include "controls/checkindicator.h"
#include "tests/support/wait.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPalette>
#include <QWindow>
#include <gtest/gtest.h>

#include <array>

namespace relvane {
namespace {

constexpr std::array<const char*, 12> Lit = {
    "WWWWKKKKWWWW", "WWKKBBBBKKWW", "WKBBBBBBBDKW", "WKBBBBBBBBKW", "KBBBBBBBBBDK", "KBBBBBBBBBDK",
    "KBBBBBBBBBDK", "KBBBBBBBBBDK", "WKBBBBBBBDKW", "WKDBBBBBDDKW", "WWKKDDDDKKWW", "WWWWKKKKWWWW",
};
constexpr std::array<const char*, 12> Unlit = {
    "WWWWKKKKWWWW", "WWKKDDDDKKWW", "WKDDDDDDDDKW", "WKDDDDDDDDKW", "KDDDDDDDDDDK", "KDDDDDDDDDDK",
    "KDDDDDDDDDDK", "KDDDDDDDDDDK", "WKDDDDDDDDKW", "WKDDDDDDDDKW", "WWKKDDDDKKWW", "WWWWKKKKWWWW",
};

struct Case {
    TIndicatorColor Color;
    QRgb Bright, Dark;
};
const std::array<Case, 5> Cases = {{
    {TIndicatorColor::icGreen, qRgb(0, 255, 0), qRgb(0, 128, 0)},
    {TIndicatorColor::icRed, qRgb(255, 0, 0), qRgb(128, 0, 0)},
    {TIndicatorColor::icYellow, qRgb(255, 255, 0), qRgb(128, 128, 0)},
    {TIndicatorColor::icBlue, qRgb(0, 0, 255), qRgb(0, 0, 128)},
    {TIndicatorColor::icAqua, qRgb(0, 255, 255), qRgb(0, 128, 128)},
}};

TEST(LampTest, PicturesMatchTheMapsAndLeaveTheGroundShowing) {
    const QRgb ground = qRgb(255, 0, 255);
    for (const Case& c : Cases) {
        for (bool on : {true, false}) {
            SCOPED_TRACE(testing::Message() << int(c.Color) << (on ? " on" : " off"));
            // The lamp on a form of its own colour, as in a window.
            QWidget form;
            QPalette palette = form.palette();
            palette.setColor(QPalette::Window, QColor(ground));
            form.setPalette(palette);
            form.setAutoFillBackground(true);
            form.resize(20, 20);
            TCheckIndicator lamp(&form);
            lamp.SetBounds(3, 4, 12, 12);
            lamp.SetColor(c.Color);
            lamp.SetChecked(on);
            QImage img(12, 12, QImage::Format_RGB32);
            form.render(&img, QPoint(), QRegion(3, 4, 12, 12));
            const auto& map = on ? Lit : Unlit;
            for (int y = 0; y < 12; ++y)
                for (int x = 0; x < 12; ++x) {
                    QRgb want = ground;
                    switch (map[y][x]) {
                    case 'K':
                        want = qRgb(0, 0, 0);
                        break;
                    case 'B':
                        want = c.Bright;
                        break;
                    case 'D':
                        want = c.Dark;
                        break;
                    default:
                        break;
                    }
                    ASSERT_EQ(img.pixel(x, y), want) << "at " << x << "," << y;
                }
        }
    }
}

TEST(LampTest, StaysTwelveSquareWherePlaced) {
    QWidget parent;
    TCheckIndicator lamp(&parent);
    EXPECT_EQ(lamp.size(), QSize(12, 12));
    EXPECT_FALSE(lamp.Checked());
    EXPECT_EQ(lamp.Color(), TIndicatorColor::icGreen);
    lamp.SetBounds(5, 7, 30, 30);
    EXPECT_EQ(lamp.geometry(), QRect(5, 7, 12, 12));
    lamp.setGeometry(40, 3, 30, 30);
    EXPECT_EQ(lamp.geometry(), QRect(40, 3, 12, 12));
    lamp.resize(1, 1);
    EXPECT_EQ(lamp.geometry(), QRect(40, 3, 12, 12));
}

TEST(LampTest, PicturesAreFoundWhateverTheLetterCase) {
    EXPECT_EQ(LampPicture(u"GREENON"), LampPicture(u"GreenOn"));
    EXPECT_EQ(LampPicture(u"aquaoff"), LampPicture(u"AQUAOFF"));
    EXPECT_NE(LampPicture(u"AQUAON"), LampPicture(u"AQUAOFF"));
    EXPECT_TRUE(LampPicture(u"PURPLEON").isNull());
}

TEST(LampTest, SettingTheSameValueStillRepaints) {
    TCheckIndicator lamp;
    lamp.SetChecked(true);
    lamp.show();
    ASSERT_TRUE(test::WaitFor([&] { return lamp.windowHandle()->isExposed(); }));
    int paints = 0;
    struct Counter : QObject {
        int* Count;
        explicit Counter(int* c) : Count(c) {}
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++*Count;
            return false;
        }
    } counter(&paints);
    const QImage before = lamp.grab().toImage();
    lamp.installEventFilter(&counter);
    lamp.SetChecked(true);
    EXPECT_EQ(paints, 0); // deferred
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_GE(paints, 1);
    EXPECT_EQ(lamp.grab().toImage(), before);
}

} // namespace
} // namespace relvane
