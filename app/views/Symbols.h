#pragma once
// The symbol names the views use ("externaldrive.fill", "pause.fill", ...)
// drawn by the application itself, on a 24-unit grid, in any colour: the
// desktop's icon theme may be missing or drawn for light backgrounds.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QStringList>
#include <QStringView>

namespace vf {

// An icon for the symbol in the colour; a neutral dot for an unknown name, so
// that a typo shows as such rather than as nothing.
QIcon symbolIcon(QStringView name, const QColor& color = QColor(255, 255, 255, 217));
QPixmap symbolPixmap(QStringView name, int size, const QColor& color, qreal devicePixelRatio = 1.0);

bool hasSymbol(QStringView name);
QStringList symbolNames();

// The application's own icon (window, launcher), drawn at any size.
QIcon applicationIcon();
QImage applicationIconImage(int size);

}  // namespace vf
