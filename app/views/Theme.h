#pragma once
// The application's dark look: palette, fonts and one style sheet, set once on
// the application so that every view draws from the same colours.

#include <QColor>
#include <QFont>

class QApplication;

namespace vf::theme {

inline const QColor window{0x1c, 0x1c, 0x1e};
inline const QColor sheet{0x24, 0x24, 0x27};
inline const QColor accent{0x0a, 0x84, 0xff};
inline const QColor orange{0xff, 0x9f, 0x0a};
inline const QColor green{0x30, 0xd1, 0x58};
inline const QColor red{0xff, 0x45, 0x3a};

// White at a given opacity: the captions are 60 % and 50 % white, the row
// backgrounds a few per cent.
inline QColor white(double alpha) {
    QColor c(Qt::white);
    c.setAlphaF(static_cast<float>(alpha));
    return c;
}

QFont font(qreal pointSize, QFont::Weight weight = QFont::Normal);

void apply(QApplication& app);

}  // namespace vf::theme
