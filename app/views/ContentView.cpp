#include "app/views/ContentView.h"

#include <QFileInfo>
#include <QCoreApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QThreadPool>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>

#include "app/ImageServices.h"
#include "app/views/BuildInfo.h"
#include "app/views/DiskPopUpButton.h"
#include "app/views/FilePreviewSheet.h"
#include "app/views/RecoveredFilesPanel.h"
#include "app/views/SettingsView.h"
#include "app/views/Symbols.h"
#include "app/views/Theme.h"
#include "app/views/Widgets.h"
#include "common/ByteCount.h"

namespace vf {

namespace {

void logLine(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

QString bytes(quint64 n) { return QString::fromStdString(formatByteCount(n)); }

QWidget* statistic(const QString& title, QLabel*& value) {
    auto* box = new QWidget;
    auto* col = new QVBoxLayout(box);
    col->setContentsMargins(0, 0, 0, 0);
    col->setSpacing(2);
    auto* t = ui::caption(title.toUpper(), 0.5);
    t->setFont(theme::font(7.5, QFont::DemiBold));
    value = new QLabel(QStringLiteral("\u2013"));
    value->setFont(theme::font(12, QFont::DemiBold));
    col->addWidget(t);
    col->addWidget(value);
    return box;
}

}  // namespace

QString ContentView::formatSummary(int enabled, int all) {
    if (enabled == all) return QStringLiteral("Scanning all %1+ formats").arg(enabled);
    if (enabled == 0) return QStringLiteral("No formats selected \u2014 open Settings");
    return QStringLiteral("%1 of %2 formats active").arg(enabled).arg(all);
}

QString ContentView::remainingText(double elapsed, double p) {
    if (!(p > 0.01)) return {};
    double remaining = elapsed / p - elapsed;
    if (!(remaining > 0)) remaining = 0;
    const auto s = static_cast<long long>(std::min(remaining, 1e12));
    if (remaining < 60) return QStringLiteral("%1s remaining").arg(s);
    if (remaining < 3600) return QStringLiteral("%1m %2s remaining").arg(s / 60).arg(s % 60);
    return QStringLiteral("%1h %2m remaining").arg(s / 3600).arg((s % 3600) / 60);
}

QString ContentView::confirmationMessage(const DiskInfo& disk) {
    return QStringLiteral("Scan ") + disk.size + QStringLiteral(" from ") + disk.devicePath +
           QStringLiteral("?\n\nYou will be prompted for administrator privileges.");
}

std::optional<DiskInfo> ContentView::chooseDisk(const std::optional<DiskInfo>& selected, const QList<DiskInfo>& disks) {
    if (!selected || !selected->isSDCard)
        for (const DiskInfo& d : disks)
            if (d.isSDCard) return d;
    if (selected)
        for (const DiskInfo& d : disks)
            if (d.devicePath == selected->devicePath) return d;
    const std::function<bool(const DiskInfo&)> kinds[] = {
        [](const DiskInfo& d) { return d.isSDCard && !d.isMounted; },
        [](const DiskInfo& d) { return d.isRemovable && !d.isMounted; },
        [](const DiskInfo& d) { return d.isSDCard; },
        [](const DiskInfo& d) { return d.isRemovable; },
        [](const DiskInfo&) { return true; },
    };
    for (const auto& kind : kinds)
        for (const DiskInfo& d : disks)
            if (kind(d)) return d;
    return std::nullopt;
}

ContentView::ContentView(QWidget* parent) : ContentView(Parts{}, parent) {}

ContentView::ContentView(Parts parts, QWidget* parent)
    : QWidget(parent),
      helperManager_(parts.helperManager ? std::move(parts.helperManager) : std::make_unique<HelperToolManager>()),
      settings_(parts.settings ? std::move(parts.settings) : std::make_unique<SettingsManager>()),
      updateChecker_(parts.updateChecker ? std::move(parts.updateChecker) : std::make_unique<UpdateChecker>()),
      listDisks_(parts.listDisks ? std::move(parts.listDisks) : [] { return DiskEnumerator().enumerateDisks(); }),
      pool_(new QThreadPool(this)),
      diskPoll_(new QTimer(this)),
      clock_(new QTimer(this)) {
    pool_->setMaxThreadCount(2);
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(8);

    // Header.
    auto* header = new QHBoxLayout;
    auto* titles = new QVBoxLayout;
    titles->setSpacing(0);
    auto* title = new QLabel(QStringLiteral("SD Card Photo Recovery"));
    title->setFont(theme::font(15, QFont::Bold));
    titles->addWidget(title);
    titles->addWidget(ui::caption(QStringLiteral("Scan a disk and recover photo  files"), 0.6));
    header->addLayout(titles, 1);
    auto* gear = ui::symbolButton(QStringLiteral("gearshape.fill"), 20, theme::white(0.7));
    gear->setObjectName(QStringLiteral("settings"));
    gear->setToolTip(QStringLiteral("Settings \u2014 formats, file size, privacy"));
    connect(gear, &QToolButton::clicked, this, &ContentView::openSettings);
    header->addWidget(gear, 0, Qt::AlignTop);
    layout->addLayout(header);

    // Disk section: the picker on one line, what it will do on the next, so
    // that the recovered files keep most of the window.
    auto* diskCard = ui::card();
    auto* disk = new QVBoxLayout(diskCard);
    disk->setContentsMargins(12, 8, 12, 8);
    disk->setSpacing(6);
    auto* diskTop = new QHBoxLayout;
    diskTop->setSpacing(8);
    diskTop->addWidget(ui::symbolLabel(QStringLiteral("externaldrive"), 16, theme::white(0.7)));
    auto* selectLabel = new QLabel(QStringLiteral("Select Disk"));
    selectLabel->setFont(theme::font(10, QFont::DemiBold));
    diskTop->addWidget(selectLabel);
    auto* refresh = ui::symbolButton(QStringLiteral("arrow.clockwise"), 15, theme::white(0.7));
    refresh->setObjectName(QStringLiteral("refresh"));
    refresh->setToolTip(QStringLiteral("Refresh the disk list"));
    connect(refresh, &QToolButton::clicked, this, &ContentView::refreshDisks);
    diskTop->addWidget(refresh);
    diskRow_ = new QWidget;
    auto* row = new QHBoxLayout(diskRow_);
    row->setContentsMargins(0, 0, 0, 0);
    popUp_ = new DiskPopUpButton;
    popUp_->setMinimumContentsLength(16);
    popUp_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    connect(popUp_, &DiskPopUpButton::diskChosen, this, &ContentView::selectDisk);
    row->addWidget(popUp_, 1);
    diskTop->addWidget(diskRow_, 1);
    noDisks_ = new QWidget;
    auto* none = new QHBoxLayout(noDisks_);
    none->setContentsMargins(0, 0, 0, 0);
    none->addWidget(ui::symbolLabel(QStringLiteral("externaldrive.badge.questionmark"), 18, theme::white(0.5)));
    none->addWidget(ui::caption(QStringLiteral("No disks found. Click refresh."), 0.6), 1);
    diskTop->addWidget(noDisks_, 1);
    auto* image = new QPushButton(QStringLiteral("Open Disk Image\u2026"));
    image->setObjectName(QStringLiteral("openImage"));
    image->setToolTip(QStringLiteral("Recover from a disk image made with dd or ddrescue"));
    connect(image, &QPushButton::clicked, this, &ContentView::openDiskImage);
    diskTop->addWidget(image);
    disk->addLayout(diskTop);
    auto* status = new QHBoxLayout;
    status->setSpacing(6);
    statusIcon_ = ui::symbolLabel(QStringLiteral("xmark.circle.fill"), 14, theme::orange);
    status->addWidget(statusIcon_);
    statusText_ = ui::caption(QString(), 0.7);
    statusText_->setObjectName(QStringLiteral("diskStatus"));
    status->addWidget(statusText_, 1);
    formatSummary_ = ui::caption(QString(), 0.6);
    status->addWidget(ui::symbolLabel(QStringLiteral("camera.aperture"), 14, theme::white(0.55)));
    status->addWidget(formatSummary_);
    disk->addLayout(status);
    layout->addWidget(diskCard);

    // Controls: the start while no scan runs; pause and stop sit with the progress.
    start_ = ui::textButton(QStringLiteral("Start Scanning"), QStringLiteral("magnifyingglass"), true);
    start_->setObjectName(QStringLiteral("start"));
    start_->setMinimumHeight(32);
    connect(start_, &QPushButton::clicked, this, &ContentView::startScanning);
    auto* controls = new QHBoxLayout;
    controls->setSpacing(8);
    controls->addWidget(start_, 1);
    layout->addLayout(controls);
    pause_ = ui::textButton(QStringLiteral("Pause"), QStringLiteral("pause.fill"));
    pause_->setObjectName(QStringLiteral("pause"));
    connect(pause_, &QPushButton::clicked, this, [this] {
        helperManager_->isPaused() ? helperManager_->resumeScan() : helperManager_->pauseScan();
    });
    stop_ = ui::textButton(QStringLiteral("Stop"), QStringLiteral("stop.fill"));
    stop_->setObjectName(QStringLiteral("stop"));
    stop_->setProperty("destructive", true);
    connect(stop_, &QPushButton::clicked, this, [this] { helperManager_->stopScan(); });
    resumeInterrupted_ = ui::textButton(QStringLiteral("Resume Interrupted Scan"), QStringLiteral("arrow.clockwise"));
    resumeInterrupted_->setObjectName(QStringLiteral("resumeInterrupted"));
    connect(resumeInterrupted_, &QPushButton::clicked, this, [this] { helperManager_->resumeInterruptedScan(); });
    // Beside the start rather than under it: the row is the window's width either way.
    resumeInterrupted_->setMinimumHeight(32);
    controls->addWidget(resumeInterrupted_, 1);

    // Progress.
    stats_ = ui::card();
    auto* statsLayout = new QVBoxLayout(stats_);
    statsLayout->setContentsMargins(12, 8, 12, 8);
    statsLayout->setSpacing(6);
    auto* numbers = new QHBoxLayout;
    numbers->addWidget(statistic(QStringLiteral("Files Found"), filesFound_), 1);
    numbers->addWidget(statistic(QStringLiteral("Scanned"), scanned_), 1);
    numbers->addWidget(statistic(QStringLiteral("Total"), total_), 1);
    numbers->addWidget(statistic(QStringLiteral("Progress"), percent_), 1);
    numbers->addWidget(statistic(QStringLiteral("Remaining"), remaining_), 1);
    statsLayout->addLayout(numbers);
    progress_ = new QProgressBar;
    progress_->setRange(0, 1000);
    progress_->setTextVisible(false);
    statsLayout->addWidget(progress_);
    auto* phaseRow = new QHBoxLayout;
    phaseRow->setSpacing(8);
    phase_ = ui::caption(QString(), 0.6);
    phase_->setObjectName(QStringLiteral("status"));
    phase_->setMinimumWidth(80);
    phaseRow->addWidget(phase_, 1);
    for (auto* b : {pause_, stop_}) {
        b->setMinimumWidth(92);
        phaseRow->addWidget(b);
    }
    statsLayout->addLayout(phaseRow);
    layout->addWidget(stats_);

    errorRow_ = new QWidget;
    errorRow_->setStyleSheet(QStringLiteral("background: rgba(255,69,58,0.12); border-radius: 8px;"));
    auto* err = new QHBoxLayout(errorRow_);
    err->setContentsMargins(10, 6, 10, 6);
    err->addWidget(ui::symbolLabel(QStringLiteral("exclamationmark.triangle.fill"), 16, theme::red), 0, Qt::AlignTop);
    error_ = new QLabel;
    error_->setObjectName(QStringLiteral("error"));
    error_->setWordWrap(true);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    error_->setStyleSheet(QStringLiteral("color: #ff8a80; background: transparent;"));
    err->addWidget(error_, 1);
    layout->addWidget(errorRow_);

    // Recovered files, with the export in the bar under them.
    const QPointer<HelperToolManager> manager(helperManager_.get());
    files_ = new RecoveredFilesPanel([this, manager](const QString& path, std::function<void(QImage)> done) {
        pool_->start([manager, path, done = std::move(done)]() mutable {
            if (manager) manager->loadImage(path, std::move(done));
        });
    });
    files_->setFiles(&helperManager_->recoveredFiles());
    layout->addWidget(files_, 1);
    exportProgress_ = new QProgressBar;
    exportProgress_->setRange(0, 1000);
    exportProgress_->setTextVisible(false);
    exportProgress_->setMaximumWidth(220);
    files_->footer()->addWidget(exportProgress_, 1);
    exportPercent_ = ui::caption(QString(), 0.6);
    files_->footer()->addWidget(exportPercent_);
    export_ = ui::textButton(QString(), QStringLiteral("square.and.arrow.up"), true);
    export_->setObjectName(QStringLiteral("export"));
    export_->setMinimumHeight(30);
    connect(export_, &QPushButton::clicked, this, &ContentView::exportFiles);
    files_->footer()->addWidget(export_);

    connect(files_, &RecoveredFilesPanel::selectionChanged, this, &ContentView::refreshState);
    connect(files_, &RecoveredFilesPanel::previewRequested, this, [this](const RecoveredFileInfo& file) {
        FilePreviewSheet sheet(file, files_->thumbnails()->thumbnail(QString::fromStdString(file.id)),
                               helperManager_->scanOutputDirectory(),
                               FilePreviewSheet::defaultServices([](const QString& p) { return decodeImageFile(p); }),
                               this);
        sheet.exec();
    });

    HelperToolManager* m = helperManager_.get();
    connect(m, &HelperToolManager::recoveredFilesAppended, files_, &RecoveredFilesPanel::filesAppended);
    connect(m, &HelperToolManager::recoveredFilesChanged, this, [this] {
        if (files_->totalCount() != static_cast<int>(helperManager_->recoveredFiles().size())) files_->filesReset();
        refreshState();
    });
    connect(m, &HelperToolManager::scanOutputDirectoryChanged, this,
            [this] { files_->setOutputDirectory(helperManager_->scanOutputDirectory()); });
    for (auto signal : {&HelperToolManager::isScanningChanged, &HelperToolManager::isPausedChanged,
                        &HelperToolManager::statusMessageChanged, &HelperToolManager::errorMessageChanged,
                        &HelperToolManager::bytesScannedChanged, &HelperToolManager::filesFoundChanged,
                        &HelperToolManager::totalBytesChanged, &HelperToolManager::progressPercentageChanged,
                        &HelperToolManager::canExportChanged, &HelperToolManager::canResumeInterruptedScanChanged,
                        &HelperToolManager::exportProgressChanged})
        connect(m, signal, this, &ContentView::refreshState);
    connect(settings_.get(), &SettingsManager::enabledFormatsChanged, this, &ContentView::refreshState);
    connect(updateChecker_.get(), &UpdateChecker::updateAvailableChanged, this, [this] {
        if (!updateChecker_->updateAvailable()) return;
        QMessageBox box(this);
        box.setWindowTitle(QStringLiteral("Update Available"));
        box.setText(QStringLiteral("Update Available"));
        box.setInformativeText(tr("Velliform %1 is available.").arg(updateChecker_->latestVersion()) +
                               QStringLiteral(" You can download it from %1.").arg(build::vendorSite().host()));
        auto* download = box.addButton(QStringLiteral("Download Update"), QMessageBox::AcceptRole);
        box.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        box.exec();
        if (box.clickedButton() == download) updateChecker_->openDownload();
    });

    // The time left moves with the clock, not only with records.
    clock_->setInterval(1000);
    connect(clock_, &QTimer::timeout, this, &ContentView::refreshProgress);
    diskPoll_->setInterval(parts.diskPollMilliseconds);
    connect(diskPoll_, &QTimer::timeout, this, &ContentView::pollDisks);
    if (parts.diskPollMilliseconds > 0) diskPoll_->start();
    refreshState();
}

ContentView::~ContentView() {
    diskPoll_->stop();
    pool_->clear();
    pool_->waitForDone();
}

void ContentView::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    if (appeared_) return;
    appeared_ = true;
    logLine("✅ ContentView appeared");
    logLine("ℹ️ Using Authorization Services for privileged disk access");
    logLine("ℹ️ Full Disk Access not required for this app");
    // After the window is up: a disk list filled in while it is being shown
    // would be measured unstyled and widen the window past its start size.
    QTimer::singleShot(0, this, [this] {
        if (QWidget* w = window()) {
            w->setMinimumSize(600, 540);
            logLine("✅ Set minimum window size to 600x540");
        }
        refreshDisks();
    });
    updateChecker_->checkForUpdates();
}

void ContentView::refreshDisks() { applyDisks(listDisks_()); }

void ContentView::applyDisks(const QList<DiskInfo>& disks) {
    availableDisks_ = disks;
    selectedDisk_ = chooseDisk(selectedDisk_, disks);
    devicePath_ = selectedDisk_ ? selectedDisk_->devicePath : QString();
    helperManager_->setSelectedDevicePath(devicePath_);
    refreshState();
}

// Cards are noticed as they come and go: a light poll of the disk list, off
// the main thread, that changes the selection only when the list changed.
void ContentView::pollDisks() {
    if (diskPollRunning_ || helperManager_->isScanning() || !isVisible()) return;
    diskPollRunning_ = true;
    const QPointer<ContentView> self(this);
    pool_->start([self, list = listDisks_] {
        QList<DiskInfo> disks = list();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, disks = std::move(disks)] {
                if (!self) return;
                self->diskPollRunning_ = false;
                if (disks != self->availableDisks_ && !self->helperManager_->isScanning()) self->applyDisks(disks);
            },
            Qt::QueuedConnection);
    });
}

