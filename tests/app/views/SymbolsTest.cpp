#include <QImage>
#include <QTest>

#include <set>

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
    // Every symbol draws in its colour, and no two look alike: a missing
    // drawing would show the same fallback dot twice.
    void everySymbolDrawsItsOwnPicture() {
        std::set<QByteArray> pictures;
        for (const QString& name : vf::symbolNames()) {
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
};

VF_VIEW_TEST(SymbolsTest)
#include "SymbolsTest.moc"
