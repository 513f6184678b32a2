#include "app/HelperToolManager.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>
#include <QThreadPool>
#include <QUuid>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "app/ImageServices.h"
#include "common/ByteCount.h"
#include "common/FormatNames.h"
#include "platform/HelperLaunch.h"
#include "platform/PowerActivity.h"
#include "platform/Privileges.h"

namespace vf {
namespace {

constexpr int kLogExcerptLines = 15;
// How long a stopped run's files stay for the scanner to read "stop" from,
// when it never says it has finished.
constexpr auto kRetiredRunLifetime = std::chrono::minutes(10);

void logLine(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

// The end of a log, read without following a link or blocking on a FIFO that
// someone may have put at the fixed path.
QString readLogTail(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return {};
    struct stat st {};
    QByteArray bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        constexpr off_t kTail = 64 * 1024;
        const off_t from = std::max<off_t>(0, st.st_size - kTail);
        bytes.resize(static_cast<qsizetype>(st.st_size - from));
        const ssize_t n = ::pread(fd, bytes.data(), static_cast<std::size_t>(bytes.size()), from);
        bytes.resize(n > 0 ? static_cast<qsizetype>(n) : 0);
    }
    ::close(fd);
    return QString::fromUtf8(bytes);
}

// A log's closing line break does not cost one of the lines shown.
QString lastLines(const QString& text, int count) {
    const QStringList pieces = (text.endsWith('\n') ? text.chopped(1) : text).split('\n');
    return pieces.mid(std::max<qsizetype>(0, pieces.size() - count)).join('\n');
}

QString bytesText(quint64 n) { return QString::fromStdString(formatByteCount(n)); }

// The format a file's extension names: the scanner's own lower-case names, or
// the extensions cameras write.
std::string fileTypeOfName(const QString& name) {
    const QString ext = QFileInfo(name).suffix().toUpper();
    for (std::string_view n : kFormatNames)
        if (QString::fromUtf8(n.data(), static_cast<qsizetype>(n.size())).toUpper() == ext) return std::string(n);
    if (ext == "JPG" || ext == "JPE") return "JPEG";
    if (ext == "TIF") return "TIFF";
    return ext.toStdString();
}

// The run's progress and control files live in a folder of the run's own,
// made by mkdtemp (0700), so that no other user can put a control file there
// before the user's first word. For an application run as root the scanner
// works as nobody, who is given the folder.
QString makeRunFolder(const QString& tempDir, QString& error) {
    QByteArray name = QFile::encodeName(tempDir + "/velliform-XXXXXX");
    if (!::mkdtemp(name.data())) {
        error = QString::fromLocal8Bit(std::strerror(errno));
        return {};
    }
    if (::geteuid() == 0) {
        const UserIds nobody = nobodyIds();
        const int fd = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool given = fd >= 0 && ::fchown(fd, nobody.uid, nobody.gid) == 0;
        error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0) ::close(fd);
        if (!given) {
            ::rmdir(name.constData());
            return {};
        }
    }
    return QFile::decodeName(name);
}

// Removes a run's files and then its folder, which is empty by then.
void removeRunFiles(const QString& progressFile, const QString& controlFile) {
    QFile::remove(progressFile);
    QFile::remove(controlFile);
    const QString folder = QFileInfo(progressFile).absolutePath();
    if (QFileInfo(folder).fileName().startsWith(QLatin1String("velliform-"))) QDir().rmdir(folder);
}

}  // namespace

HelperToolManager::HelperToolManager(QObject* parent) : HelperToolManager(Services{}, parent) {}

