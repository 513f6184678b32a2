#pragma once
// Small building blocks the views share: cards, captions and symbol buttons
// in the application's look.

#include <QColor>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;
class QToolButton;

namespace vf::ui {

QFrame* card();                                                // rounded, faint white panel
QLabel* caption(const QString& text, double whiteAlpha = 0.6);  // small text at an opacity of white
QLabel* symbolLabel(const QString& symbol, int size, const QColor& color);
void setSymbol(QLabel* label, const QString& symbol, int size, const QColor& color);
QToolButton* symbolButton(const QString& symbol, int size, const QColor& color);
QPushButton* textButton(const QString& text, const QString& symbol, bool prominent = false);

}  // namespace vf::ui
