#include "app/ImageServices.h"

#include <QBuffer>
#include <QImageWriter>
#include <gtest/gtest.h>

#include "tests/app/AppTest.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

QByteArray encoded(const char* format, bool progressive = false) {
    QImage image(320, 240, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) image.setPixel(x, y, qRgb(x % 256, y % 256, (x * y) % 256));
    QByteArray out;
    QBuffer b(&out);
    b.open(QIODevice::WriteOnly);
    QImageWriter w(&b, format);
    w.setProgressiveScanWrite(progressive);
    EXPECT_TRUE(w.write(image));
    return out;
}

TEST(ImageServices, WholePicturesDecodeAndAnythingElseGivesNothing) {
    test::ensureQtApp();
    const QByteArray jpeg = encoded("jpeg"), progressive = encoded("jpeg", true), png = encoded("png");
    for (const QByteArray& whole : {jpeg, progressive, png}) EXPECT_EQ(decodeImage(whole).size(), QSize(320, 240));
    const std::pair<const char*, QByteArray> rows[] = {
        {"empty", {}},
        {"jpeg cut in its data", jpeg.left(jpeg.size() * 2 / 3)},
        {"jpeg without its last marker", jpeg.left(jpeg.size() - 2)},
        {"progressive jpeg cut between scans", progressive.left(progressive.size() / 2)},
        {"jpeg header only", jpeg.left(600)},
        {"png cut", png.left(png.size() / 2)},
        {"video", QByteArray::fromHex("0000001866747970697336000000000069736f6d61766331") + QByteArray(4096, 7)},
        {"raw camera file", QByteArray::fromHex("49492a00100000004352020000000000") + QByteArray(4096, 1)},
        {"noise after a jpeg start", QByteArray::fromHex("ffd8ffe0") + QByteArray(1000, '\xff')},
    };
    for (const auto& [name, bytes] : rows) EXPECT_TRUE(decodeImage(bytes).isNull()) << name;

    const test::TempDir dir;
    test::writeFile(dir / "x.thumb.jpg", {jpeg.begin(), jpeg.end()});
    EXPECT_EQ(decodeImageFile(QString::fromStdString((dir / "x.thumb.jpg").string())).size(), QSize(320, 240));
    EXPECT_TRUE(decodeImageFile(QString::fromStdString((dir / "missing.jpg").string())).isNull());
}

}  // namespace
}  // namespace vf