HelperToolManager::HelperToolManager(Services services, QObject* parent)
    : QObject(parent), services_(std::move(services)) {
    const QString appDir = QCoreApplication::instance() ? QCoreApplication::applicationDirPath() : QString();
    if (!services_.clock) services_.clock = std::make_shared<SteadyClock>();
    if (!services_.launcher) services_.launcher = makeDefaultLauncher();
    if (!services_.power) services_.power = makePowerActivity();
    if (services_.helperPath.isEmpty()) services_.helperPath = appDir + "/TessarineHelper";
    if (services_.imageToolPath.isEmpty()) services_.imageToolPath = appDir + "/tessarine";
    if (services_.cacheBase.isEmpty())
        services_.cacheBase = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    if (services_.tempDir.isEmpty()) services_.tempDir = QDir::tempPath();
    if (services_.launchLogPath.isEmpty()) services_.launchLogPath = QStringLiteral("/tmp/tessarine_launch.log");
    if (services_.debugLogPath.isEmpty()) services_.debugLogPath = QStringLiteral("/tmp/tessarine_debug.log");
    lastProgressMovement_ = services_.clock->now();
    progressTimer_ = new QTimer(this);
    progressTimer_->setInterval(static_cast<int>(kPollInterval * 1000));
    connect(progressTimer_, &QTimer::timeout, this, &HelperToolManager::pollProgress);
    retiredTimer_ = new QTimer(this);
    retiredTimer_->setInterval(1000);
    connect(retiredTimer_, &QTimer::timeout, this, &HelperToolManager::sweepRetiredRuns);
}

HelperToolManager::~HelperToolManager() {
    // A running scanner is told to stop; the files of stopped runs stay so it can read that.
    // No watcher hears of it: the window that owns the manager is itself being taken down.
    blockSignals(true);
    if (isScanning_ || !controlFilePath_.isEmpty()) stopScan();
}

// --- published state ---------------------------------------------------------

namespace {

// Publishes a new value of one property, announcing only real changes.
template <class T>
void publish(HelperToolManager* m, T& member, const T& value, void (HelperToolManager::*changed)()) {
    if (member == value) return;
    member = value;
    emit(m->*changed)();
}

}  // namespace

void HelperToolManager::setIsScanning(bool v) { publish(this, isScanning_, v, &HelperToolManager::isScanningChanged); }
void HelperToolManager::setIsPaused(bool v) { publish(this, isPaused_, v, &HelperToolManager::isPausedChanged); }
void HelperToolManager::setStatusMessage(const QString& v) {
    publish(this, statusMessage_, v, &HelperToolManager::statusMessageChanged);
}
void HelperToolManager::setErrorMessage(const QString& v) {
    publish(this, errorMessage_, v, &HelperToolManager::errorMessageChanged);
}
void HelperToolManager::setCanExport(bool v) { publish(this, canExport_, v, &HelperToolManager::canExportChanged); }
void HelperToolManager::setCanResumeInterruptedScan(bool v) {
    publish(this, canResumeInterruptedScan_, v, &HelperToolManager::canResumeInterruptedScanChanged);
}
void HelperToolManager::setExportProgress(std::optional<double> v) {
    publish(this, exportProgress_, v, &HelperToolManager::exportProgressChanged);
}
void HelperToolManager::setEnabledFormats(const QSet<QString>& formats) {
    publish(this, enabledFormats_, formats, &HelperToolManager::enabledFormatsChanged);
}
void HelperToolManager::setMinFileSizeBytes(quint64 bytes) {
    publish(this, minFileSizeBytes_, bytes, &HelperToolManager::minFileSizeBytesChanged);
}
void HelperToolManager::setSelectedDevicePath(const QString& path) {
    publish(this, selectedDevicePath_, path, &HelperToolManager::selectedDevicePathChanged);
}
void HelperToolManager::setScanOutputDirectory(const QString& v) {
    publish(this, scanOutputDirectory_, v, &HelperToolManager::scanOutputDirectoryChanged);
}
void HelperToolManager::setProgressPercentage(double v) {
    publish(this, progressPercentage_, v, &HelperToolManager::progressPercentageChanged);
}

