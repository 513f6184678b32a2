#include <QImage>
#include <QPainter>
#include <QTest>

#include <set>

#include "app/views/CheckerboardPattern.h"
#include "app/views/Symbols.h"
#include "tests/app/views/ViewTest.h"

namespace {

int opaquePixels(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x) n += qAlpha(img.pixel(x, y)) > 40;
    return n;
}

}  // namespace

class SymbolsTest : public QObject {
    Q_OBJECT
private slots:
    // Every symbol the views name draws in its colour, and no two look alike:
    // a missing entry would show the same fallback dot twice.
    void everySymbolDrawsItsOwnPicture() {
        const QStringList used{
            "externaldrive", "externaldrive.fill", "internaldrive.fill", "externaldrive.badge.questionmark",
            "externaldrive.badge.exclamationmark", "sdcard.fill", "xmark.circle.fill", "checkmark.circle.fill",
            "info.circle.fill", "arrow.clockwise", "magnifyingglass", "pause.fill", "play.fill", "stop.fill",
            "exclamationmark.triangle.fill", "exclamationmark.triangle", "gearshape.fill", "camera.aperture",
            "camera.fill", "photo.fill", "photo.on.rectangle.angled", "video.fill", "film.fill", "doc.fill",
            "square.and.arrow.up", "arrow.up.left.and.arrow.down.right", "arrow.left.and.right", "calendar", "scope",
            "timer", "sun.max", "plusminus", "aspectratio", "wand.and.stars", "paintpalette", "scalemass",
            "scalemass.fill", "checkmark.square.fill", "minus.square.fill", "square"};
        std::set<QByteArray> pictures;
        for (const QString& name : used) {
            QVERIFY2(vf::hasSymbol(name), qPrintable(name));
            const QImage img = vf::symbolPixmap(name, 48, QColor(255, 0, 0)).toImage();
            QVERIFY2(opaquePixels(img) > 48 * 48 / 20, qPrintable(name));
            const QRgb sample = img.pixel(24, 24);
            QVERIFY2(qAlpha(sample) == 0 || qGreen(sample) == 0, qPrintable(name));
            const QByteArray bytes(reinterpret_cast<const char*>(img.constBits()), img.sizeInBytes());
            QVERIFY2(pictures.insert(bytes).second, qPrintable(name));
        }
        QVERIFY(!vf::hasSymbol(u"no.such.symbol"));
        QVERIFY(opaquePixels(vf::symbolPixmap(u"no.such.symbol", 48, Qt::white).toImage()) > 0);
    }

    void checkerboardFillsEvenSquaresFromTheTopLeft() {
        QImage img(60, 30, QImage::Format_ARGB32_Premultiplied);
        img.fill(Qt::transparent);
        QPainter p(&img);
        vf::CheckerboardPattern::paint(p, img.rect(), 1.0);
        p.end();
        const struct {
            int x, y;
            bool filled;
        } rows[] = {{0, 0, true}, {11, 11, true}, {12, 0, false}, {0, 12, false}, {12, 12, true}, {59, 29, true},
                    {47, 29, false}};
        for (const auto& r : rows)
            QVERIFY2((qAlpha(img.pixel(r.x, r.y)) == 255) == r.filled, qPrintable(QString("%1,%2").arg(r.x).arg(r.y)));
    }
};

VF_VIEW_TEST(SymbolsTest)
#include "SymbolsTest.moc"