void ContentView::selectDisk(const DiskInfo& disk) {
    selectedDisk_ = disk;
    devicePath_ = disk.devicePath;
    helperManager_->setSelectedDevicePath(devicePath_);
    refreshState();
}

void ContentView::startScanning() {
    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("Ready to Scan"));
    box.setText(QStringLiteral("Ready to Scan"));
    if (selectedDisk_) box.setInformativeText(confirmationMessage(*selectedDisk_));
    box.addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    auto* start = box.addButton(QStringLiteral("Start Scan"), QMessageBox::AcceptRole);
    box.exec();
    if (box.clickedButton() == start) confirmStart();
}

void ContentView::confirmStart() {
    if (!selectedDisk_ || !selectedDisk_->isSDCard) {
        helperManager_->setErrorMessage(QStringLiteral("Select an SD card before scanning."));
        return;
    }
    if (devicePath_.isEmpty()) {
        helperManager_->setErrorMessage(QStringLiteral("No device path set."));
        return;
    }
    helperManager_->setEnabledFormats(settings_->enabledFormats());
    helperManager_->setMinFileSizeBytes(settings_->minFileSizeBytes());
    helperManager_->startScan(devicePath_, 0, false);
}

void ContentView::openDiskImage() {
    const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open Disk Image"), QString(),
                                                      QStringLiteral("Disk images (*.img *.dd *.raw *.bin *.iso);;All files (*)"));
    if (path.isEmpty()) return;
    helperManager_->setEnabledFormats(settings_->enabledFormats());
    helperManager_->setMinFileSizeBytes(settings_->minFileSizeBytes());
    helperManager_->openDiskImage(path);
}