void HelperToolManager::setCounters(quint64 bytes, qint64 files, quint64 offset, quint64 total) {
    publish(this, bytesScanned_, bytes, &HelperToolManager::bytesScannedChanged);
    publish(this, filesFound_, files, &HelperToolManager::filesFoundChanged);
    publish(this, currentOffset_, offset, &HelperToolManager::currentOffsetChanged);
    publish(this, totalBytes_, total, &HelperToolManager::totalBytesChanged);
}

double HelperToolManager::secondsSince(Clock::TimePoint t) const {
    return std::chrono::duration<double>(services_.clock->now() - t).count();
}

std::optional<double> HelperToolManager::secondsSinceScanStart() const {
    if (!scanStartTime_) return std::nullopt;
    return secondsSince(*scanStartTime_);
}

QString HelperToolManager::launchLogPath() const {
    return usedLaunchLogPath_.isEmpty() ? services_.launchLogPath : usedLaunchLogPath_;
}

// --- starting a run ------------------------------------------------------------

void HelperToolManager::startScan(const QString& devicePath, quint64 resumeOffset, bool resume) {
    beginRun(Mode::root, devicePath, resumeOffset, resume);
}

void HelperToolManager::openDiskImage(const QString& path) { beginRun(Mode::image, path, 0, false); }

void HelperToolManager::resumeInterruptedScan() {
    if (isScanning_ || interruptedDevicePath_.isEmpty() || currentOffset_ == 0) return;
    beginRun(interruptedMode_, interruptedDevicePath_, currentOffset_, true);
}

