#pragma once
// Decoding pictures for thumbnails and previews. Safe from any thread; a file
// that is not a whole, decodable picture gives a null image.

#include <QByteArray>
#include <QImage>
#include <QString>

namespace vf {

QImage decodeImage(const QByteArray& bytes);
QImage decodeImageFile(const QString& path);

}  // namespace vf
