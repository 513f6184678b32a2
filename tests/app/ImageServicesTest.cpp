#include "app/ImageServices.h"

#include <QFile>
#include <gtest/gtest.h>

#include "tests/app/AppTest.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

TEST(ImageServices, WholePicturesDecodeAndAnythingElseGivesNothing) {
    test::ensureQtApp();
    const test::TempDir dir;
    // Pictures as ImageMagick writes them; a progressive JPEG comes in several scans.
    const auto made = [&](const std::string& name, const std::string& options = "") {
        EXPECT_EQ(test::run("convert -size 320x240 plasma: " + options + " " + (dir / name).string()).status, 0);
        QFile f(QString::fromStdString((dir / name).string()));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QByteArray jpeg = made("a.jpg"), progressive = made("p.jpg", "-interlace JPEG"), png = made("a.png");
    for (const QByteArray& whole : {jpeg, progressive, png}) EXPECT_EQ(decodeImage(whole).size(), QSize(320, 240));
    const std::pair<const char*, QByteArray> rows[] = {
        {"empty", {}},
        {"jpeg cut in its data", jpeg.left(jpeg.size() * 2 / 3)},
        {"jpeg without its last marker", jpeg.left(jpeg.size() - 2)},
        {"progressive jpeg cut between scans", progressive.left(progressive.size() / 2)},
        {"jpeg header only", jpeg.left(600)},
        {"png cut", png.left(png.size() / 2)},
        {"noise after a jpeg start", QByteArray::fromHex("ffd8ffe0") + QByteArray(1000, '\xff')},
    };
    for (const auto& [name, bytes] : rows) EXPECT_TRUE(decodeImage(bytes).isNull()) << name;

    EXPECT_EQ(decodeImageFile(QString::fromStdString((dir / "a.jpg").string())).size(), QSize(320, 240));
    EXPECT_TRUE(decodeImageFile(QString::fromStdString((dir / "missing.jpg").string())).isNull());
}

}  // namespace
}  // namespace vf
