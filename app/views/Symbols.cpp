#include "app/views/Symbols.h"

#include <QIconEngine>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include <array>
#include <cmath>

namespace vf {

namespace {

using Draw = void (*)(QPainter&, const QColor&);

// Stroked outlines at SF-like weight.
void stroke(QPainter& p, const QColor& c, qreal w = 1.8) {
    p.setPen(QPen(c, w, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
}
void fill(QPainter& p, const QColor& c) {
    p.setPen(Qt::NoPen);
    p.setBrush(c);
}
// Cuts the shapes drawn next out of what is there (the image is transparent).
void knockout(QPainter& p) { p.setCompositionMode(QPainter::CompositionMode_Clear); }
void restore(QPainter& p) { p.setCompositionMode(QPainter::CompositionMode_SourceOver); }

void glyph(QPainter& p, const QString& text, const QRectF& box, qreal size) {
    QFont f(QStringLiteral("DejaVu Sans"));
    f.setPixelSize(qRound(size));
    f.setBold(true);
    QPainterPath path;
    path.addText(0, 0, f, text);
    const QRectF r = path.boundingRect();
    path.translate(box.center() - r.center());
    p.drawPath(path);
}

void checkPath(QPainter& p, const QColor& c, qreal w, QPointF a, QPointF b, QPointF d) {
    stroke(p, c, w);
    p.drawPolyline(std::array{a, b, d}.data(), 3);
}

void arrowHead(QPainter& p, QPointF tip, qreal angleDeg, qreal len) {
    const qreal a = qDegreesToRadians(angleDeg);
    const QPointF back(-std::cos(a) * len, -std::sin(a) * len);
    const auto rot = [](QPointF v, qreal deg) {
        const qreal r = qDegreesToRadians(deg);
        return QPointF(v.x() * std::cos(r) - v.y() * std::sin(r), v.x() * std::sin(r) + v.y() * std::cos(r));
    };
    p.drawLine(tip, tip + rot(back, 40));
    p.drawLine(tip, tip + rot(back, -40));
}

// ---- drives and cards
void drive(QPainter& p, const QColor& c, const QRectF& r, bool filled) {
    if (filled) {
        fill(p, c);
        p.drawRoundedRect(r, 2.6, 2.6);
        knockout(p);
        p.drawEllipse(QPointF(r.right() - 3.6, r.center().y() + 1.5), 1.3, 1.3);
        p.drawRoundedRect(QRectF(r.left() + 3, r.center().y() + 0.7, r.width() * 0.45, 1.6), 0.8, 0.8);
        restore(p);
    } else {
        stroke(p, c, 1.6);
        p.drawRoundedRect(r, 2.6, 2.6);
        fill(p, c);
        p.drawEllipse(QPointF(r.right() - 3.6, r.center().y() + 1.5), 1.2, 1.2);
        p.drawRoundedRect(QRectF(r.left() + 3, r.center().y() + 0.8, r.width() * 0.42, 1.4), 0.7, 0.7);
    }
}
void badge(QPainter& p, const QColor& c, const QString& text) {
    knockout(p);
    p.drawEllipse(QPointF(18, 17.5), 6.6, 6.6);
    restore(p);
    fill(p, c);
    p.drawEllipse(QPointF(18, 17.5), 5.2, 5.2);
    knockout(p);
    glyph(p, text, QRectF(12.8, 12.3, 10.4, 10.4), 8);
    restore(p);
}
void externalDrive(QPainter& p, const QColor& c) { drive(p, c, QRectF(2.5, 6.5, 19, 11), false); }
void externalDriveFill(QPainter& p, const QColor& c) { drive(p, c, QRectF(2.5, 6.5, 19, 11), true); }
void internalDriveFill(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawRoundedRect(QRectF(2.5, 5.5, 19, 13), 2, 2);
    knockout(p);
    p.drawRect(QRectF(2.5, 13, 19, 1.2));
    p.drawEllipse(QPointF(17.8, 15.9), 1.1, 1.1);
    p.drawEllipse(QPointF(5.5, 9), 0.9, 0.9);
    p.drawEllipse(QPointF(18.5, 9), 0.9, 0.9);
    restore(p);
}
void driveQuestion(QPainter& p, const QColor& c) {
    drive(p, c, QRectF(1.5, 4.5, 17, 10), false);
    badge(p, c, QStringLiteral("?"));
}
void driveExclamation(QPainter& p, const QColor& c) {
    drive(p, c, QRectF(1.5, 4.5, 17, 10), false);
    badge(p, c, QStringLiteral("!"));
}
void sdcardFill(QPainter& p, const QColor& c) {
    QPainterPath card;
    card.moveTo(8, 2.5);
    card.lineTo(15.5, 2.5);
    card.lineTo(19.5, 6.5);
    card.lineTo(19.5, 20);
    card.quadTo(19.5, 21.5, 18, 21.5);
    card.lineTo(6, 21.5);
    card.quadTo(4.5, 21.5, 4.5, 20);
    card.lineTo(4.5, 6);
    card.closeSubpath();
    fill(p, c);
    p.drawPath(card);
    knockout(p);
    for (int i = 0; i < 4; ++i) p.drawRoundedRect(QRectF(7 + i * 2.7, 4.8, 1.4, 4), 0.6, 0.6);
    restore(p);
}

// ---- circled glyphs
void circleFill(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawEllipse(QPointF(12, 12), 10, 10);
    knockout(p);
}
void xmarkCircleFill(QPainter& p, const QColor& c) {
    circleFill(p, c);
    stroke(p, Qt::black, 2.2);
    p.drawLine(QPointF(8.3, 8.3), QPointF(15.7, 15.7));
    p.drawLine(QPointF(15.7, 8.3), QPointF(8.3, 15.7));
    restore(p);
}
void checkmarkCircleFill(QPainter& p, const QColor& c) {
    circleFill(p, c);
    checkPath(p, Qt::black, 2.3, {7.3, 12.4}, {10.7, 15.8}, {16.8, 8.6});
    restore(p);
}
void infoCircleFill(QPainter& p, const QColor& c) {
    circleFill(p, c);
    fill(p, Qt::black);
    p.drawEllipse(QPointF(12, 7.6), 1.5, 1.5);
    p.drawRoundedRect(QRectF(10.8, 10.5, 2.4, 7.5), 1.1, 1.1);
    restore(p);
}

// ---- controls
void arrowClockwise(QPainter& p, const QColor& c) {
    stroke(p, c, 2);
    const QRectF r(4, 4, 16, 16);
    p.drawArc(r, 60 * 16, -300 * 16 + 40 * 16);
    const QPointF tip(12 + 8 * std::cos(qDegreesToRadians(-60.0)), 12 + 8 * std::sin(qDegreesToRadians(-60.0)));
    fill(p, c);
    QPainterPath head;
    head.moveTo(tip + QPointF(2.8, -0.8));
    head.lineTo(tip + QPointF(-3.2, -2.6));
    head.lineTo(tip + QPointF(-0.2, 3.4));
    head.closeSubpath();
    p.drawPath(head);
}
void magnifyingGlass(QPainter& p, const QColor& c) {
    stroke(p, c, 2.2);
    p.drawEllipse(QPointF(10, 10), 6.3, 6.3);
    stroke(p, c, 3);
    p.drawLine(QPointF(14.8, 14.8), QPointF(20, 20));
}
void pauseFill(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawRoundedRect(QRectF(6, 4.5, 4.2, 15), 1.3, 1.3);
    p.drawRoundedRect(QRectF(13.8, 4.5, 4.2, 15), 1.3, 1.3);
}
void playFill(QPainter& p, const QColor& c) {
    fill(p, c);
    QPainterPath t;
    t.moveTo(7, 5.2);
    t.quadTo(7, 3.8, 8.3, 4.5);
    t.lineTo(19, 11);
    t.quadTo(20, 12, 19, 13);
    t.lineTo(8.3, 19.5);
    t.quadTo(7, 20.2, 7, 18.8);
    t.closeSubpath();
    p.drawPath(t);
}
void stopFill(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawRoundedRect(QRectF(5.5, 5.5, 13, 13), 2.5, 2.5);
}
QPainterPath triangle() {
    QPainterPath t;
    t.moveTo(10.3, 3.6);
    t.quadTo(12, 0.9, 13.7, 3.6);
    t.lineTo(21.6, 17.8);
    t.quadTo(23, 20.6, 19.9, 20.6);
    t.lineTo(4.1, 20.6);
    t.quadTo(1, 20.6, 2.4, 17.8);
    t.closeSubpath();
    return t;
}
void exclamationTriangleFill(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawPath(triangle());
    knockout(p);
    p.drawRoundedRect(QRectF(10.9, 7.5, 2.2, 7.2), 1.1, 1.1);
    p.drawEllipse(QPointF(12, 17.3), 1.4, 1.4);
    restore(p);
}
void exclamationTriangle(QPainter& p, const QColor& c) {
    stroke(p, c, 1.7);
    p.drawPath(triangle());
    fill(p, c);
    p.drawRoundedRect(QRectF(11.05, 8, 1.9, 6.6), 0.95, 0.95);
    p.drawEllipse(QPointF(12, 17.1), 1.25, 1.25);
}
void gearshapeFill(QPainter& p, const QColor& c) {
    QPainterPath gear;
    const int teeth = 8;
    for (int i = 0; i < teeth * 4; ++i) {
        const qreal a = qDegreesToRadians(i * 360.0 / (teeth * 4) - 90 + 360.0 / (teeth * 8));
        const qreal r = (i % 4 == 0 || i % 4 == 1) ? 10.4 : 7.9;
        const QPointF pt(12 + r * std::cos(a), 12 + r * std::sin(a));
        i == 0 ? gear.moveTo(pt) : gear.lineTo(pt);
    }
    gear.closeSubpath();
    fill(p, c);
    p.drawPath(gear);
    p.drawEllipse(QPointF(12, 12), 8.4, 8.4);
    knockout(p);
    p.drawEllipse(QPointF(12, 12), 3.3, 3.3);
    restore(p);
}

// ---- photos and media
void mountains(QPainter& p, const QRectF& r) {
    QPainterPath m;
    m.moveTo(r.left(), r.bottom());
    m.lineTo(r.left() + r.width() * 0.36, r.top() + r.height() * 0.42);
    m.lineTo(r.left() + r.width() * 0.58, r.top() + r.height() * 0.72);
    m.lineTo(r.left() + r.width() * 0.74, r.top() + r.height() * 0.56);
    m.lineTo(r.right(), r.bottom());
    m.closeSubpath();
    p.drawPath(m);
    p.drawEllipse(QPointF(r.left() + r.width() * 0.74, r.top() + r.height() * 0.24), r.width() * 0.09,
                  r.width() * 0.09);
}
void photoFill(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawRoundedRect(QRectF(2.5, 4.5, 19, 15), 2.5, 2.5);
    knockout(p);
    mountains(p, QRectF(5, 7, 14, 10));
    restore(p);
}
void photo(QPainter& p, const QColor& c) {
    stroke(p, c, 1.6);
    p.drawRoundedRect(QRectF(2.8, 4.8, 18.4, 14.4), 2.4, 2.4);
    fill(p, c);
    p.setClipRect(QRectF(2.8, 4.8, 18.4, 14.4));
    mountains(p, QRectF(3.5, 8, 17, 11.2));
    p.setClipping(false);
}
void photoStack(QPainter& p, const QColor& c) {
    p.save();
    p.translate(12, 12);
    p.rotate(-9);
    p.translate(-12, -12);
    stroke(p, c, 1.5);
    p.drawRoundedRect(QRectF(4.5, 2.5, 16, 12.5), 2, 2);
    p.restore();
    knockout(p);
    fill(p, Qt::black);
    p.drawRoundedRect(QRectF(1.5, 7.5, 18.5, 14.5), 2.6, 2.6);
    restore(p);
    stroke(p, c, 1.6);
    p.drawRoundedRect(QRectF(2.3, 8.3, 16.9, 12.9), 2.2, 2.2);
    fill(p, c);
    p.setClipRect(QRectF(2.3, 8.3, 16.9, 12.9));
    mountains(p, QRectF(3, 11, 15.5, 10.2));
    p.setClipping(false);
}
void videoFill(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawRoundedRect(QRectF(1.5, 6, 15, 12), 2.8, 2.8);
    QPainterPath t;
    t.moveTo(17.5, 10.5);
    t.lineTo(22, 7.3);
    t.lineTo(22, 16.7);
    t.lineTo(17.5, 13.5);
    t.closeSubpath();
    p.drawPath(t);
}
void filmFill(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawRoundedRect(QRectF(3.5, 2.5, 17, 19), 2.2, 2.2);
    knockout(p);
    for (int i = 0; i < 5; ++i) {
        p.drawRect(QRectF(5, 4 + i * 3.5, 1.8, 2));
        p.drawRect(QRectF(17.2, 4 + i * 3.5, 1.8, 2));
    }
    p.drawRect(QRectF(8.5, 12, 7, 0.01 + 1.0));
    restore(p);
}
void docFill(QPainter& p, const QColor& c) {
    QPainterPath d;
    d.moveTo(6.5, 2.5);
    d.lineTo(13.5, 2.5);
    d.lineTo(19.5, 8.5);
    d.lineTo(19.5, 20);
    d.quadTo(19.5, 21.5, 18, 21.5);
    d.lineTo(6, 21.5);
    d.quadTo(4.5, 21.5, 4.5, 20);
    d.lineTo(4.5, 4.5);
    d.quadTo(4.5, 2.5, 6.5, 2.5);
    fill(p, c);
    p.drawPath(d);
    knockout(p);
    QPainterPath fold;
    fold.moveTo(13, 2);
    fold.lineTo(13, 9);
    fold.lineTo(20, 9);
    fold.closeSubpath();
    p.drawPath(fold);
    restore(p);
    fill(p, c);
    QPainterPath corner;
    corner.moveTo(14.2, 3.2);
    corner.lineTo(14.2, 7.8);
    corner.lineTo(18.8, 7.8);
    corner.closeSubpath();
    p.drawPath(corner);
}
void cameraFill(QPainter& p, const QColor& c) {
    fill(p, c);
    QPainterPath body;
    body.addRoundedRect(QRectF(2, 7, 20, 13.5), 3, 3);
    body.addRoundedRect(QRectF(8, 4, 8, 5), 1.6, 1.6);
    body.setFillRule(Qt::WindingFill);
    p.drawPath(body.simplified());
    knockout(p);
    p.drawEllipse(QPointF(12, 13.7), 4.4, 4.4);
    restore(p);
    fill(p, c);
    p.drawEllipse(QPointF(12, 13.7), 2.7, 2.7);
}
void cameraAperture(QPainter& p, const QColor& c) {
    stroke(p, c, 1.6);
    p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
    for (int i = 0; i < 6; ++i) {
        const qreal a = qDegreesToRadians(i * 60.0);
        const qreal b = qDegreesToRadians(i * 60.0 + 60);
        const QPointF inner(12 + 4.3 * std::cos(a), 12 + 4.3 * std::sin(a));
        const QPointF rim(12 + 9.5 * std::cos(b - 0.35), 12 + 9.5 * std::sin(b - 0.35));
        p.drawLine(inner, rim);
    }
}
void squareAndArrowUp(QPainter& p, const QColor& c) {
    stroke(p, c, 1.8);
    QPainterPath box;
    box.moveTo(9, 9.5);
    box.lineTo(6.5, 9.5);
    box.quadTo(5, 9.5, 5, 11);
    box.lineTo(5, 19.5);
    box.quadTo(5, 21, 6.5, 21);
    box.lineTo(17.5, 21);
    box.quadTo(19, 21, 19, 19.5);
    box.lineTo(19, 11);
    box.quadTo(19, 9.5, 17.5, 9.5);
    box.lineTo(15, 9.5);
    p.drawPath(box);
    p.drawLine(QPointF(12, 2.8), QPointF(12, 14.5));
    arrowHead(p, QPointF(12, 2.8), -90, 4);
}
void expandArrows(QPainter& p, const QColor& c) {
    stroke(p, c, 1.8);
    p.drawLine(QPointF(4.5, 4.5), QPointF(10, 10));
    p.drawLine(QPointF(19.5, 19.5), QPointF(14, 14));
    p.drawPolyline(std::array{QPointF(4.5, 10), QPointF(4.5, 4.5), QPointF(10, 4.5)}.data(), 3);
    p.drawPolyline(std::array{QPointF(19.5, 14), QPointF(19.5, 19.5), QPointF(14, 19.5)}.data(), 3);
}
void arrowLeftRight(QPainter& p, const QColor& c) {
    stroke(p, c, 1.8);
    p.drawLine(QPointF(3, 8.5), QPointF(19, 8.5));
    arrowHead(p, QPointF(20.5, 8.5), 0, 4.2);
    p.drawLine(QPointF(5, 15.5), QPointF(21, 15.5));
    arrowHead(p, QPointF(3.5, 15.5), 180, 4.2);
}

// ---- metadata rows
void calendar(QPainter& p, const QColor& c) {
    stroke(p, c, 1.6);
    p.drawRoundedRect(QRectF(3, 4.5, 18, 16.5), 2.5, 2.5);
    fill(p, c);
    p.drawRect(QRectF(3.5, 5, 17, 3.5));
    for (int r = 0; r < 2; ++r)
        for (int k = 0; k < 4; ++k) p.drawEllipse(QPointF(6.6 + k * 3.6, 12.3 + r * 4), 1, 1);
}
void scope(QPainter& p, const QColor& c) {
    stroke(p, c, 1.6);
    p.drawEllipse(QPointF(12, 12), 7.5, 7.5);
    p.drawLine(QPointF(12, 1.8), QPointF(12, 7.2));
    p.drawLine(QPointF(12, 16.8), QPointF(12, 22.2));
    p.drawLine(QPointF(1.8, 12), QPointF(7.2, 12));
    p.drawLine(QPointF(16.8, 12), QPointF(22.2, 12));
}
void timer(QPainter& p, const QColor& c) {
    stroke(p, c, 1.7);
    p.drawEllipse(QPointF(12, 13.5), 8, 8);
    p.drawLine(QPointF(12, 13.5), QPointF(15.5, 10));
    p.drawLine(QPointF(10, 2.8), QPointF(14, 2.8));
    p.drawLine(QPointF(12, 3), QPointF(12, 5.2));
}
void sunMax(QPainter& p, const QColor& c) {
    stroke(p, c, 1.7);
    p.drawEllipse(QPointF(12, 12), 4.2, 4.2);
    for (int i = 0; i < 8; ++i) {
        const qreal a = qDegreesToRadians(i * 45.0);
        p.drawLine(QPointF(12 + 7 * std::cos(a), 12 + 7 * std::sin(a)),
                   QPointF(12 + 9.8 * std::cos(a), 12 + 9.8 * std::sin(a)));
    }
}
void plusMinus(QPainter& p, const QColor& c) {
    stroke(p, c, 1.9);
    p.drawLine(QPointF(6, 9), QPointF(18, 9));
    p.drawLine(QPointF(12, 3), QPointF(12, 15));
    p.drawLine(QPointF(6, 20), QPointF(18, 20));
}
void aspectRatio(QPainter& p, const QColor& c) {
    stroke(p, c, 1.6);
    p.drawRoundedRect(QRectF(2.5, 5, 19, 14), 2.5, 2.5);
    p.drawPolyline(std::array{QPointF(6, 11.5), QPointF(6, 8.5), QPointF(9.5, 8.5)}.data(), 3);
    p.drawPolyline(std::array{QPointF(18, 12.5), QPointF(18, 15.5), QPointF(14.5, 15.5)}.data(), 3);
}
void sparkle(QPainter& p, QPointF c, qreal r) {
    QPainterPath s;
    s.moveTo(c.x(), c.y() - r);
    s.quadTo(c.x(), c.y(), c.x() + r, c.y());
    s.quadTo(c.x(), c.y(), c.x(), c.y() + r);
    s.quadTo(c.x(), c.y(), c.x() - r, c.y());
    s.quadTo(c.x(), c.y(), c.x(), c.y() - r);
    p.drawPath(s);
}
void wandAndStars(QPainter& p, const QColor& c) {
    stroke(p, c, 2.2);
    p.drawLine(QPointF(3.5, 20.5), QPointF(14.5, 9.5));
    fill(p, c);
    sparkle(p, QPointF(17.5, 5.5), 3.8);
    sparkle(p, QPointF(9, 4.5), 2.3);
    sparkle(p, QPointF(19.5, 14), 2.3);
}
void paintPalette(QPainter& p, const QColor& c) {
    QPainterPath pal;
    pal.moveTo(12, 2.5);
    pal.cubicTo(18, 2.5, 21.5, 6.5, 21.5, 11);
    pal.cubicTo(21.5, 14.5, 19, 15.5, 16.8, 15.2);
    pal.cubicTo(14.8, 15, 13.8, 16.5, 14.7, 18.3);
    pal.cubicTo(15.6, 20.2, 14.5, 21.5, 12, 21.5);
    pal.cubicTo(6.5, 21.5, 2.5, 17.3, 2.5, 12);
    pal.cubicTo(2.5, 6.7, 6.5, 2.5, 12, 2.5);
    fill(p, c);
    p.drawPath(pal);
    knockout(p);
    for (const QPointF pt : {QPointF(7, 12.5), QPointF(8.6, 7.6), QPointF(13, 6), QPointF(17, 8.5)})
        p.drawEllipse(pt, 1.7, 1.7);
    restore(p);
}
void scaleMass(QPainter& p, const QColor& c, bool filled) {
    QPainterPath w;
    w.moveTo(6.8, 8);
    w.lineTo(17.2, 8);
    w.quadTo(18.6, 8, 19, 9.4);
    w.lineTo(21.4, 19);
    w.quadTo(21.8, 21, 19.8, 21);
    w.lineTo(4.2, 21);
    w.quadTo(2.2, 21, 2.6, 19);
    w.lineTo(5, 9.4);
    w.quadTo(5.4, 8, 6.8, 8);
    if (filled) {
        fill(p, c);
        p.drawPath(w);
    } else {
        stroke(p, c, 1.6);
        p.drawPath(w);
    }
    stroke(p, c, 1.7);
    p.drawEllipse(QPointF(12, 5), 2.4, 2.4);
}
void scaleMassOutline(QPainter& p, const QColor& c) { scaleMass(p, c, false); }
void scaleMassFill(QPainter& p, const QColor& c) { scaleMass(p, c, true); }

// ---- check boxes and layout switches
void squareFillWith(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawRoundedRect(QRectF(3, 3, 18, 18), 4, 4);
    knockout(p);
}
void checkmarkSquareFill(QPainter& p, const QColor& c) {
    squareFillWith(p, c);
    checkPath(p, Qt::black, 2.3, {7.4, 12.3}, {10.7, 15.6}, {16.7, 8.6});
    restore(p);
}
void minusSquareFill(QPainter& p, const QColor& c) {
    squareFillWith(p, c);
    fill(p, Qt::black);
    p.drawRoundedRect(QRectF(7, 10.9, 10, 2.2), 1.1, 1.1);
    restore(p);
}
void square(QPainter& p, const QColor& c) {
    stroke(p, c, 1.6);
    p.drawRoundedRect(QRectF(3.5, 3.5, 17, 17), 3.6, 3.6);
}
void grid(QPainter& p, const QColor& c) {
    fill(p, c);
    for (int r = 0; r < 2; ++r)
        for (int k = 0; k < 2; ++k) p.drawRoundedRect(QRectF(3.5 + k * 9.5, 3.5 + r * 9.5, 7.5, 7.5), 1.8, 1.8);
}
void listBullet(QPainter& p, const QColor& c) {
    fill(p, c);
    for (int i = 0; i < 3; ++i) p.drawEllipse(QPointF(4.8, 6 + i * 6), 1.6, 1.6);
    stroke(p, c, 1.8);
    for (int i = 0; i < 3; ++i) p.drawLine(QPointF(9, 6 + i * 6), QPointF(20.5, 6 + i * 6));
}
void folderFill(QPainter& p, const QColor& c) {
    fill(p, c);
    QPainterPath f;
    f.moveTo(2.5, 6.5);
    f.quadTo(2.5, 4.5, 4.5, 4.5);
    f.lineTo(9.3, 4.5);
    f.lineTo(11.5, 6.8);
    f.lineTo(19.5, 6.8);
    f.quadTo(21.5, 6.8, 21.5, 8.8);
    f.lineTo(21.5, 17.5);
    f.quadTo(21.5, 19.5, 19.5, 19.5);
    f.lineTo(4.5, 19.5);
    f.quadTo(2.5, 19.5, 2.5, 17.5);
    f.closeSubpath();
    p.drawPath(f);
}

struct Entry {
    const char* name;
    Draw draw;
};

// Every symbol a view may ask for, by the name the views use.
constexpr Entry kSymbols[] = {
    {"externaldrive", externalDrive},
    {"externaldrive.fill", externalDriveFill},
    {"internaldrive.fill", internalDriveFill},
    {"externaldrive.badge.questionmark", driveQuestion},
    {"externaldrive.badge.exclamationmark", driveExclamation},
    {"sdcard.fill", sdcardFill},
    {"xmark.circle.fill", xmarkCircleFill},
    {"checkmark.circle.fill", checkmarkCircleFill},
    {"info.circle.fill", infoCircleFill},
    {"arrow.clockwise", arrowClockwise},
    {"magnifyingglass", magnifyingGlass},
    {"pause.fill", pauseFill},
    {"play.fill", playFill},
    {"stop.fill", stopFill},
    {"exclamationmark.triangle.fill", exclamationTriangleFill},
    {"exclamationmark.triangle", exclamationTriangle},
    {"gearshape.fill", gearshapeFill},
    {"camera.aperture", cameraAperture},
    {"camera.fill", cameraFill},
    {"photo", photo},
    {"photo.fill", photoFill},
    {"photo.on.rectangle.angled", photoStack},
    {"video.fill", videoFill},
    {"film.fill", filmFill},
    {"doc.fill", docFill},
    {"square.and.arrow.up", squareAndArrowUp},
    {"arrow.up.left.and.arrow.down.right", expandArrows},
    {"arrow.left.and.right", arrowLeftRight},
    {"calendar", calendar},
    {"scope", scope},
    {"timer", timer},
    {"sun.max", sunMax},
    {"plusminus", plusMinus},
    {"aspectratio", aspectRatio},
    {"wand.and.stars", wandAndStars},
    {"paintpalette", paintPalette},
    {"scalemass", scaleMassOutline},
    {"scalemass.fill", scaleMassFill},
    {"checkmark.square.fill", checkmarkSquareFill},
    {"minus.square.fill", minusSquareFill},
    {"square", square},
    {"square.grid.2x2.fill", grid},
    {"list.bullet", listBullet},
    {"folder.fill", folderFill},
};

Draw lookup(QStringView name) {
    for (const Entry& e : kSymbols)
        if (name == QLatin1StringView(e.name)) return e.draw;
    return nullptr;
}

void unknown(QPainter& p, const QColor& c) {
    fill(p, c);
    p.drawEllipse(QPointF(12, 12), 4, 4);
}

QImage render(QStringView name, QSize size, const QColor& color) {
    QImage img(size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal side = std::min(size.width(), size.height());
    p.translate((size.width() - side) / 2, (size.height() - side) / 2);
    p.scale(side / 24.0, side / 24.0);
    const Draw draw = lookup(name);
    (draw ? draw : unknown)(p, color);
    return img;
}

class SymbolEngine final : public QIconEngine {
public:
    SymbolEngine(QString name, QColor color) : name_(std::move(name)), color_(color) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QImage img = render(name_, rect.size() * dpr, colorFor(mode));
        img.setDevicePixelRatio(dpr);
        painter->drawImage(rect, img);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        return QPixmap::fromImage(render(name_, size, colorFor(mode)));
    }
    QIconEngine* clone() const override { return new SymbolEngine(name_, color_); }

private:
    QColor colorFor(QIcon::Mode mode) const {
        QColor c = color_;
        if (mode == QIcon::Disabled) c.setAlphaF(c.alphaF() * 0.35f);
        return c;
    }
    QString name_;
    QColor color_;
};

class AppIconEngine final : public QIconEngine {
public:
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
        painter->drawImage(rect, applicationIconImage(std::min(rect.width(), rect.height())));
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode, QIcon::State) override {
        return QPixmap::fromImage(applicationIconImage(std::min(size.width(), size.height())));
    }
    QIconEngine* clone() const override { return new AppIconEngine; }
};

}  // namespace

QIcon symbolIcon(QStringView name, const QColor& color) { return QIcon(new SymbolEngine(name.toString(), color)); }

QPixmap symbolPixmap(QStringView name, int size, const QColor& color, qreal devicePixelRatio) {
    QPixmap pm = QPixmap::fromImage(render(name, QSize(size, size) * devicePixelRatio, color));
    pm.setDevicePixelRatio(devicePixelRatio);
    return pm;
}

bool hasSymbol(QStringView name) { return lookup(name) != nullptr; }

QStringList symbolNames() {
    QStringList names;
    for (const Entry& e : kSymbols) names << QString::fromLatin1(e.name);
    return names;
}

QImage applicationIconImage(int size) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    // A card in front of a photo, on a deep blue tile.
    QLinearGradient bg(0, 0, 0, 64);
    bg.setColorAt(0, QColor(0x2f, 0x7c, 0xf6));
    bg.setColorAt(1, QColor(0x1b, 0x3f, 0xa8));
    p.setPen(Qt::NoPen);
    p.setBrush(bg);
    p.drawRoundedRect(QRectF(3, 3, 58, 58), 13, 13);
    p.save();
    p.translate(32, 30);
    p.rotate(-10);
    p.setBrush(QColor(255, 255, 255, 70));
    p.drawRoundedRect(QRectF(-21, -16, 34, 26), 3.5, 3.5);
    p.restore();
    QPainterPath card;
    card.moveTo(24, 17);
    card.lineTo(40, 17);
    card.lineTo(47, 24);
    card.lineTo(47, 50);
    card.quadTo(47, 53, 44, 53);
    card.lineTo(24, 53);
    card.quadTo(21, 53, 21, 50);
    card.lineTo(21, 20);
    card.quadTo(21, 17, 24, 17);
    p.setBrush(Qt::white);
    p.drawPath(card);
    p.setBrush(QColor(0x1b, 0x3f, 0xa8));
    for (int i = 0; i < 4; ++i) p.drawRoundedRect(QRectF(25 + i * 4.6, 20.5, 2.4, 6.5), 1, 1);
    // Mountains and sun: the photo that comes back.
    p.setBrush(QColor(0x2f, 0x7c, 0xf6));
    QPainterPath m;
    m.moveTo(24.5, 49.5);
    m.lineTo(31, 38);
    m.lineTo(36, 44.5);
    m.lineTo(39, 41);
    m.lineTo(43.5, 49.5);
    m.closeSubpath();
    p.drawPath(m);
    p.setBrush(QColor(0xff, 0xb3, 0x40));
    p.drawEllipse(QPointF(39.5, 34), 3, 3);
    return img;
}

QIcon applicationIcon() { return QIcon(new AppIconEngine); }

}  // namespace vf