QString ContentView::exportButtonText() const {
    if (helperManager_->isExporting()) return QStringLiteral("Exporting\u2026");
    const int chosen = files_->selectedCount();
    const int n = chosen > 0 ? chosen : static_cast<int>(helperManager_->recoveredFiles().size());
    return QStringLiteral("Export %1 File(s)").arg(n);
}

void ContentView::exportFiles() {
    if (files_->selectedCount() > 0) emit exportRequested(files_->selectedFiles());
    else emit exportRequested(std::nullopt);
}

void ContentView::openSettings() {
    SettingsView sheet(*settings_, this);
    sheet.exec();
}

void ContentView::refreshState() {
    const HelperToolManager& m = *helperManager_;
    refreshDiskSection();
    formatSummary_->setText(formatSummary(static_cast<int>(settings_->enabledFormats().size()),
                                          static_cast<int>(SettingsManager::allFormats().size())));
    start_->setVisible(!m.isScanning());
    start_->setEnabled(!m.isExporting());
    pause_->setVisible(m.isScanning());
    stop_->setVisible(m.isScanning());
    pause_->setText(m.isPaused() ? QStringLiteral("Resume") : QStringLiteral("Pause"));
    pause_->setIcon(symbolIcon(m.isPaused() ? u"play.fill" : u"pause.fill", Qt::white));
    resumeInterrupted_->setVisible(m.canResumeInterruptedScan() && !m.isScanning());
    // The log hint after a blank line reads as well on the next line, in less room.
    error_->setText(QString(m.errorMessage()).replace(QStringLiteral("\n\n"), QStringLiteral("\n")));
    errorRow_->setVisible(!m.errorMessage().isEmpty());
    files_->setScanning(m.isScanning());
    export_->setText(exportButtonText());
    export_->setVisible(!m.recoveredFiles().empty());
    export_->setEnabled(m.canExport() && !m.isExporting());
    exportProgress_->setVisible(m.isExporting());
    exportProgress_->setValue(static_cast<int>(m.exportProgressValue() * 1000));
    exportPercent_->setVisible(m.isExporting());
    exportPercent_->setText(QStringLiteral("%1%").arg(static_cast<int>(m.exportProgressValue() * 100)));
    if (m.isScanning() && !clock_->isActive()) clock_->start();
    if (!m.isScanning()) clock_->stop();
    refreshProgress();
}

