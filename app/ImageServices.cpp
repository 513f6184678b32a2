#include "app/ImageServices.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>

namespace vf {
namespace {

// Pictures are thumbnails and previews; anything that claims more pixels than
// a large camera frame is refused before it is allocated.
constexpr int kMaxAllocationMB = 512;

quint8 at(const QByteArray& b, qsizetype i) { return static_cast<quint8>(b[i]); }

// Whether a JPEG runs to its end-of-image marker. Qt's decoder fills the rows
// of a cut-off JPEG with grey and reports success; a recovered file cut short
// must show as unavailable, not as half a picture.
bool jpegIsWhole(const QByteArray& b) {
    const qsizetype n = b.size();
    qsizetype i = 2;
    while (i < n) {
        if (at(b, i) != 0xFF) return false;
        while (i < n && at(b, i) == 0xFF) ++i;  // fill bytes
        if (i >= n) return false;
        const quint8 marker = at(b, i++);
        if (marker == 0xD9) return true;
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) continue;
        if (i + 2 > n) return false;
        const qsizetype length = (at(b, i) << 8) | at(b, i + 1);
        if (length < 2) return false;
        i += length;
        if (i > n) return false;
        if (marker != 0xDA) continue;
        // Entropy-coded data runs to the next marker that is not a stuffed
        // zero or a restart.
        while (i + 1 < n && !(at(b, i) == 0xFF && at(b, i + 1) != 0x00 &&
                              !(at(b, i + 1) >= 0xD0 && at(b, i + 1) <= 0xD7)))
            ++i;
        if (i + 1 >= n) return false;
    }
    return false;
}

}  // namespace

QImage decodeImage(const QByteArray& bytes) {
    if (bytes.isEmpty()) return {};
    if (bytes.size() >= 2 && at(bytes, 0) == 0xFF && at(bytes, 1) == 0xD8 && !jpegIsWhole(bytes)) return {};
    QBuffer buffer;
    buffer.setData(bytes);
    if (!buffer.open(QIODevice::ReadOnly)) return {};
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    reader.setAllocationLimit(kMaxAllocationMB);
    return reader.read();  // null on any failure
}

QImage decodeImageFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return decodeImage(file.readAll());
}

}  // namespace vf
