#pragma once
// The main window's content: the disk picker, the scan controls and progress,
// the recovered files and their export. It holds no scan logic: it calls the
// manager's operations and shows its published state.

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

#include "app/DiskEnumerator.h"
#include "app/HelperToolManager.h"
#include "app/SettingsManager.h"
#include "app/UpdateChecker.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QThreadPool;
class QTimer;

namespace vf {

class DiskPopUpButton;
class RecoveredFilesPanel;

class ContentView : public QWidget {
    Q_OBJECT
public:
    struct Parts {
        std::unique_ptr<HelperToolManager> helperManager;
        std::unique_ptr<SettingsManager> settings;
        std::unique_ptr<UpdateChecker> updateChecker;
        std::function<QList<DiskInfo>()> listDisks;  // blocks; run off the main thread for hot-plug polls
        int diskPollMilliseconds = 3000;             // 0: no polling
    };
    explicit ContentView(QWidget* parent = nullptr);
    explicit ContentView(Parts parts, QWidget* parent = nullptr);
    ~ContentView() override;

    HelperToolManager& helperManager() { return *helperManager_; }
    SettingsManager& settings() { return *settings_; }
    RecoveredFilesPanel& files() { return *files_; }
    const QList<DiskInfo>& availableDisks() const { return availableDisks_; }
    const std::optional<DiskInfo>& selectedDisk() const { return selectedDisk_; }

    // The window's rules, as pure functions.
    static QString formatSummary(int enabled, int all);
    static QString remainingText(double elapsedSeconds, double progress);  // empty: nothing to show
    static QString confirmationMessage(const DiskInfo& disk);
    static std::optional<DiskInfo> chooseDisk(const std::optional<DiskInfo>& selected, const QList<DiskInfo>& disks);

    // Commands, as the buttons give them.
    void refreshDisks();
    void applyDisks(const QList<DiskInfo>& disks);
    void selectDisk(const DiskInfo& disk);
    void startScanning();  // "Start Scanning": asks "Ready to Scan"
    void confirmStart();   // "Start Scan" in that confirmation
    void openDiskImage();
    void exportFiles();
    void openSettings();
    QString exportButtonText() const;

signals:
    // Export of the chosen files, or all when none is chosen.
    void exportRequested(std::optional<std::vector<vf::RecoveredFileInfo>> files);

protected:
    void showEvent(QShowEvent* e) override;

private:
    void refreshState();
    void refreshDiskSection();
    void refreshProgress();
    void pollDisks();

    std::unique_ptr<HelperToolManager> helperManager_;
    std::unique_ptr<SettingsManager> settings_;
    std::unique_ptr<UpdateChecker> updateChecker_;
    std::function<QList<DiskInfo>()> listDisks_;
    QList<DiskInfo> availableDisks_;
    std::optional<DiskInfo> selectedDisk_;
    QString devicePath_;
    bool appeared_ = false;
    bool diskPollRunning_ = false;

    QThreadPool* pool_;
    QTimer* diskPoll_;
    QTimer* clock_;
    DiskPopUpButton* popUp_;
    QWidget* diskRow_;
    QWidget* noDisks_;
    QLabel* statusIcon_;
    QLabel* statusText_;
    QLabel* formatSummary_;
    QPushButton* start_;
    QPushButton* pause_;
    QPushButton* stop_;
    QPushButton* resumeInterrupted_;
    QWidget* stats_;
    QLabel* filesFound_;
    QLabel* scanned_;
    QLabel* total_;
    QLabel* percent_;
    QLabel* remaining_;
    QProgressBar* progress_;
    QLabel* phase_;
    QWidget* errorRow_;
    QLabel* error_;
    RecoveredFilesPanel* files_;
    QPushButton* export_;
    QProgressBar* exportProgress_;
    QLabel* exportPercent_;
};

}  // namespace vf
