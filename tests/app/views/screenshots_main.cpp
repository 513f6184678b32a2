// Renders each state of the application's windows to PNG files, to be looked
// at as a user would: velliform-screenshots OUTPUT_DIR.

#include <QApplication>
#include <QDir>
#include <QGridLayout>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

#include "app/views/FilePreviewSheet.h"
#include "app/views/ProductInformationView.h"
#include "app/views/RecoveredFilesPanel.h"
#include "app/views/SettingsView.h"
#include "app/views/Symbols.h"
#include "app/views/Theme.h"
#include "tests/app/views/WindowFixture.h"

namespace {

QString outDir;
int failures = 0;

void save(QWidget& w, const char* name) {
    w.show();
    QApplication::processEvents();
    QTest::qWait(120);  // thumbnails: the loader starts once scrolling rests
    QApplication::processEvents();
    const QString path = outDir + "/" + name + ".png";
    if (!w.grab().save(path)) {
        std::fprintf(stderr, "screenshots: cannot write %s\n", qPrintable(path));
        ++failures;
    }
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

QList<vf::DiskInfo> cards() {
    return {vf::test::disk("/dev/sdb", "SDXC Card Reader", true, true, false),
            vf::test::disk("/dev/sdc", "USB Flash", false, true, true, "32 GB"),
            vf::test::disk("/dev/nvme0n1", "Samsung SSD 980", false, false, true, "1 TB")};
}

void windowStates() {
    {
        vf::test::WindowFixture f;
        f.view->resize(700, 600);
        save(*f.view, "window-empty");
    }
    vf::test::WindowFixture f;
    f.disks = cards();
    f.view->resize(700, 600);
    f.view->show();
    QApplication::processEvents();
    f.view->refreshDisks();
    save(*f.view, "window-disk-selected");
    if (!f.startRun()) {
        std::fprintf(stderr, "screenshots: the run did not start\n");
        ++failures;
        return;
    }
    save(*f.view, "window-scanning-empty");
    f.report(26, 0.02);
    f.clock->advance(std::chrono::seconds(41));
    f.report(26, 0.37);
    save(*f.view, "window-scanning-grid");
    f.view->resize(600, 540);
    save(*f.view, "window-smallest");
    f.view->resize(700, 600);
    f.view->files().setRowLayout(vf::RecoveredFileRow::Layout::rows);
    save(*f.view, "window-scanning-rows");
    f.view->files().setRowLayout(vf::RecoveredFileRow::Layout::grid);
    f.manager().pauseScan();
    auto* v = f.view->files().view();
    v->selectionModel()->select(f.view->files().filter()->index(1, 0), QItemSelectionModel::Select);
    v->selectionModel()->select(f.view->files().filter()->index(2, 0), QItemSelectionModel::Select);
    save(*f.view, "window-paused-selection");
    f.manager().stopScan();
    QApplication::processEvents();
    v->selectionModel()->clearSelection();
    f.manager().setExportProgress(0.42);
    save(*f.view, "window-exporting");
    f.manager().setExportProgress(std::nullopt);
    f.manager().failScan("The scanner could not read the card at 23.6 GB.");
    save(*f.view, "window-error");
    f.manager().openDiskImage(f.dir.filePath("card.img"));
    save(*f.view, "window-image-scan");
}

QImage photo(QSize size) {
    QImage img(size, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient sky(0, 0, 0, size.height());
    sky.setColorAt(0, QColor(70, 130, 200));
    sky.setColorAt(1, QColor(240, 190, 140));
    p.fillRect(img.rect(), sky);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 230, 160));
    p.drawEllipse(QPointF(size.width() * 0.7, size.height() * 0.35), size.width() * 0.06, size.width() * 0.06);
    p.setBrush(QColor(40, 60, 70));
    p.drawPolygon(QPolygonF{{0, double(size.height())}, {size.width() * 0.3, size.height() * 0.5},
                            {size.width() * 0.55, size.height() * 0.75}, {size.width() * 0.8, size.height() * 0.55},
                            {double(size.width()), double(size.height())}});
    return img;
}

void previews() {
    QTemporaryDir dir, renditions;
    vf::RecoveredFileInfo file;
    file.id = file.fileName = "2023-07-02_14-21-05_SONY_ILCE-7M3.JPG";
    file.fileType = "JPEG";
    file.fileSize = 11'534'336;
    file.offsetOnDisk = 2'147'483'648ull;
    file.dateTaken = "2023:07:02 14:21:05";
    vf::FilePreviewSheet::Services s;
    s.renditionFolder = renditions.path();
    s.decode = [](const QString& p) { return QImage(p); };
    s.render = [](const QString&, const QString& out) { return photo(QSize(800, 533)).save(out, "JPEG", 85); };
    s.readExif = [](const QString&) {
        vf::EXIFData e;
        e.make = "SONY";
        e.model = "ILCE-7M3";
        e.dateTaken = "2023:07:02 14:21:05";
        e.aperture = "ƒ/2.8";
        e.shutterSpeed = "1/250s";
        e.iso = "ISO 400";
        e.exposureBias = "-0.3 EV";
        e.focalLength = "35mm";
        e.width = 6000;
        e.height = 4000;
        e.flash = "No flash";
        e.whiteBalance = "Auto WB";
        e.colorSpace = "RGB";
        return e;
    };
    QWidget host;
    host.resize(700, 600);
    const auto shoot = [&](const vf::RecoveredFileInfo& f, const vf::FilePreviewSheet::Services& with, const char* name) {
        vf::FilePreviewSheet sheet(f, QImage(), dir.path(), with, &host);
        QSignalSpy spy(&sheet, &vf::FilePreviewSheet::loaded);
        spy.wait(5000);
        save(sheet, name);
    };
    shoot(file, s, "preview-photo");
    vf::RecoveredFileInfo clip = file;
    clip.id = clip.fileName = "C0042.MP4";
    clip.fileType = "MP4";
    clip.fileSize = 412'000'000;
    clip.dateTaken.reset();
    shoot(clip, s, "preview-clip");
    vf::RecoveredFileInfo cut = file;
    cut.id = cut.fileName = "DSC01244.JPG";
    auto failing = s;
    failing.render = [](const QString&, const QString&) { return false; };
    failing.readExif = [](const QString&) { return vf::EXIFData(); };
    shoot(cut, failing, "preview-unavailable");
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    vf::theme::apply(app);
    outDir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(outDir);

    symbolSheet();
    windowStates();
    previews();
    {
        vf::test::WindowFixture f;
        f.view->settings().toggleGroup(vf::SettingsManager::allGroups()[0]);
        vf::SettingsView settings(f.view->settings());
        save(settings, "settings");
    }
    {
        vf::ProductInformationView info;
        save(info, "product-information");
    }
    std::printf("screenshots: written to %s\n", qPrintable(outDir));
    return failures == 0 ? 0 : 1;
}
