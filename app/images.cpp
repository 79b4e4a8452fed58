#include "app/images.h"

#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

#include <cmath>

namespace relvane::app {

namespace {

const QColor Outline(40, 40, 40);

void Monitor(QPainter& p, QRectF screen, const QColor& face) {
    p.setPen(Outline);
    p.setBrush(QColor(220, 220, 220));
    p.drawRect(screen);
    p.setBrush(face);
    p.drawRect(screen.adjusted(1.5, 1.5, -1.5, -1.5));
    p.setBrush(QColor(160, 160, 160));
    p.drawRect(QRectF(screen.center().x() - 1.5, screen.bottom(), 3, 1.5));
}

void DrawExit(QPainter& p) {
    // A door standing open, an arrow leaving through it.
    p.setPen(Outline);
    p.setBrush(QColor(150, 95, 45));
    p.drawRect(QRectF(2.5, 1.5, 8, 13));
    p.setBrush(QColor(40, 30, 20));
    p.drawRect(QRectF(4.5, 3.5, 4, 9));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 150, 40));
    p.drawPolygon(
        QPolygonF({{7, 7}, {11, 7}, {11, 4.5}, {15.5, 8.5}, {11, 12.5}, {11, 10}, {7, 10}}));
}

void DrawOption(QPainter& p) {
    // A gear.
    p.translate(8, 8);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 100, 120));
    for (int i = 0; i < 8; ++i) {
        p.save();
        p.rotate(i * 45.0);
        p.drawRect(QRectF(-1.5, -7.5, 3, 4));
        p.restore();
    }
    p.setPen(Outline);
    p.drawEllipse(QPointF(0, 0), 5, 5);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(0, 0), 2, 2);
}

void DrawConnect(QPainter& p) {
    // Two computers joined by a live line.
    Monitor(p, QRectF(0.5, 1.5, 7, 6), QColor(80, 140, 230));
    Monitor(p, QRectF(8.5, 7.5, 7, 6), QColor(80, 140, 230));
    p.setPen(QPen(QColor(20, 170, 40), 2));
    p.drawLine(QPointF(4, 10), QPointF(4, 13));
    p.drawLine(QPointF(4, 13), QPointF(8, 13));
    p.drawLine(QPointF(12, 2), QPointF(12, 6));
    p.drawLine(QPointF(8, 2), QPointF(12, 2));
}

void DrawServer(QPainter& p) {
    // A tower with drive bays and a lamp.
    p.setPen(Outline);
    p.setBrush(QColor(200, 200, 205));
    p.drawRect(QRectF(3.5, 0.5, 9, 15));
    p.setBrush(QColor(120, 120, 130));
    p.drawRect(QRectF(5.5, 2.5, 5, 2));
    p.drawRect(QRectF(5.5, 5.5, 5, 2));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 200, 40));
    p.drawEllipse(QPointF(8, 12), 1.5, 1.5);
}

void Page(QPainter& p, QRectF r) {
    QPainterPath path;
    path.moveTo(r.topLeft());
    path.lineTo(r.right() - 4, r.top());
    path.lineTo(r.right(), r.top() + 4);
    path.lineTo(r.bottomRight());
    path.lineTo(r.bottomLeft());
    path.closeSubpath();
    p.setPen(Outline);
    p.setBrush(Qt::white);
    p.drawPath(path);
    p.setBrush(QColor(210, 210, 210));
    p.drawPolygon(QPolygonF(
        {{r.right() - 4, r.top()}, {r.right() - 4, r.top() + 4}, {r.right(), r.top() + 4}}));
}

void DrawFileMenu(QPainter& p) {
    Page(p, QRectF(2.5, 0.5, 11, 15));
    p.setPen(QColor(120, 120, 160));
    for (int y = 6; y <= 12; y += 2)
        p.drawLine(QPointF(4.5, y + 0.5), QPointF(11.5, y + 0.5));
}

