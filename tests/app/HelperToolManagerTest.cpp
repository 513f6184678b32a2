#include "app/HelperToolManager.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/HelperLaunch.h"
#include "platform/PowerActivity.h"
#include "platform/Privileges.h"
#include "tests/app/AppTest.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Synthetic.h"

namespace vf {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Contents;

// The system around the manager, played by the test: the administrator prompt, the
// machine's sleep, and the export's dialogs, answered in the user's place.
class Fakes final : public HelperLauncher, public PowerActivity, public ExportDialogs {
public:
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    LaunchOutcome outcome{LaunchOutcome::Kind::launched, 0, "", ""};
    std::string launchLogText;
    std::vector<HelperInvocation> calls;
    int held = 0;  // holds keeping the machine awake
    QString folder;
    QStringList warnings, opened;

    LaunchOutcome launch(const HelperInvocation& inv, const LaunchLog& log) override {
        calls.push_back(inv);
        EXPECT_EQ(::write(log.fd, launchLogText.data(), launchLogText.size()), std::ssize(launchLogText));
        // The user at the prompt: a slow password is not a scanner that failed to start.
        clock->advance(std::chrono::seconds(30));
        return outcome;
    }
    std::string_view name() const override { return "fake"; }
    std::string_view tool() const override { return "fake"; }
    struct Hold final : PowerHold {
        int& n;
        explicit Hold(int& count) : n(++count) {}
        ~Hold() override { --n; }
    };
    std::unique_ptr<PowerHold> begin(const std::string&, std::string&) override { return std::make_unique<Hold>(held); }
    QString chooseFolder(const QString&, const QString&) override { return folder; }
    void warn(const QString& message, const QString& text) override { warnings << message + " / " + text; }
    bool openFolder(const QString& path) override { return opened << path, true; }
};

// Turns the event loop, and `tick` between turns, until `done` or the time is up.
bool waitUntil(const std::function<bool()>& done, int ms, const std::function<void()>& tick = {}) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (tick) tick();
    }
    return done();
}

ProgressInfo record(std::uint64_t offset, std::vector<std::string> names = {}, std::uint64_t total = 1'000'000'000) {
    ProgressInfo p;
    p.bytesScanned = p.currentOffset = offset;
    p.totalBytes = total;
    p.filesFound = static_cast<std::int64_t>(names.size());
    p.phase = "Scanning at 12.0 MB/s";
    if (!names.empty()) p.newFiles.emplace();
    for (const auto& n : names) p.newFiles->push_back(test::listed(n, 2'000'000));
    return p;
}

// The manager with every system service replaced, the clock driven by the test,
// and the test writing the scanner's records.
struct Rig {
    test::TempDir root;
    // The user's folders may hold what a shell would otherwise split or expand.
    fs::path dir = root / "o'neil \"$(x)\"";
    std::shared_ptr<Fakes> fakes = std::make_shared<Fakes>();
    std::unique_ptr<HelperToolManager> m;

    Rig() {
        test::ensureQtApp();
        fs::create_directories(dir / "tmp");
        { std::ofstream(dir / "TessarineHelper") << "#!/bin/sh\n"; }
        fs::permissions(dir / "TessarineHelper", fs::perms::owner_all);
        m = std::make_unique<HelperToolManager>(HelperToolManager::Services{
            .clock = fakes->clock, .launcher = fakes, .power = fakes, .helperPath = path("TessarineHelper"),
            .imageToolPath = QString::fromStdString(test::binPath("tessarine")), .cacheBase = path("cache"),
            .tempDir = path("tmp"), .launchLogPath = path("tmp/launch.log"), .debugLogPath = path("tmp/debug.log"),
            .pollTimer = false, .dialogs = fakes});
    }
    QString path(const std::string& rel) const { return QString::fromStdString((dir / rel).string()); }