void HelperToolManager::beginRun(Mode mode, const QString& source, quint64 resumeOffset, bool resume) {
    if (isScanning_) {
        logLine("⚠️ Ignoring duplicate startScan while a scan is active");
        return;
    }
    setIsScanning(true);
    // A run that ended while paused must not leave the next one paused.
    setIsPaused(false);
    if (!resume && !recoveredFiles_.empty()) {
        recoveredFiles_.clear();
        recoveredIds_.clear();
        emit recoveredFilesChanged();
    }
    if (resume) adoptUnlistedFiles();
    setCanExport(false);
    setCanResumeInterruptedScan(false);
    setExportProgress(std::nullopt);
    setErrorMessage(QString());

    const QString program = mode == Mode::root ? services_.helperPath : services_.imageToolPath;
    if (!QFileInfo(program).isExecutable()) {
        setIsScanning(false);
        failScan(mode == Mode::root ? QStringLiteral("TessarineHelper not found in app bundle")
                                    : QStringLiteral("tessarine not found beside the application"));
        return;
    }
    const QString base = services_.cacheBase.isEmpty() ? services_.tempDir : services_.cacheBase;
    const QString runId = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    if (!(resume && !scanOutputDirectory_.isEmpty()))
        setScanOutputDirectory(base + "/Tessarine/" + runId);
    interruptedDevicePath_ = source;
    interruptedMode_ = mode;
    if (!resume) removeStaleScanDirectories(runId);
    QString folderError;
    const QString runFolder = makeRunFolder(services_.tempDir, folderError);
    if (runFolder.isEmpty()) {
        setIsScanning(false);
        failScan("Cannot make a folder for the run's files in " + services_.tempDir + ": " + folderError);
        return;
    }
    progressFilePath_ = runFolder + "/tesrine_" + runId + ".json";
    controlFilePath_ = runFolder + "/tesrine_" + runId + ".control";
    progressReader_ = std::make_unique<ProgressReader>();
    if (!scanPowerActivity_) {
        std::string error;
        scanPowerActivity_ = services_.power->begin(kPowerReason, error);
        if (!scanPowerActivity_)
            logLine("⚠️ Could not keep the machine awake during the scan: " + QString::fromStdString(error));
    }

    setStatusMessage(mode == Mode::root ? QStringLiteral("Requesting privileges…") : QStringLiteral("Starting…"));
    setCounters(0, 0, 0, 0);
    setProgressPercentage(0);
    scanStartTime_ = services_.clock->now();
    launchConfirmedTime_.reset();
    progressFileEverSeen_ = false;
    lastObservedOffset_ = resumeOffset;
    lastProgressMovement_ = services_.clock->now();
    const quint64 generation = ++runGeneration_;

    HelperInvocation inv;
    inv.helperPath = program.toStdString();
    inv.devicePath = source.toStdString();
    inv.outputDirectory = scanOutputDirectory_.toStdString();
    inv.progressFile = progressFilePath_.toStdString();
    inv.controlFile = controlFilePath_.toStdString();
    QStringList formats(enabledFormats_.begin(), enabledFormats_.end());
    std::sort(formats.begin(), formats.end());
    inv.formatFilter = formats.join(',').toStdString();
    inv.minFileSize = minFileSizeBytes_;
    inv.resumeOffset = resumeOffset;

    const std::shared_ptr<HelperLauncher> launcher = services_.launcher;
    const std::string logPath = services_.launchLogPath.toStdString();
    const std::string fallbackDir = services_.tempDir.toStdString();
    const QPointer<HelperToolManager> self(this);
    QThreadPool::globalInstance()->start([=] {
        const LaunchLog log = openLaunchLog(logPath, fallbackDir);
        LaunchOutcome outcome;
        if (log.fd < 0) {
            outcome.kind = LaunchOutcome::Kind::notStarted;
            outcome.error = "the launch log cannot be written";
        } else if (mode == Mode::image) {
            logLine("Starting tessarine on the disk image...");
            std::vector<std::string> argv{inv.helperPath, "scan", inv.devicePath, "--output", inv.outputDirectory,
                                          "--progress-file", inv.progressFile, "--control-file", inv.controlFile,
                                          "--min-size", std::to_string(inv.minFileSize), "--resume",
                                          std::to_string(inv.resumeOffset)};
            // The settings offer names the scanner has no format for (3GP, MKV, ...); the root
            // scanner drops them from its filter, the command line would refuse them.
            std::string known;
            for (const QString& name : QString::fromStdString(inv.formatFilter).split(QLatin1Char(','), Qt::SkipEmptyParts))
                if (isScannerFormatName(name.toStdString())) known += (known.empty() ? "" : ",") + name.toStdString();
            if (!known.empty()) argv.insert(argv.end(), {"--formats", known});
            outcome = launchDetached(argv, log);
        } else {
            logLine("Launching helper via " + QString::fromUtf8(launcher->name()) + "...");
            outcome = launcher->launch(inv, log);
        }
        if (log.fd >= 0) ::close(log.fd);
        logLine(QString::fromUtf8(mode == Mode::image ? std::string_view("sh") : launcher->tool()) +
                " exit: " + QString::number(outcome.exitStatus) +
                " stderr: " + QString::fromUtf8(outcome.standardError));
        const int kind = static_cast<int>(outcome.kind);
        const QString err = QString::fromUtf8(outcome.standardError);
        const QString why = QString::fromStdString(outcome.error);
        const QString usedLog = QString::fromStdString(log.path);
        const int status = outcome.exitStatus;
        if (!self) return;
        QMetaObject::invokeMethod(
            self.data(),
            [self, generation, kind, status, err, why, usedLog] {
                if (self) self->launchFinished(generation, kind, status, err, why, usedLog);
            },
            Qt::QueuedConnection);
    });
}

QString HelperToolManager::toolName() const {
    return interruptedMode_ == Mode::image ? QStringLiteral("sh") : QString::fromUtf8(services_.launcher->tool());
}

