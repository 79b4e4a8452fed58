#include "status/anime.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <array>
#include <cmath>
#include <numbers>
#include <vector>

namespace relvane {

namespace {

constexpr int PageFrames = 4;
constexpr int GlobeFrames = 80;

QImage Blank() {
    QImage image(AnimeFrameSize, AnimeFrameSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// A page with a folded corner, and three arrow heads that light up one by one.
QImage PageFrame(int index) {
    QImage image = Blank();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, false);

    const QPolygon page(
        {QPoint(3, 5), QPoint(11, 5), QPoint(15, 9), QPoint(15, 26), QPoint(3, 26)});
    p.setPen(QColor(40, 40, 40));
    p.setBrush(Qt::white);
    p.drawPolygon(page);
    p.setBrush(QColor(200, 200, 200));
    p.drawPolygon(QPolygon({QPoint(11, 5), QPoint(11, 9), QPoint(15, 9)}));
    p.setPen(QColor(90, 110, 200));
    for (int y = 12; y <= 23; y += 3)
        p.drawLine(5, y, y == 12 ? 9 : 13, y);

    p.setRenderHint(QPainter::Antialiasing, true);
    for (int i = 0; i < 3; ++i) {
        const bool lit = i < index;
        p.setPen(QPen(lit ? QColor(0, 170, 0) : QColor(175, 175, 175), 2.5, Qt::SolidLine,
                      Qt::RoundCap, Qt::RoundJoin));
        const qreal x = 18 + i * 4.5;
        p.drawPolyline(QPolygonF({QPointF(x, 10.5), QPointF(x + 4, 15.5), QPointF(x, 20.5)}));
    }
    return image;
}

// A turning globe with a parcel on a tilted orbit; the globe turns once and
// the parcel circles once every 80 frames.
QImage GlobeFrame(int index) {
    constexpr double Pi = std::numbers::pi;
    const double turn = 2 * Pi * index / GlobeFrames;
    const QPointF centre(16, 16.5);
    constexpr double Radius = 10.5;

    QImage image = Blank();
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing, true);

    // The orbit, tilted; points on it with sin < 0 pass behind the globe.
    auto orbit = [&](double a) {
        const double x = 14.5 * std::cos(a);
        const double y = 5.0 * std::sin(a);
        const double tilt = -0.35;
        return centre + QPointF(x * std::cos(tilt) - y * std::sin(tilt),
                                x * std::sin(tilt) + y * std::cos(tilt));
    };
    auto drawOrbit = [&](bool front) {
        p.setPen(QPen(QColor(120, 120, 120, 150), 1.0, Qt::DotLine));
        QPolygonF arc;
        for (int i = 0; i <= 48; ++i) {
            const double a = (front ? 0.0 : Pi) + Pi * i / 48;
            arc << orbit(a);
        }
        p.drawPolyline(arc);
    };
    const double parcelAngle = turn;
    const bool parcelBehind = std::sin(parcelAngle) < 0;
    auto drawParcel = [&] {
        // A short trail, then the parcel itself.
        for (int k = 3; k >= 1; --k) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 170, 0, 60 + 40 * (3 - k)));
            p.drawEllipse(orbit(parcelAngle - 0.22 * k), 1.2, 1.2);
        }
        const QPointF at = orbit(parcelAngle);
        const QRectF box(at.x() - 3.5, at.y() - 2.5, 7, 5);
        p.setPen(QPen(QColor(120, 60, 0), 1.0));
        p.setBrush(QColor(255, 200, 40));
        p.drawRect(box);
        p.drawLine(box.topLeft(), box.center());
        p.drawLine(box.topRight(), box.center());
    };

    drawOrbit(false);
    if (parcelBehind) drawParcel();

    QRadialGradient sea(centre + QPointF(-3.5, -4), Radius * 1.5);
    sea.setColorAt(0, QColor(140, 200, 255));
    sea.setColorAt(1, QColor(10, 60, 170));
    p.setPen(QPen(QColor(10, 30, 90), 1.0));
    p.setBrush(sea);
    p.drawEllipse(centre, Radius, Radius);

    QPainterPath disc;
    disc.addEllipse(centre, Radius - 0.5, Radius - 0.5);
    p.save();
    p.setClipPath(disc);
    // Land: patches at fixed longitudes, drawn while they face the viewer.
    struct Land {
        double Longitude, Latitude, Width, Height;
    };
    constexpr std::array<Land, 4> lands = {{{0.3, -0.45, 4.5, 3.5},
                                            {1.2, 0.35, 5.5, 4.0},
                                            {3.3, -0.2, 6.0, 5.0},
                                            {4.6, 0.5, 4.0, 3.0}}};
    p.setPen(Qt::NoPen);
    for (const Land& land : lands) {
        const double a = land.Longitude + turn;
        const double facing = std::cos(a);
        if (facing <= 0.05) continue;
        const double y = Radius * std::sin(land.Latitude);
        const double x = Radius * std::cos(land.Latitude) * std::sin(a);
        p.setBrush(QColor(40, 160, 60));
        p.drawEllipse(centre + QPointF(x, y), land.Width * facing, land.Height);
    }
    // Meridians every 45 degrees and three parallels.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(210, 235, 255, 170), 0.8));
    for (int k = 0; k < 4; ++k) {
        const double rx = Radius * std::abs(std::sin(turn + k * Pi / 4));
        p.drawEllipse(centre, rx, Radius);
    }
    for (int k = -1; k <= 1; ++k) {
        const double y = k * Radius * 0.5;
        const double half = std::sqrt(Radius * Radius - y * y);
        p.drawLine(centre + QPointF(-half, y), centre + QPointF(half, y));
    }
    p.restore();

    drawOrbit(true);
    if (!parcelBehind) drawParcel();
    return image;
}

const std::vector<QImage>& Frames(int animeType) {
    static const std::vector<QImage> none;
    if (animeType == 0) {
        static const std::vector<QImage> pages = [] {
            std::vector<QImage> v;
            for (int i = 0; i < PageFrames; ++i)
                v.push_back(PageFrame(i));
            return v;
        }();
        return pages;
    }
    if (animeType == 1) {
        static const std::vector<QImage> globe = [] {
            std::vector<QImage> v;
            for (int i = 0; i < GlobeFrames; ++i)
                v.push_back(GlobeFrame(i));
            return v;
        }();
        return globe;
    }
    return none;
}

} // namespace

int AnimeFrameCount(int animeType) {
    switch (animeType) {
    case 0:
        return PageFrames;
    case 1:
        return GlobeFrames;
    default:
        return 0;
    }
}

QImage AnimeFrame(int animeType, int index) {
    const std::vector<QImage>& frames = Frames(animeType);
    if (index < 0 || index >= static_cast<int>(frames.size())) return {};
    return frames[static_cast<std::size_t>(index)];
}

QImage CancelGlyph() {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    const QRgb black = qRgb(0, 0, 0);
    for (int i = 3; i <= 12; ++i) {
        image.setPixel(i, i, black);
        image.setPixel(15 - i, i, black);
        if (i < 12) {
            image.setPixel(i + 1, i, black);
            image.setPixel(14 - i, i, black);
        }
    }
    return image;
}

} // namespace relvane
