#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include "app/views/AppDelegate.h"
#include "app/views/DiskPopUpButton.h"
#include "app/views/RecoveredFilesPanel.h"
#include "app/views/SettingsView.h"
#include "tests/app/views/ViewTest.h"
#include "tests/app/views/WindowFixture.h"

using vf::ContentView;
using vf::test::disk;

class ContentViewTest : public QObject {
    Q_OBJECT
private slots:
    void summaryAndRemainingTexts() {
        QCOMPARE(ContentView::formatSummary(47, 47), QString("Scanning all 47+ formats"));
        QCOMPARE(ContentView::formatSummary(0, 47), QString("No formats selected \u2014 open Settings"));
        QCOMPARE(ContentView::formatSummary(5, 47), QString("5 of 47 formats active"));
        const struct {
            double elapsed, p;
            const char* text;
        } rows[] = {{59.9, 0.5, "59s remaining"}, {3600, 0.5, "1h 0m remaining"}, {725, 0.5, "12m 5s remaining"},
                    {100, 0.01, ""}, {100, 1.0, "0s remaining"}, {4800, 0.5, "1h 20m remaining"}};
        for (const auto& r : rows) QCOMPARE(ContentView::remainingText(r.elapsed, r.p), QString(r.text));
    }

    void popUpTitlesAndTheSelectionAfterARefresh() {
        QCOMPARE(vf::DiskPopUpButton::title(disk("/dev/disk4", "", false, true, false, "64 GB")),
                 QString("disk4 (64 GB) \u2014 /dev/disk4"));
        auto typed = disk("/dev/sdb", "", true, true, false);
        typed.mediaType = "SD";
        QCOMPARE(vf::DiskPopUpButton::title(typed), QString("SD (63.9 GB) \u2014 /dev/sdb"));

        vf::test::WindowFixture f;
        auto* popUp = f.view->findChild<vf::DiskPopUpButton*>();
        f.disks = {disk("/dev/nvme0n1", "SSD", false, false, true), disk("/dev/sdc", "USB", false, true, true),
                   disk("/dev/sdb", "Card", true, true, false)};
        f.view->refreshDisks();
        QCOMPARE(f.view->selectedDisk()->devicePath, QString("/dev/sdb"));  // the SD card first
        QCOMPARE(popUp->currentIndex(), 4);
        QCOMPARE(popUp->itemData(0).toInt(), -1);
        const int builds = popUp->rebuildCount();
        f.view->refreshDisks();
        QCOMPARE(popUp->rebuildCount(), builds);  // same titles, same menu

        f.view->selectDisk(f.disks[1]);
        f.disks.removeAt(1);
        f.view->refreshDisks();
        QCOMPARE(f.view->selectedDisk()->devicePath, QString("/dev/sdb"));
        f.disks = {disk("/dev/nvme0n1", "SSD", false, false, true), disk("/dev/sdd", "Stick", false, true, false)};
        f.view->selectDisk(f.disks[0]);
        f.view->refreshDisks();  // not a card, still there: kept
        QCOMPARE(f.view->selectedDisk()->devicePath, QString("/dev/nvme0n1"));
        f.disks = {disk("/dev/sdd", "Stick", false, true, false)};
        f.view->refreshDisks();
        QCOMPARE(f.view->selectedDisk()->devicePath, QString("/dev/sdd"));  // an unmounted removable disk
        f.disks.clear();
        f.view->refreshDisks();
        QVERIFY(!f.view->selectedDisk());
        QCOMPARE(popUp->currentIndex(), 0);
    }