void HelperToolManager::launchFinished(quint64 generation, int kind, int exitStatus, const QString& standardError,
                                       const QString& error, const QString& launchLog) {
    // A run stopped while the prompt was up has ended; its late answer changes nothing.
    if (generation != runGeneration_ || !isScanning_) return;
    usedLaunchLogPath_ = launchLog;
    switch (static_cast<LaunchOutcome::Kind>(kind)) {
        case LaunchOutcome::Kind::launched:
            logLine("Helper launched via " +
                    (interruptedMode_ == Mode::image ? QStringLiteral("tessarine")
                                                     : QString::fromUtf8(services_.launcher->name())) +
                    ", polling for progress...");
            launchConfirmedTime_ = services_.clock->now();
            setStatusMessage(QStringLiteral("Scanning…"));
            startPolling();
            return;
        case LaunchOutcome::Kind::cancelled:
            failScan(QStringLiteral("Authorization cancelled"));
            return;
        case LaunchOutcome::Kind::failed: {
            QString log = readLogTail(launchLogPath());
            if (log.isNull()) log = QStringLiteral("no launch log");
            failScan("Launch failed (exit " + QString::number(exitStatus) + "):\n" + standardError +
                     "\nLaunch log:\n" + log);
            return;
        }
        case LaunchOutcome::Kind::notStarted:
            failScan(toolName() + " exec failed: " + error);
            return;
    }
}

// --- polling -----------------------------------------------------------------------

void HelperToolManager::startPolling() {
    stopPolling();
    polling_ = true;
    if (services_.pollTimer) progressTimer_->start();
}

void HelperToolManager::stopPolling() {
    polling_ = false;
    progressTimer_->stop();
}

void HelperToolManager::pollProgress() {
    if (progressFilePath_.isEmpty()) return;

    if (progressFileEverSeen_ && !isPaused_ && secondsSince(lastProgressMovement_) > kStallLimit) {
        QString ignored;
        writeControlWord("stop", ignored);
        setErrorMessage(
            QStringLiteral("The scan stopped making progress. You can resume from the last confirmed position."));
        setStatusMessage(QStringLiteral("Scan interrupted"));
        setIsScanning(false);
        setIsPaused(false);
        setCanResumeInterruptedScan(currentOffset_ != 0);
        adoptUnlistedFiles();
        setCanExport(!recoveredFiles_.empty());
        stopPolling();
        endPowerActivity();
        retireScanFiles();
        emit scanFinished();
        return;
    }

    // Counted from the answer to the prompt, not from the request: the time a
    // user spends typing a password is no sign of a scanner that did not start.
    // While the prompt is still up there is no limit.
    if (!progressFileEverSeen_ && launchConfirmedTime_ && secondsSince(*launchConfirmedTime_) > kLaunchLimit) {
        QString message = QStringLiteral("Helper did not start within 10s.\n");
        const QString launchLog = readLogTail(launchLogPath());
        const QString debugLog = readLogTail(services_.debugLogPath);
        if (!launchLog.isEmpty()) message += "\nLaunch log:\n" + lastLines(launchLog, kLogExcerptLines);
        if (!debugLog.isEmpty()) message += "\n\nDebug log:\n" + lastLines(debugLog, kLogExcerptLines);
        if (launchLog.isEmpty() && debugLog.isEmpty())
            message += QStringLiteral("\nNeither log was created — binary did not launch.\n"
                                      "Ensure TessarineHelper is in the bundle, is executable, and is code-signed.");
        // A scanner that starts late must not run on unwatched.
        QString ignored;
        writeControlWord("stop", ignored);
        stopPolling();
        failScan(message);
        return;
    }

    const std::optional<ProgressInfo> record = progressReader_->read(progressFilePath_.toStdString());
    if (!record) return;
    progressFileEverSeen_ = true;
    if (record->currentOffset != lastObservedOffset_ || record->bytesScanned != bytesScanned_) {
        lastObservedOffset_ = record->currentOffset;
        lastProgressMovement_ = services_.clock->now();
    }
    applyProgress(*record);
}

