// Export of the recovered files: the manager's operations that copy them into
// a folder the user chooses (the copying itself is FileExporter's).
#include <QCoreApplication>
#include <QPointer>
#include <QStorageInfo>
#include <QThreadPool>
#include <cstdio>
#include <limits>

#include "app/FileExporter.h"
#include "app/HelperToolManager.h"
#include "common/ByteCount.h"
#include "platform/DiskOfPath.h"

namespace vf {
namespace {

void printLine(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

QString bytesText(quint64 n) { return QString::fromStdString(formatByteCount(n)); }

}  // namespace

ExportDialogs& HelperToolManager::exportDialogs() {
    if (!services_.dialogs) services_.dialogs = makeDesktopDialogs();
    return *services_.dialogs;
}

bool HelperToolManager::destinationIsOnCard(const QString& destination) const {
    for (const QString& device : {interruptedDevicePath_, selectedDevicePath_}) {
        if (device.isEmpty()) continue;
        if (pathIsOnDisk(QFile::encodeName(destination).toStdString(), QFile::encodeName(device).toStdString()) ==
            true)
            return true;
    }
    return false;
}

void HelperToolManager::chooseExportDestination(std::optional<std::vector<RecoveredFileInfo>> files) {
    const QString folder = exportDialogs().chooseFolder(QStringLiteral("Choose where to save recovered photos"),
                                                        QStringLiteral("Export Here"));
    if (folder.isEmpty()) return;
    if (destinationIsOnCard(folder)) {
        exportDialogs().warn(QString::fromUtf8(kOnCardMessage), QString::fromUtf8(kOnCardText));
        return;
    }
    if (!hasEnoughSpace(folder, files ? *files : recoveredFiles_)) return;
    exportFiles(folder, std::move(files));
}

bool HelperToolManager::hasEnoughSpace(const QString& destination, const std::vector<RecoveredFileInfo>& files) {
    quint64 required = 0;
    for (const auto& f : files)
        required = f.fileSize > std::numeric_limits<quint64>::max() - required ? std::numeric_limits<quint64>::max()
                                                                               : required + f.fileSize;
    const QStorageInfo volume(destination);
    // A volume that cannot say how much room it has is not held against the export.
    if (!volume.isValid() || !volume.isReady() || volume.bytesAvailable() < 0) return true;
    const auto available = static_cast<quint64>(volume.bytesAvailable());
    if (available >= required) return true;
    const quint64 shown = std::min<quint64>(required, std::numeric_limits<qint64>::max());
    exportDialogs().warn(QStringLiteral("Not enough free space"),
                         "The recovered files need " + bytesText(shown) + ", but this destination has only " +
                             bytesText(available) + " available. Choose another destination.");
    return false;
}

void HelperToolManager::exportFiles(const QString& destination, std::optional<std::vector<RecoveredFileInfo>> only) {
    std::vector<RecoveredFileInfo> files = only ? std::move(*only) : recoveredFiles_;
    if (scanOutputDirectory_.isEmpty() || files.empty() || exportProgress_) return;
    // A file written to the card can overwrite the very photos still to be recovered.
    if (destinationIsOnCard(destination)) {
        printLine("❌ Refusing to export onto the card being recovered: " + destination.toStdString());
        setErrorMessage(QString::fromUtf8(kOnCardText));
        setStatusMessage(QStringLiteral("Export refused"));
        return;
    }
    const int total = static_cast<int>(files.size());
    setExportProgress(0.0);
    const std::string source = QFile::encodeName(scanOutputDirectory_).toStdString();
    const std::string target = QFile::encodeName(destination).toStdString();
    const QPointer<HelperToolManager> self(this);
    const std::shared_ptr<std::atomic<bool>> cancel = exportCancel_.flag;
    QThreadPool::globalInstance()->start(
        [=, files = std::move(files)] {
            const auto report = [&](const ExportCounts& n) {
                QMetaObject::invokeMethod(QCoreApplication::instance(), [self, n, total] {
                    if (self) self->setExportProgress(static_cast<double>(n.copied + n.failed) / total);
                });
            };
            ExportCounts counts;
            std::string why;
            if (auto exporter = FileExporter::open(source, target, &why)) {
                counts = exportAll(*exporter, files,
                                   [&](const ExportFileResult& r, const ExportCounts& n) {
                                       if (!r.logLine.empty()) printLine(r.logLine);
                                       report(n);
                                   },
                                   cancel.get());
            } else {
                for (const auto& f : files) {
                    printLine("❌ Failed to copy " + f.fileName + ": " + why);
                    ++counts.failed;
                    report(counts);
                }
            }
            if (cancel->load()) return;
            // Posted to the application, not the manager, which may be gone by now.
            QMetaObject::invokeMethod(QCoreApplication::instance(), [self, counts, destination] {
                if (self) self->finishExport(counts.failed, counts.copied, destination);
            });
        },
        QThread::HighPriority);
}

void HelperToolManager::finishExport(int failed, int copied, const QString& destination) {
    setExportProgress(std::nullopt);
    if (failed > 0) {
        setStatusMessage("Exported " + QString::number(copied) + " file(s) — " + QString::number(failed) + " failed");
        setErrorMessage(QString::number(failed) +
                        " file(s) could not be copied. If this scan came from an older build, scan again so truncated "
                        "cache files are discarded.");
        return;
    }
    setStatusMessage("Exported " + QString::number(copied) + " file(s) successfully");
    exportDialogs().openFolder(destination);
}

}  // namespace vf
