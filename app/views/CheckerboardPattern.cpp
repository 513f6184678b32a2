#include "app/views/CheckerboardPattern.h"

#include <QPainter>

namespace vf {

CheckerboardPattern::CheckerboardPattern(qreal opacity, QWidget* parent) : QWidget(parent), opacity_(opacity) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void CheckerboardPattern::paint(QPainter& p, const QRect& area, qreal opacity) {
    QColor white(Qt::white);
    white.setAlphaF(static_cast<float>(opacity));
    p.save();
    p.setClipRect(area);
    for (int row = 0; row * kSquare < area.height(); ++row)
        for (int col = row % 2; col * kSquare < area.width(); col += 2)
            p.fillRect(area.left() + col * kSquare, area.top() + row * kSquare, kSquare, kSquare, white);
    p.restore();
}

void CheckerboardPattern::paintEvent(QPaintEvent*) {
    QPainter p(this);
    paint(p, rect(), opacity_);
}

}  // namespace vf
