#pragma once
// The backdrop of the preview: 12 × 12 squares, filled where row + column is
// even (the top-left square among them), so that transparent parts of a
// picture show as such.

#include <QWidget>

namespace vf {

class CheckerboardPattern : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSquare = 12;

    // The filled squares are white at this opacity; the others stay clear.
    explicit CheckerboardPattern(qreal opacity = 1.0, QWidget* parent = nullptr);

    static void paint(QPainter& p, const QRect& area, qreal opacity);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    qreal opacity_;
};

}  // namespace vf
