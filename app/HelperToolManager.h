#pragma once
// Starts the root scanner for one run at a time, watches it through its
// progress file, steers it through its control file and publishes what the
// views show. All state lives on the main thread.

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/Clock.h"
#include "app/ExportDialogs.h"
#include "app/ProgressReader.h"
#include "common/Records.h"

Q_DECLARE_METATYPE(std::vector<vf::RecoveredFileInfo>)

namespace vf {

class HelperLauncher;
class PowerActivity;
class PowerHold;

class HelperToolManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isScanning READ isScanning NOTIFY isScanningChanged)
    Q_PROPERTY(bool isPaused READ isPaused NOTIFY isPausedChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    // Empty when there is no error to show.
    Q_PROPERTY(QString errorMessage READ errorMessage NOTIFY errorMessageChanged)
    Q_PROPERTY(quint64 bytesScanned READ bytesScanned NOTIFY bytesScannedChanged)
    Q_PROPERTY(qint64 filesFound READ filesFound NOTIFY filesFoundChanged)
    Q_PROPERTY(quint64 currentOffset READ currentOffset NOTIFY currentOffsetChanged)
    Q_PROPERTY(quint64 totalBytes READ totalBytes NOTIFY totalBytesChanged)
    // A fraction from 0 to 1.
    Q_PROPERTY(double progressPercentage READ progressPercentage NOTIFY progressPercentageChanged)
    Q_PROPERTY(std::vector<vf::RecoveredFileInfo> recoveredFiles READ recoveredFiles NOTIFY recoveredFilesChanged)
    Q_PROPERTY(bool canExport READ canExport NOTIFY canExportChanged)
    Q_PROPERTY(bool canResumeInterruptedScan READ canResumeInterruptedScan NOTIFY canResumeInterruptedScanChanged)
    Q_PROPERTY(bool isExporting READ isExporting NOTIFY exportProgressChanged)
    // Fraction of a running export; meaningful while isExporting.
    Q_PROPERTY(double exportProgress READ exportProgressValue NOTIFY exportProgressChanged)
    Q_PROPERTY(QSet<QString> enabledFormats READ enabledFormats WRITE setEnabledFormats NOTIFY enabledFormatsChanged)
    Q_PROPERTY(quint64 minFileSizeBytes READ minFileSizeBytes WRITE setMinFileSizeBytes NOTIFY minFileSizeBytesChanged)
    // The disk the window has picked (a device path); start uses what it is given.
    Q_PROPERTY(QString selectedDevicePath READ selectedDevicePath WRITE setSelectedDevicePath NOTIFY
                   selectedDevicePathChanged)
    Q_PROPERTY(QString scanOutputDirectory READ scanOutputDirectory NOTIFY scanOutputDirectoryChanged)

public:
    // What the manager reaches the system through; empty members take the defaults.
    struct Services {
        std::shared_ptr<const Clock> clock;
        std::shared_ptr<HelperLauncher> launcher;
        std::shared_ptr<PowerActivity> power;
        QString helperPath;     // the root scanner; default: beside the application
        QString imageToolPath;  // the `tessarine` command line; default: beside the application
        QString cacheBase;      // holds the folder "Tessarine"; default: the user's caches
        QString tempDir;        // the exchange files; default: the temporary directory
        QString launchLogPath;  // default: /tmp/tessarine_launch.log
        QString debugLogPath;   // default: /tmp/tessarine_debug.log
        bool pollTimer = true;  // false: tests call pollProgress themselves
        std::shared_ptr<ExportDialogs> dialogs;  // default: Qt's dialogs and the file manager
    };

    static constexpr double kPollInterval = 0.5;
    static constexpr double kLaunchLimit = 10.0;
    static constexpr double kStallLimit = 60.0;
    static constexpr const char* kPowerReason = "Recovering files from an SD card";
    static constexpr const char* kLogHint = "\n\nCheck /tmp/tessarine_debug.log for details.";

    explicit HelperToolManager(QObject* parent = nullptr);
    HelperToolManager(Services services, QObject* parent = nullptr);
    ~HelperToolManager() override;

    // Published state.
    bool isScanning() const { return isScanning_; }
    bool isPaused() const { return isPaused_; }
    const QString& statusMessage() const { return statusMessage_; }
    const QString& errorMessage() const { return errorMessage_; }
    quint64 bytesScanned() const { return bytesScanned_; }
    qint64 filesFound() const { return filesFound_; }
    quint64 currentOffset() const { return currentOffset_; }
    quint64 totalBytes() const { return totalBytes_; }
    double progressPercentage() const { return progressPercentage_; }
    const std::vector<RecoveredFileInfo>& recoveredFiles() const { return recoveredFiles_; }
    bool canExport() const { return canExport_; }
    bool canResumeInterruptedScan() const { return canResumeInterruptedScan_; }
    bool isExporting() const { return exportProgress_.has_value(); }
    std::optional<double> exportProgress() const { return exportProgress_; }
    double exportProgressValue() const { return exportProgress_.value_or(0.0); }
    const QSet<QString>& enabledFormats() const { return enabledFormats_; }
    void setEnabledFormats(const QSet<QString>& formats);
    quint64 minFileSizeBytes() const { return minFileSizeBytes_; }
    void setMinFileSizeBytes(quint64 bytes);
    const QString& selectedDevicePath() const { return selectedDevicePath_; }
    void setSelectedDevicePath(const QString& path);
    // The disk image the current or last run read; empty when it read a card.
    QString scannedImagePath() const { return interruptedMode_ == Mode::image ? interruptedDevicePath_ : QString(); }
    // Folder of the current or last run's files; empty before the first run.
    const QString& scanOutputDirectory() const { return scanOutputDirectory_; }
    // Seconds since the current run was requested (for the time-left estimate).
    std::optional<double> secondsSinceScanStart() const;
    // The run's exchange files while it runs; empty otherwise.
    const QString& progressFilePath() const { return progressFilePath_; }
    const QString& controlFilePath() const { return controlFilePath_; }

    // Commands from the window.
    void startScan(const QString& devicePath, quint64 resumeOffset = 0, bool resume = false);
    void resumeInterruptedScan();
    void pauseScan();
    void resumeScan();
    void stopScan();
    // Scans a disk image (or any file the user may read) with the `tessarine`
    // command line: same supervision, no administrator prompt.
    void openDiskImage(const QString& path);
    // Reads and decodes on the calling thread; `done` runs on the manager's
    // thread with the picture, or a null image.
    void loadImage(const QString& path, std::function<void(QImage)> done);
    // The window's own refusals ("Select an SD card before scanning.").
    void setErrorMessage(const QString& v);

    // Export (HelperToolManagerExport.cpp). `files` is the selection to
    // export; all recovered files when absent.
    void chooseExportDestination(std::optional<std::vector<RecoveredFileInfo>> files = std::nullopt);
    // False, after a warning, when the folder's volume is known to be too small.
    bool hasEnoughSpace(const QString& destination, const std::vector<RecoveredFileInfo>& files);
    // Copies on a background thread; progress and the result arrive on this one.
    void exportFiles(const QString& destination, std::optional<std::vector<RecoveredFileInfo>> files = std::nullopt);
    void finishExport(int failed, int copied, const QString& destination);
    static constexpr const char* kOnCardMessage = "This folder is on the card being recovered";
    static constexpr const char* kOnCardText =
        "Saving files onto the card they are recovered from can overwrite photos that are still waiting to be "
        "recovered. Choose a folder on another disk.";

    // One tick of the poll; the timer calls it every half second.
    void pollProgress();
    void applyProgress(const ProgressInfo& info);
    void failScan(const QString& message);
    // Deletes earlier runs' output folders, keeping `keepName`.
    void removeStaleScanDirectories(const QString& keepName);

signals:
    void isScanningChanged();
    void isPausedChanged();
    void statusMessageChanged();
    void errorMessageChanged();
    void bytesScannedChanged();
    void filesFoundChanged();
    void currentOffsetChanged();
    void totalBytesChanged();
    void progressPercentageChanged();
    // Every change of the list; appends also say which rows came.
    void recoveredFilesChanged();
    void recoveredFilesAppended(qsizetype first, qsizetype count);
    void canExportChanged();
    void canResumeInterruptedScanChanged();
    void exportProgressChanged();
    void enabledFormatsChanged();
    void minFileSizeBytesChanged();
    void selectedDevicePathChanged();
    void scanOutputDirectoryChanged();
    // A run ended (done, stopped, failed or interrupted).
    void scanFinished();

protected:
    // Setters of published state that later parts of the class (export) share;
    // the window's screenshots set states through them too.
    void setIsScanning(bool v);
    void setIsPaused(bool v);
    void setStatusMessage(const QString& v);
    void setCanExport(bool v);
    void setCanResumeInterruptedScan(bool v);
    void setExportProgress(std::optional<double> v);

private:

    ExportDialogs& exportDialogs();
    bool destinationIsOnCard(const QString& destination) const;

    enum class Mode { root, image };
    struct RetiredRun {
        QString progressFile;
        QString controlFile;
        Clock::TimePoint deadline;
    };

    void beginRun(Mode mode, const QString& source, quint64 resumeOffset, bool resume);
    void launchFinished(quint64 generation, int kind, int exitStatus, const QString& standardError,
                        const QString& error, const QString& launchLog);
    void startPolling();
    void stopPolling();
    void removeScanFiles();
    // Forgets the run's files but leaves them for the scanner to read "stop"
    // from, until it has finished or a long while has passed.
    void retireScanFiles();
    void sweepRetiredRuns();
    void endPowerActivity();
    bool writeControlWord(const char* word, QString& error);
    void finishRun();
    // Lists the files of the output folder that no record named: a scanner
    // killed between naming a file and reporting it leaves such files, and a
    // resumed one does not list what the folder already holds.
    void adoptUnlistedFiles();
    void setCounters(quint64 bytes, qint64 files, quint64 offset, quint64 total);
    void setProgressPercentage(double v);
    void setScanOutputDirectory(const QString& v);
    double secondsSince(Clock::TimePoint t) const;
    QString launchLogPath() const;
    QString toolName() const;

    Services services_;
    QTimer* progressTimer_ = nullptr;

    bool isScanning_ = false;
    bool isPaused_ = false;
    QString statusMessage_ = QStringLiteral("Ready");
    QString errorMessage_;
    quint64 bytesScanned_ = 0;
    qint64 filesFound_ = 0;
    quint64 currentOffset_ = 0;
    quint64 totalBytes_ = 0;
    double progressPercentage_ = 0;
    std::vector<RecoveredFileInfo> recoveredFiles_;
    std::unordered_set<std::string> recoveredIds_;
    bool canExport_ = false;
    bool canResumeInterruptedScan_ = false;
    std::optional<double> exportProgress_;
    QSet<QString> enabledFormats_;
    quint64 minFileSizeBytes_ = 1048576;
    QString selectedDevicePath_;

    QString scanOutputDirectory_;
    QString progressFilePath_;
    QString controlFilePath_;
    QString usedLaunchLogPath_;
    std::optional<Clock::TimePoint> scanStartTime_;
    // When the administrator prompt was answered; the launch limit counts from here.
    std::optional<Clock::TimePoint> launchConfirmedTime_;
    bool progressFileEverSeen_ = false;
    Clock::TimePoint lastProgressMovement_;
    quint64 lastObservedOffset_ = 0;
    QString interruptedDevicePath_;
    Mode interruptedMode_ = Mode::root;
    std::unique_ptr<PowerHold> scanPowerActivity_;
    // Bumped by every start and end, so a late launch report of an earlier run is dropped.
    quint64 runGeneration_ = 0;
    std::unique_ptr<ProgressReader> progressReader_;
    std::vector<RetiredRun> retiredRuns_;
    QTimer* retiredTimer_ = nullptr;
    bool polling_ = false;
    ExportCancel exportCancel_;  // last: set first when the manager goes
};

}  // namespace vf