void DrawEditMenu(QPainter& p) {
    // A pencil lying across.
    p.translate(8, 8);
    p.rotate(-45);
    p.setPen(Outline);
    p.setBrush(QColor(240, 190, 40));
    p.drawRect(QRectF(-5, -2, 9, 4));
    p.setBrush(QColor(230, 120, 140));
    p.drawRect(QRectF(4, -2, 3, 4));
    p.setBrush(QColor(240, 220, 180));
    p.drawPolygon(QPolygonF({{-5, -2}, {-9, 0}, {-5, 2}}));
}

void DrawHelp(QPainter& p) {
    p.setPen(QColor(20, 60, 160));
    p.setBrush(QColor(50, 110, 220));
    p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    QFont f;
    f.setPixelSize(12);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, QStringLiteral("?"));
}

void DrawDisconnect(QPainter& p) {
    Monitor(p, QRectF(0.5, 1.5, 7, 6), QColor(150, 150, 160));
    Monitor(p, QRectF(8.5, 7.5, 7, 6), QColor(150, 150, 160));
    p.setPen(QPen(QColor(210, 30, 30), 2));
    p.drawLine(QPointF(2, 10), QPointF(7, 15));
    p.drawLine(QPointF(7, 10), QPointF(2, 15));
}

void DrawFolder(QPainter& p) {
    p.setPen(Outline);
    p.setBrush(QColor(220, 170, 40));
    p.drawRect(QRectF(0.5, 3.5, 14, 11));
    p.drawRect(QRectF(0.5, 2.5, 6, 2));
    p.setBrush(QColor(250, 215, 90));
    p.drawPolygon(QPolygonF({{2.5, 6.5}, {15.5, 6.5}, {13.5, 14.5}, {0.5, 14.5}}));
}

void DrawCancel(QPainter& p) {
    p.setPen(QColor(150, 20, 20));
    p.setBrush(QColor(220, 40, 40));
    p.drawEllipse(QRectF(0.5, 0.5, 15, 15));
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(5, 5), QPointF(11, 11));
    p.drawLine(QPointF(11, 5), QPointF(5, 11));
}

void DrawChat(QPainter& p) {
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(0.5, 1.5, 15, 10), 3, 3);
    QPainterPath tail;
    tail.addPolygon(QPolygonF({{3, 10}, {3, 15}, {8, 10}}));
    p.setPen(Outline);
    p.setBrush(QColor(255, 250, 200));
    p.drawPath(bubble.united(tail));
    p.setPen(QColor(100, 100, 100));
    p.drawLine(QPointF(3.5, 5), QPointF(12.5, 5));
    p.drawLine(QPointF(3.5, 8), QPointF(10.5, 8));
}

void DrawSend(QPainter& p) {
    Page(p, QRectF(0.5, 0.5, 9, 13));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 90, 210));
    p.drawPolygon(QPolygonF({{5, 8}, {10, 8}, {10, 5}, {15.5, 10}, {10, 15}, {10, 12}, {5, 12}}));
}

} // namespace

QPixmap MenuImage(TMenuImage image) {
    QPixmap pixmap(MenuImageSize, MenuImageSize);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (image) {
    case TMenuImage::miExit:
        DrawExit(p);
        break;
    case TMenuImage::miOption:
        DrawOption(p);
        break;
    case TMenuImage::miConnect:
        DrawConnect(p);
        break;
    case TMenuImage::miServer:
        DrawServer(p);
        break;
    case TMenuImage::miFileMenu:
        DrawFileMenu(p);
        break;
    case TMenuImage::miEditMenu:
        DrawEditMenu(p);
        break;
    case TMenuImage::miHelp:
        DrawHelp(p);
        break;
    case TMenuImage::miDisconnect:
        DrawDisconnect(p);
        break;
    case TMenuImage::miFolder:
        DrawFolder(p);
        break;
    case TMenuImage::miCancel:
        DrawCancel(p);
        break;
    case TMenuImage::miChat:
        DrawChat(p);
        break;
    case TMenuImage::miSend:
        DrawSend(p);
        break;
    }
    return pixmap;
}

QIcon MenuIcon(TMenuImage image) {
    return QIcon(MenuImage(image));
}

} // namespace relvane::app