void ContentView::refreshDiskSection() {
    const bool none = availableDisks_.isEmpty();
    diskRow_->setVisible(!none);
    noDisks_->setVisible(none);
    popUp_->update(availableDisks_, selectedDisk_, helperManager_->isScanning());
    // An image scan reads no card: the line names the image, not the selection.
    const QString image = helperManager_->isScanning() ? helperManager_->scannedImagePath() : QString();
    if (!image.isEmpty()) {
        ui::setSymbol(statusIcon_, QStringLiteral("doc.fill"), 14, theme::accent);
        statusText_->setText(QStringLiteral("Scanning the disk image %1").arg(QFileInfo(image).fileName()));
    } else if (!selectedDisk_) {
        ui::setSymbol(statusIcon_, QStringLiteral("xmark.circle.fill"), 14, theme::orange);
        statusText_->setText(QStringLiteral("No disk selected"));
    } else if (selectedDisk_->isMounted) {
        ui::setSymbol(statusIcon_, QStringLiteral("checkmark.circle.fill"), 14, theme::green);
        statusText_->setText(QStringLiteral("Mounted \u2014 it is unmounted when the scan starts"));
    } else if (selectedDisk_->isSDCard) {
        ui::setSymbol(statusIcon_, QStringLiteral("sdcard.fill"), 14, theme::accent);
        statusText_->setText(QStringLiteral("Unmounted \u2014 ready to scan"));
    } else {
        ui::setSymbol(statusIcon_, QStringLiteral("externaldrive.badge.exclamationmark"), 14, theme::orange);
        statusText_->setText(QStringLiteral("Not a memory card"));
    }
}

void ContentView::refreshProgress() {
    const HelperToolManager& m = *helperManager_;
    const bool any = m.isScanning() || m.bytesScanned() > 0 || m.filesFound() > 0;
    stats_->setVisible(any);
    filesFound_->setText(QString::number(m.filesFound()));
    scanned_->setText(bytes(m.bytesScanned()));
    total_->setText(m.totalBytes() ? bytes(m.totalBytes()) : QStringLiteral("\u2013"));
    percent_->setText(QStringLiteral("%1%").arg(static_cast<int>(m.progressPercentage() * 100)));
    progress_->setValue(static_cast<int>(m.progressPercentage() * 1000));
    const auto elapsed = m.secondsSinceScanStart();
    const QString left = m.isScanning() && elapsed ? remainingText(*elapsed, m.progressPercentage()) : QString();
    remaining_->setText(left.isEmpty() ? QStringLiteral("\u2013") : left.chopped(10));
    remaining_->setToolTip(left);
    phase_->setText(m.statusMessage());
}

}  // namespace vf
