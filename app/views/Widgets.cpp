#include "app/views/Widgets.h"

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include "app/views/Symbols.h"
#include "app/views/Theme.h"

namespace vf::ui {

QFrame* card() {
    auto* f = new QFrame;
    f->setProperty("card", true);
    return f;
}

QLabel* caption(const QString& text, double whiteAlpha) {
    auto* l = new QLabel(text);
    l->setFont(theme::font(9));
    l->setStyleSheet(QStringLiteral("color: rgba(255,255,255,%1);").arg(whiteAlpha));
    return l;
}

void setSymbol(QLabel* label, const QString& symbol, int size, const QColor& color) {
    label->setPixmap(symbolPixmap(symbol, size, color, label->devicePixelRatioF()));
    label->setProperty("symbol", symbol);
}

QLabel* symbolLabel(const QString& symbol, int size, const QColor& color) {
    auto* l = new QLabel;
    l->setFixedSize(size, size);
    setSymbol(l, symbol, size, color);
    return l;
}

QToolButton* symbolButton(const QString& symbol, int size, const QColor& color) {
    auto* b = new QToolButton;
    b->setIcon(symbolIcon(symbol, color));
    b->setIconSize(QSize(size, size));
    b->setProperty("symbol", symbol);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

QPushButton* textButton(const QString& text, const QString& symbol, bool prominent) {
    auto* b = new QPushButton(symbolIcon(symbol, Qt::white), text);
    b->setIconSize(QSize(15, 15));
    b->setProperty("symbol", symbol);
    b->setProperty("prominent", prominent);
    b->setCursor(Qt::PointingHandCursor);
    return b;
}

}  // namespace vf::ui
