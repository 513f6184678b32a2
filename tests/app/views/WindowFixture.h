#pragma once
// A main window over fakes: a disk list the test sets, a launcher that starts
// nothing, exchange files in a private folder, and a scanner the test plays by
// writing progress records itself.

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

#include "app/views/ContentView.h"

namespace vf::test {

DiskInfo disk(const QString& path, const QString& name, bool sd, bool removable, bool mounted,
              const QString& size = QStringLiteral("63.9 GB"));

// The real manager, with the export's progress open to the screenshots.
class ShownManager final : public HelperToolManager {
public:
    using HelperToolManager::HelperToolManager;
    using HelperToolManager::setExportProgress;
};

struct WindowFixture {
    QTemporaryDir dir;
    QList<DiskInfo> disks;
    std::unique_ptr<QSettings> store;
    std::unique_ptr<ContentView> view;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();

    WindowFixture();
    ShownManager& manager() { return static_cast<ShownManager&>(view->helperManager()); }
    // Starts a run of the selected disk and waits until the manager polls.
    bool startRun();
    // Files in the run's folder, each with a coloured thumbnail, reported in one record.
    void report(int files, double progress, bool withThumbnails = true);
};

}  // namespace vf::test
