#include "app/ImageServices.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

namespace vf {
namespace {

// Pictures are thumbnails and previews; anything that claims more pixels than
// a large camera frame is refused before it is allocated.
constexpr int kMaxAllocationMB = 512;

QImage decode(QIODevice& device) {
    QImageReader reader(&device);
    reader.setAutoTransform(true);
    reader.setAllocationLimit(kMaxAllocationMB);
    QImage image = reader.read();
    if (image.isNull()) return {};
    // Qt fills a truncated picture's missing rows and reports no error; such
    // a picture is not shown.
    if (reader.error() != QImageReader::UnknownError || device.bytesAvailable() < 0) return {};
    return image;
}

}  // namespace

QImage decodeImage(const QByteArray& bytes) {
    if (bytes.isEmpty()) return {};
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly)) return {};
    return decode(buffer);
}

QImage decodeImageFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return decodeImage(file.readAll());
}

}  // namespace vf