    // Starts and waits for the launcher's answer to come back to the main thread.
    void start(const QString& device = "/dev/sdz", bool resume = false) {
        const auto before = fakes->calls.size();
        resume ? m->resumeInterruptedScan() : m->startScan(device);
        ASSERT_TRUE(waitUntil(
            [&] { return fakes->calls.size() > before && m->statusMessage() != "Requesting privileges…"; }, 5000));
    }
    // As the scanner does: a new file renamed over the old one (the run's, unless given).
    void write(const ProgressInfo& p, std::string target = {}) {
        if (target.empty()) target = m->progressFilePath().toStdString();
        ASSERT_FALSE(target.empty());
        { std::ofstream(target + ".new", std::ios::binary) << encodeProgress(p); }
        fs::rename(target + ".new", target);
    }
    void poll(std::chrono::milliseconds after = 500ms) {
        fakes->clock->advance(after);
        m->pollProgress();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& f : m->recoveredFiles()) out.push_back(f.fileName);
        return out;
    }
    // Runs an export to its end; the progress values seen on the way.
    std::vector<double> exportTo(const fs::path& dest, std::optional<std::vector<RecoveredFileInfo>> files = {}) {
        std::vector<double> seen;
        const auto watch = QObject::connect(m.get(), &HelperToolManager::exportProgressChanged, m.get(),
                                            [&] { seen.push_back(m->isExporting() ? m->exportProgressValue() : -1); });
        fakes->folder = QString::fromStdString(dest.string());
        m->chooseExportDestination(std::move(files));
        QSignalSpy spy(m.get(), &HelperToolManager::exportProgressChanged);
        while (m->isExporting()) EXPECT_TRUE(spy.wait(10'000));
        QObject::disconnect(watch);
        return seen;
    }
};

const QString kHint = "\n\nCheck /tmp/tessarine_debug.log for details.";

// However a run ends, from a refused prompt to the card's last byte, the machine may
// sleep again, the run's files go (or are left with "stop" for a scanner that may
// still read them) and the line says why.
TEST(HelperToolManager, EveryEndOfARunSaysWhyAndWhatCanFollow) {
    using Kind = LaunchOutcome::Kind;
    const LaunchOutcome ok{Kind::launched, 0, "", ""};
    const auto ended = [](std::uint64_t offset, const char* phase, std::optional<std::string> error) {
        ProgressInfo p = record(offset, {}, 2'000'000'000);
        p.filesFound = 2;
        p.isComplete = true;
        p.phase = phase;
        p.errorMessage = std::move(error);
        return [p](Rig& r) { r.write(p), r.poll(); };
    };
    const QString silent = "Helper did not start within 10s.\n", stalled =
        "The scan stopped making progress. You can resume from the last confirmed position.";
    struct Row {
        const char* name;
        LaunchOutcome outcome;
        std::string launchLog, debugLog;
        std::function<void(Rig&)> end;  // after a record of two files and a long pause; none: silent
        QString status, error;
        bool resumable = false;
        std::string controlLeft = {};  // empty: the run's files are gone
    };
    const Row rows[] = {
        {"cancelled", {Kind::cancelled, 126, "Request dismissed", ""}, "", "", {}, "Error",
         "Authorization cancelled" + kHint},
        {"failed", {Kind::failed, 1, "sh: 1: bad", ""}, "first\nsecond", "", {}, "Error",
         "Launch failed (exit 1):\nsh: 1: bad\nLaunch log:\nfirst\nsecond" + kHint},
        {"not started", {Kind::notStarted, -1, "", "No such file"}, "", "", {}, "Error",
         "fake exec failed: No such file" + kHint},
        // A scanner that starts late is told to stop rather than left unwatched.
        {"silent, no logs", ok, "", "", {}, "Error",
         silent + "\nNeither log was created — binary did not launch.\n"
                  "Ensure TessarineHelper is in the bundle, is executable, and is code-signed." + kHint,
         false, "stop"},
        {"silent, both logs", ok, "sudo: oops", "Running as uid: 0", {}, "Error",
         silent + "\nLaunch log:\nsudo: oops\n\nDebug log:\nRunning as uid: 0" + kHint, false, "stop"},
        {"complete", ok, "", "", ended(0, "Complete", {}), "Done — found 2 file(s)", ""},
        {"error mid-card", ok, "", "", ended(1'200'000'000, "Error", "The card stopped answering at 1.2 GB."),
         "Error — 1.2 GB / 2 GB (60%)", "The card stopped answering at 1.2 GB.", true},
        {"error at the start", ok, "", "", ended(0, "Error", "Must run as root"), "Error — Zero KB / 2 GB (0%)",
         "Must run as root"},
        // A pause of any length is no stall; a minute without movement after it is.
        {"stalled", ok, "", "",
         [](Rig& r) {
             r.m->resumeScan();
             r.poll(59s);
             EXPECT_TRUE(r.m->isScanning());
             r.poll(2s);
         },
         "Scan interrupted", stalled, true, "stop"},
        {"stopped", ok, "", "", [](Rig& r) { r.m->stopScan(); }, "Stopped", "", true, "stop"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.fakes->outcome = row.outcome;
        r.fakes->launchLogText = row.launchLog;
        if (!row.debugLog.empty()) std::ofstream(r.dir / "tmp/debug.log") << row.debugLog;
        r.start();
        const QString progress = r.m->progressFilePath(), control = r.m->controlFilePath();
        if (row.end) {
            r.poll(5s);  // no record yet, inside the launch limit
            r.write(record(4096, {"A.jpg", "B.jpg"}));
            r.poll();
            r.m->pauseScan();
            EXPECT_EQ(test::readText(control.toStdString()), "pause");
            EXPECT_TRUE(r.m->canExport());
            r.poll(10min);
            ASSERT_TRUE(r.m->isScanning());
            row.end(r);
        } else if (row.outcome.kind == Kind::launched) {
            r.poll(9900ms);
            EXPECT_TRUE(r.m->isScanning());
            r.poll(200ms);
        }
        EXPECT_FALSE(r.m->isScanning());
        EXPECT_FALSE(r.m->isPaused());
        EXPECT_EQ(r.m->statusMessage(), row.status);
        EXPECT_EQ(r.m->errorMessage(), row.error);
        EXPECT_EQ(r.m->canResumeInterruptedScan(), row.resumable);
        EXPECT_EQ(r.m->canExport(), bool(row.end));
        EXPECT_EQ(r.fakes->held, 0);
        EXPECT_TRUE(r.m->progressFilePath().isEmpty());
        if (row.controlLeft.empty())
            EXPECT_FALSE(QFile::exists(progress));
        else
            EXPECT_EQ(test::readText(control.toStdString()), row.controlLeft);
        r.poll(120s);  // nothing of that run is read any more
        EXPECT_EQ(r.m->statusMessage(), row.status);
    }
    Rig missing;
    fs::remove(missing.dir / "TessarineHelper");
    missing.m->startScan("/dev/sdz");
    EXPECT_EQ(missing.m->errorMessage(), "TessarineHelper not found in app bundle" + kHint);
    EXPECT_TRUE(missing.fakes->calls.empty());
}

TEST(HelperToolManager, RunsCarryTheirPathsAndSettingsListEachFileOnceAndResumeWhereTheyStopped) {
    Rig r;
    // A new run removes earlier runs' folders, but not what links there point to.
    const fs::path cache = r.dir / "cache/Tessarine";
    fs::create_directories(cache / "OLD-RUN/sub");
    fs::create_directory_symlink(r.dir, cache / "link");
    r.m->setEnabledFormats({"PNG", "CR2", "JPEG"});
    r.m->setMinFileSizeBytes(123456);
    // Stopped before the launch reports back: its late answer changes nothing.
    r.m->startScan("/dev/sdz");
    r.m->stopScan();
    ASSERT_TRUE(waitUntil([&] { return !r.fakes->calls.empty(); }, 5000));
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(r.m->statusMessage(), "Stopped");
    EXPECT_FALSE(r.m->isScanning());

    r.start("/dev/sdz");
    const HelperInvocation inv = r.fakes->calls.at(1);
    EXPECT_EQ(inv.devicePath, "/dev/sdz");
    EXPECT_EQ(inv.formatFilter, "CR2,JPEG,PNG");
    EXPECT_EQ(inv.minFileSize, 123456u);
    EXPECT_EQ(fs::path(inv.outputDirectory).parent_path(), cache);
    // The run files lie in a folder of the run's own that no one else may write to, so no
    // other user can plant a control file first; the scanner writes there (as nobody for root).
    const fs::path runFolder = fs::path(inv.progressFile).parent_path();
    EXPECT_EQ(runFolder.parent_path(), r.dir / "tmp");
    EXPECT_EQ(fs::path(inv.controlFile).parent_path(), runFolder);
    struct stat folder {};
    ASSERT_EQ(::stat(runFolder.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    EXPECT_EQ(folder.st_uid, ::geteuid() == 0 ? nobodyIds().uid : ::geteuid());
    EXPECT_EQ(r.fakes->held, 1);
    EXPECT_FALSE(fs::exists(cache / "OLD-RUN"));
    EXPECT_TRUE(fs::exists(r.dir / "TessarineHelper") && !fs::exists(cache / "link"));
    r.m->startScan("/dev/sdy");  // a second start while one runs changes nothing
    QCoreApplication::processEvents();
    EXPECT_EQ(r.fakes->calls.size(), 2u);

    QList<std::pair<qsizetype, qsizetype>> appended;
    QObject::connect(r.m.get(), &HelperToolManager::recoveredFilesAppended,
                     [&](qsizetype first, qsizetype count) { appended.append({first, count}); });
    fs::create_directories(inv.outputDirectory);
    r.write(record(500'000'000, {"A.jpg", "A.jpg"}));  // a file a record names twice is one row
    r.poll();
    r.poll();  // the same record again adds nothing
    EXPECT_EQ(r.m->statusMessage(), "Scanning at 12.0 MB/s — 500 MB / 1 GB (50%)");
    const std::string progress = r.m->progressFilePath().toStdString();
    r.m->stopScan();
    // The stopped scanner's last file, named by no record, is listed once the scanner says it is done.
    test::writeFile(fs::path(inv.outputDirectory) / "C.jpg", {1, 2, 3});
    ProgressInfo last = record(500'000'000);
    last.isComplete = true;
    r.write(last, progress);
    EXPECT_TRUE(waitUntil([&] { return r.names().size() == 2 && !fs::exists(progress); }, 5000));
    r.start({}, true);
    const HelperInvocation& again = r.fakes->calls.at(2);
    EXPECT_EQ(again.devicePath, "/dev/sdz");
    EXPECT_EQ(again.resumeOffset, 500'000'000u);
    EXPECT_EQ(again.outputDirectory, inv.outputDirectory);
    EXPECT_NE(again.progressFile, inv.progressFile);
    EXPECT_TRUE(fs::is_directory(inv.outputDirectory));
    // The earlier files stay; of unknown size, the line says how much was read.
    r.write(record(800'000'000, {"A.jpg", "B.jpg"}, 0));
    r.poll();
    EXPECT_EQ(r.m->statusMessage(), "Scanning at 12.0 MB/s — 800 MB scanned");
    EXPECT_EQ(r.names(), (std::vector<std::string>{"A.jpg", "C.jpg", "B.jpg"}));
    EXPECT_EQ(appended, (QList<std::pair<qsizetype, qsizetype>>{{0, 1}, {1, 1}, {2, 1}}));

    // Destroyed while a scan runs, as when the window closes: the window, half taken
    // down by then, must not be called back.
    int told = 0;
    QObject::connect(r.m.get(), &HelperToolManager::isScanningChanged, [&] { ++told; });
    r.m.reset();
    EXPECT_EQ(told, 0);
}

// A disk image is scanned by the command line, with no prompt, and what it found is
// exported: what was chosen, never onto the card nor onto a volume too small for it.
TEST(HelperToolManager, DiskImageIsScannedWithoutAPromptAndWhatItFoundExported) {
    Rig r;
    std::vector<std::uint8_t> image(8u << 20);
    std::vector<std::vector<std::uint8_t>> originals;
    for (int i = 1; i <= 3; ++i) {
        originals.push_back(test::makeJpeg(200'000 + 1000 * i, 50 + i));
        test::place(image, (1u << 20) * static_cast<std::uint64_t>(i), originals.back());
    }
    // A name a shell would split or expand, as users name their image files.
    const fs::path file = r.dir / "card it's $(date).img";
    test::writeFile(file, image);
    r.m->setMinFileSizeBytes(0);
    // The settings offer video names the command line has no format for; they are left
    // out of its --formats, which would otherwise refuse the whole run.
    // A scan that is no resume starts its list anew.
    const QSet<QString> jpeg{"JPEG", "MKV", "3GP", "WebM"};
    const std::pair<QSet<QString>, int> rows[] = {{jpeg, 3}, {{"PNG", "MKV"}, 0}, {jpeg, 3}};
    for (const auto& [formats, count] : rows) {
        r.m->setEnabledFormats(formats);
        r.m->openDiskImage(QString::fromStdString(file.string()));
        EXPECT_EQ(r.m->scannedImagePath().toStdString(), file.string());
        waitUntil([&] { return !r.m->isScanning(); }, 30000, [&] {
            std::this_thread::sleep_for(20ms);
            r.poll(20ms);
        });
        EXPECT_TRUE(r.fakes->calls.empty());  // no administrator prompt
        EXPECT_EQ(r.m->statusMessage(), QString("Done — found %1 file(s)").arg(count));
        ASSERT_EQ(r.m->recoveredFiles().size(), static_cast<std::size_t>(count));
    }
    const fs::path out = r.m->scanOutputDirectory().toStdString();
    const auto name = [&](std::size_t i) { return r.m->recoveredFiles()[i].fileName; };
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(test::readFile(out / name(i)), originals[i]) << i;  // whole, in order
    fs::resize_file(out / name(2), 150'000);  // a cache copy cut short, as an older build could leave it

    const test::TempDir dest, chosen;
    EXPECT_EQ(r.exportTo(chosen.path(), std::vector<RecoveredFileInfo>{r.m->recoveredFiles()[1]}),
              (std::vector<double>{0, 1, -1}));
    EXPECT_EQ(r.m->statusMessage(), "Exported 1 file(s) successfully");
    EXPECT_EQ(r.fakes->opened, QStringList{QString::fromStdString(chosen.path().string())});
    EXPECT_EQ(test::contents(chosen.path()), (Contents{{name(1), originals[1]}}));
    EXPECT_EQ(r.exportTo(dest.path()), (std::vector<double>{0, 1.0 / 3, 2.0 / 3, 1, -1}));
    EXPECT_EQ(r.m->statusMessage(), "Exported 2 file(s) — 1 failed");
    EXPECT_EQ(r.m->errorMessage(),
              "1 file(s) could not be copied. If this scan came from an older build, scan again so truncated "
              "cache files are discarded.");
    EXPECT_EQ(r.fakes->opened.size(), 1);
    EXPECT_EQ(test::contents(dest.path()), (Contents{{name(0), originals[0]}, {name(1), originals[1]}}));

    if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    const test::TempDir root;
    const test::TmpfsMount small(root / "small", "256k");
    ASSERT_TRUE(small.ok()) << small.why();
    r.exportTo(root / "small");
    ASSERT_EQ(r.fakes->warnings.size(), 1);
    EXPECT_TRUE(r.fakes->warnings[0].startsWith("Not enough free space / The recovered files need 60"))
        << r.fakes->warnings[0].toStdString();
    EXPECT_TRUE(fs::is_empty(root / "small"));
    // The card itself, mounted from the loop device that stands for it.
    const auto cardImage = root / "card.img";
    test::run("truncate -s 16M " + cardImage.string() + " && mkfs.ext4 -q -F " + cardImage.string());
    const test::LoopDevice card(cardImage);
    if (!card.ok()) GTEST_SKIP() << card.why();
    fs::create_directory(root / "card");
    ASSERT_EQ(test::run("mount -o ro,noload " + card.device() + " " + (root / "card").string()).status, 0);
    r.m->setSelectedDevicePath(QString::fromStdString(card.device()));
    r.exportTo(root / "card");
    EXPECT_EQ(r.fakes->warnings.last(),
              QString(HelperToolManager::kOnCardMessage) + " / " + HelperToolManager::kOnCardText);
    r.m->exportFiles(QString::fromStdString((root / "card").string()));
    EXPECT_FALSE(r.m->isExporting());
    EXPECT_EQ(r.m->statusMessage(), "Export refused");
    test::run("umount " + (root / "card").string());
}

}  // namespace
}  // namespace vf
