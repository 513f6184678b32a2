#include "app/views/SmallPillButtonStyle.h"

#include <QPainter>

#include "app/views/Theme.h"

namespace vf {

QSize SmallPillButtonStyle::sizeFor(const QFontMetrics& fm, const QString& text) const {
    return {fm.horizontalAdvance(text) + 22, fm.height() + 8};
}

void SmallPillButtonStyle::paint(QPainter& p, const QRect& r, const QString& text, bool hovered, bool pressed,
                                 bool enabled) const {
    QColor bg = active ? theme::accent : theme::white(0.08);
    if (active) bg.setAlphaF(0.28f);
    if (hovered) bg = bg.lighter(125);
    if (pressed) bg.setAlphaF(std::min(1.0f, bg.alphaF() + 0.12f));
    QColor fg = active ? QColor(0x6c, 0xb6, 0xff) : theme::white(0.85);
    if (!enabled) fg.setAlphaF(0.35f);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(active ? QPen(QColor(10, 132, 255, 140), 1) : QPen(theme::white(0.08), 1));
    p.setBrush(bg);
    const QRectF box = QRectF(r).adjusted(0.5, 0.5, -0.5, -0.5);
    p.drawRoundedRect(box, box.height() / 2, box.height() / 2);
    p.setPen(fg);
    p.drawText(r, Qt::AlignCenter, text);
    p.restore();
}

SmallPillButton::SmallPillButton(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    QFont f = theme::font(9, QFont::DemiBold);
    setFont(f);
    setCursor(Qt::PointingHandCursor);
}

void SmallPillButton::setActive(bool active) {
    if (style_.active == active) return;
    style_.active = active;
    update();
}

QSize SmallPillButton::sizeHint() const { return style_.sizeFor(fontMetrics(), text()); }

void SmallPillButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    style_.paint(p, rect(), text(), hovered_, isDown(), isEnabled());
}

void SmallPillButton::enterEvent(QEnterEvent*) {
    hovered_ = true;
    update();
}

void SmallPillButton::leaveEvent(QEvent*) {
    hovered_ = false;
    update();
}

}  // namespace vf