void HelperToolManager::applyProgress(const ProgressInfo& info) {
    setCounters(info.bytesScanned, info.filesFound, info.currentOffset, info.totalBytes);
    if (totalBytes_ != 0) {
        const double fraction = static_cast<double>(bytesScanned_) / static_cast<double>(totalBytes_);
        setProgressPercentage(fraction > 0 ? std::min(fraction, 1.0) : 0.0);
    }
    if (info.newFiles && !info.newFiles->empty()) {
        const qsizetype first = static_cast<qsizetype>(recoveredFiles_.size());
        for (const RecoveredFileInfo& f : *info.newFiles) {
            // One row per file, even when a record names a file twice.
            if (recoveredIds_.insert(f.id).second) recoveredFiles_.push_back(f);
        }
        const qsizetype added = static_cast<qsizetype>(recoveredFiles_.size()) - first;
        if (added > 0) {
            emit recoveredFilesAppended(first, added);
            emit recoveredFilesChanged();
        }
    }
    const QString phase = QString::fromStdString(info.phase);
    if (totalBytes_ != 0) {
        const int percent = static_cast<int>(std::trunc(progressPercentage_ * 100));
        setStatusMessage(phase + " — " + bytesText(bytesScanned_) + " / " + bytesText(totalBytes_) + " (" +
                         QString::number(percent) + "%)");
    } else {
        setStatusMessage(phase + " — " + bytesText(bytesScanned_) + " scanned");
    }
    if (info.errorMessage) {
        setErrorMessage(QString::fromStdString(*info.errorMessage));
        setIsScanning(false);
        setCanResumeInterruptedScan(currentOffset_ != 0);
        finishRun();
    } else if (info.isComplete) {
        setIsScanning(false);
        setCanResumeInterruptedScan(false);
        setStatusMessage("Done — found " + QString::number(info.filesFound) + " file(s)");
        finishRun();
    }
}

void HelperToolManager::adoptUnlistedFiles() {
    if (scanOutputDirectory_.isEmpty()) return;
    const QFileInfoList entries = QDir(scanOutputDirectory_).entryInfoList(QDir::Files | QDir::NoSymLinks, QDir::Name);
    const qsizetype first = static_cast<qsizetype>(recoveredFiles_.size());
    for (const QFileInfo& e : entries) {
        const QString name = e.fileName();
        if (name.endsWith(".thumb.jpg") || recoveredIds_.count(name.toStdString())) continue;
        RecoveredFileInfo f;
        f.id = f.fileName = name.toStdString();
        f.fileSize = static_cast<std::uint64_t>(e.size());
        f.fileType = fileTypeOfName(name);
        recoveredIds_.insert(f.id);
        recoveredFiles_.push_back(std::move(f));
    }
    const qsizetype added = static_cast<qsizetype>(recoveredFiles_.size()) - first;
    if (added == 0) return;
    logLine("📂 Listed " + QString::number(added) + " file(s) of the output folder that no record named");
    emit recoveredFilesAppended(first, added);
    emit recoveredFilesChanged();
}

void HelperToolManager::finishRun() {
    adoptUnlistedFiles();
    setIsPaused(false);
    setCanExport(!recoveredFiles_.empty());
    stopPolling();
    endPowerActivity();
    removeScanFiles();
    emit scanFinished();
}

void HelperToolManager::failScan(const QString& message) {
    setErrorMessage(message + kLogHint);
    setStatusMessage(QStringLiteral("Error"));
    setIsScanning(false);
    setIsPaused(false);
    setCanExport(!recoveredFiles_.empty());
    endPowerActivity();
    retireScanFiles();
    emit scanFinished();
}

// --- run files ---------------------------------------------------------------------

void HelperToolManager::removeScanFiles() {
    if (!progressFilePath_.isEmpty()) removeRunFiles(progressFilePath_, controlFilePath_);
    progressFilePath_.clear();
    controlFilePath_.clear();
}

void HelperToolManager::retireScanFiles() {
    if (progressFilePath_.isEmpty() && controlFilePath_.isEmpty()) return;
    retiredRuns_.push_back({progressFilePath_, controlFilePath_, services_.clock->now() + kRetiredRunLifetime});
    progressFilePath_.clear();
    controlFilePath_.clear();
    if (!retiredTimer_->isActive()) retiredTimer_->start();
}

