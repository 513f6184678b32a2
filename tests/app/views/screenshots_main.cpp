// Renders each state of the application's windows to PNG files, to be looked
// at as a user would: screenshots OUTPUT_DIR.

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QLabel>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

#include "app/views/ProductInformationView.h"
#include "app/views/Symbols.h"
#include "app/views/Theme.h"

namespace {

QString outDir;
int failures = 0;

void save(QWidget& w, const char* name) {
    w.show();
    QApplication::processEvents();
    const QString path = outDir + "/" + name + ".png";
    if (!w.grab().save(path)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        ++failures;
    }
    w.hide();
}

void symbolSheet() {
    QWidget sheet;
    sheet.setAutoFillBackground(true);
    auto* grid = new QGridLayout(&sheet);
    grid->setSpacing(14);
    const QStringList names = vf::symbolNames();
    for (int i = 0; i < names.size(); ++i) {
        auto* cell = new QLabel;
        cell->setPixmap(vf::symbolPixmap(names[i], 28, Qt::white, 2));
        cell->setToolTip(names[i]);
        auto* text = new QLabel(names[i]);
        text->setFont(vf::theme::font(7));
        text->setStyleSheet("color: rgba(255,255,255,0.6)");
        grid->addWidget(cell, (i / 6) * 2, i % 6, Qt::AlignCenter);
        grid->addWidget(text, (i / 6) * 2 + 1, i % 6, Qt::AlignCenter);
    }
    auto* icon = new QLabel;
    icon->setPixmap(vf::applicationIcon().pixmap(128, 128));
    grid->addWidget(icon, 0, 6, 4, 1, Qt::AlignCenter);
    save(sheet, "symbols");
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    vf::theme::apply(app);
    outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(outDir);

    symbolSheet();
    {
        vf::ProductInformationView info;
        save(info, "product-information");
    }
    std::printf("screenshots: written to %s\n", qPrintable(outDir));
    return failures == 0 ? 0 : 1;
}