    void refusalsAndStart() {
        vf::test::WindowFixture f;
        f.view->confirmStart();
        QCOMPARE(f.manager().errorMessage(), QString("Select an SD card before scanning."));
        f.disks = {disk("/dev/sdc", "USB", false, true, false)};
        f.view->refreshDisks();
        f.view->confirmStart();
        QCOMPARE(f.manager().errorMessage(), QString("Select an SD card before scanning."));
        QVERIFY(!f.manager().isScanning());
        QCOMPARE(ContentView::confirmationMessage(disk("/dev/sdb", "Card", true, true, false)),
                 QString("Scan 63.9 GB from /dev/sdb?\n\nYou will be prompted for administrator privileges."));

        f.disks = {disk("/dev/sdb", "Card", true, true, false)};
        f.view->refreshDisks();
        f.view->settings().setMinFileSizeMB(0.5);
        QVERIFY(f.startRun());
        QCOMPARE(f.manager().minFileSizeBytes(), quint64(524288));
        f.report(3, 0.5);
        QCOMPARE(f.view->files().totalCount(), 3);
        QCOMPARE(f.view->exportButtonText(), QString("Export 3 File(s)"));
        auto* sel = f.view->files().view()->selectionModel();
        sel->select(f.view->files().filter()->index(1, 0), QItemSelectionModel::Select);
        QCOMPARE(f.view->exportButtonText(), QString("Export 1 File(s)"));
        std::optional<std::vector<vf::RecoveredFileInfo>> asked;
        connect(f.view.get(), &ContentView::exportRequested, this, [&](auto files) { asked = std::move(files); });
        f.view->exportFiles();
        QVERIFY(asked && asked->size() == 1);
        QCOMPARE((*asked)[0].fileName, f.manager().recoveredFiles()[1].fileName);
        f.manager().stopScan();
        f.manager().setExportProgress(0.4);
        auto* exportButton = f.view->findChild<QPushButton*>("export");
        QCOMPARE(exportButton->text(), QString("Exporting\u2026"));
        QVERIFY(!exportButton->isEnabled());
        f.manager().setExportProgress(std::nullopt);
        QVERIFY(exportButton->isEnabled());

        // An image scan reads no card: the disk's line names the image while it runs.
        auto* line = f.view->findChild<QLabel*>("diskStatus");
        QCOMPARE(line->text(), QString("Unmounted \u2014 ready to scan"));
        f.manager().openDiskImage(f.dir.filePath("card.img"));
        QCOMPARE(line->text(), QString("Scanning the disk image card.img"));
        f.manager().stopScan();
        QCOMPARE(line->text(), QString("Unmounted \u2014 ready to scan"));
    }

    void settingsSliderAndGroups() {
        vf::test::WindowFixture f;
        vf::SettingsView view(f.view->settings());
        auto* slider = view.findChild<QSlider*>();
        slider->setValue(0);
        QCOMPARE(view.findChild<QLabel*>("sizeValue")->text(), QString("No limit"));
        QCOMPARE(f.view->settings().minFileSizeMB(), 0.0);
        QCOMPARE(f.view->settings().minFileSizeBytes(), quint64(0));
        slider->setValue(7);
        QCOMPARE(view.findChild<QLabel*>("sizeValue")->text(), QString("3.5 MB"));
        QCOMPARE(view.findChild<QLabel*>("summary")->text(), QString("All 47 formats active"));

        const auto rows = view.findChildren<vf::FormatGroupRow*>();
        vf::FormatGroupRow* pentax = nullptr;
        vf::FormatGroupRow* dng = nullptr;
        for (auto* r : rows) {
            if (r->text() == "Pentax/Ricoh") pentax = r;
            if (r->text() == "DNG (Universal)") dng = r;
        }
        QVERIFY(pentax && dng);
        pentax->click();
        QCOMPARE(pentax->checkSymbol(), QString("square"));
        QCOMPARE(dng->checkSymbol(), QString("square"));
        f.view->settings().setEnabledFormats(f.view->settings().enabledFormats() + QSet<QString>{"PEF"});
        QCOMPARE(pentax->checkSymbol(), QString("minus.square.fill"));
        QCOMPARE(view.findChild<QLabel*>("summary")->text(), QString("46 of 47 formats active"));
        f.view->settings().setEnabledFormats({});
        QCOMPARE(ContentView::formatSummary(0, 47), QString("No formats selected \u2014 open Settings"));
    }

    void oneWindowWithItsLimits() {
        // A card with a long name, listed as the window opens, does not widen it.
        vf::ContentView::Parts parts;
        parts.listDisks = [] { return QList<vf::DiskInfo>{disk("/dev/sdb", "Generic Multi-Card Reader SDXC", true, true, false)}; };
        parts.diskPollMilliseconds = 0;
        vf::VelliformApp app(*qApp, std::move(parts));
        QCOMPARE(app.window().size(), QSize(700, 600));
        app.window().show();
        QTRY_COMPARE(app.window().minimumSize(), QSize(600, 540));
        QVERIFY(app.content().selectedDisk());
        QCOMPARE(app.window().size(), QSize(700, 600));
        QVERIFY(qApp->quitOnLastWindowClosed());
        app.window().resize(300, 300);
        QCOMPARE(app.window().size(), QSize(600, 540));
        app.window().hide();
    }
};

VF_VIEW_TEST(ContentViewTest)
#include "ContentViewTest.moc"