void HelperToolManager::sweepRetiredRuns() {
    const auto now = services_.clock->now();
    std::erase_if(retiredRuns_, [&](const RetiredRun& run) {
        ProgressReader reader;
        const auto record = reader.read(run.progressFile.toStdString());
        // The scanner's last record says it is gone; until then it may still
        // have to read "stop".
        const bool finished = record && record->isComplete;
        // A stopped scanner names its last files before it goes.
        if (finished && !isScanning_) {
            adoptUnlistedFiles();
            setCanExport(!recoveredFiles_.empty());
        }
        const bool absent = !QFileInfo::exists(run.progressFile) && !QFileInfo::exists(run.controlFile);
        if (!finished && !absent && now < run.deadline) return false;
        removeRunFiles(run.progressFile, run.controlFile);
        return true;
    });
    if (retiredRuns_.empty()) retiredTimer_->stop();
}

void HelperToolManager::removeStaleScanDirectories(const QString& keepName) {
    const QString base = services_.cacheBase.isEmpty() ? services_.tempDir : services_.cacheBase;
    QDir folder(base + "/Tessarine");
    const QFileInfoList entries =
        folder.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo& entry : entries) {
        if (entry.fileName() == keepName) continue;
        // A link is removed itself, never what it points to.
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}

void HelperToolManager::endPowerActivity() { scanPowerActivity_.reset(); }

// --- commands ------------------------------------------------------------------------

bool HelperToolManager::writeControlWord(const char* word, QString& error) {
    if (controlFilePath_.isEmpty()) {
        error = QStringLiteral("no control file");
        return false;
    }
    // A new file renamed over the old: the scanner never reads half a word.
    QSaveFile file(controlFilePath_);
    // Readable by the scanner whatever the umask: as nobody it is no owner of the file.
    const auto readable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(readable) || file.write(word) < 0 || !file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

void HelperToolManager::pauseScan() {
    if (!isScanning_ || isPaused_ || controlFilePath_.isEmpty()) return;
    QString error;
    if (!writeControlWord("pause", error)) {
        logLine("❌ Failed to write pause command: " + error);
        return;
    }
    setIsPaused(true);
    setStatusMessage(QStringLiteral("Paused"));
    setCanExport(!recoveredFiles_.empty());
    logLine("⏸️ Sent pause command to helper");
}

void HelperToolManager::resumeScan() {
    if (!isScanning_ || !isPaused_ || controlFilePath_.isEmpty()) return;
    QString error;
    if (!writeControlWord("resume", error)) {
        logLine("❌ Failed to write resume command: " + error);
        return;
    }
    setIsPaused(false);
    setStatusMessage(QStringLiteral("Scanning…"));
    setCanExport(false);
    lastProgressMovement_ = services_.clock->now();
    logLine("▶️ Sent resume command to helper");
}

void HelperToolManager::stopScan() {
    if (!controlFilePath_.isEmpty()) {
        QString ignored;
        writeControlWord("stop", ignored);
        logLine("⏹️ Sent stop command to helper");
    }
    ++runGeneration_;
    stopPolling();
    const bool wasScanning = isScanning_;
    setIsScanning(false);
    setIsPaused(false);
    setStatusMessage(QStringLiteral("Stopped"));
    setCanExport(!recoveredFiles_.empty());
    setCanResumeInterruptedScan(currentOffset_ != 0);
    endPowerActivity();
    retireScanFiles();
    if (wasScanning) emit scanFinished();
}

void HelperToolManager::loadImage(const QString& path, std::function<void(QImage)> done) {
    QImage image = decodeImageFile(path);
    QMetaObject::invokeMethod(
        this, [done = std::move(done), image = std::move(image)] { done(image); }, Qt::QueuedConnection);
}

}  // namespace vf
