#include "app/HelperToolManager.h"
#include "platform/Privileges.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/HelperLaunch.h"
#include "platform/PowerActivity.h"
#include "tests/app/QtTestApp.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace vf {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FakeLauncher final : public HelperLauncher {
public:
    LaunchOutcome outcome{LaunchOutcome::Kind::launched, 0, "", ""};
    std::string launchLogText;
    std::shared_ptr<ManualClock> clock;
    std::chrono::seconds promptTime{0};
    std::vector<HelperInvocation> calls;

    LaunchOutcome launch(const HelperInvocation& inv, const LaunchLog& log) override {
        calls.push_back(inv);
        if (!launchLogText.empty()) {
            EXPECT_GT(::write(log.fd, launchLogText.data(), launchLogText.size()), 0);
        }
        if (clock) clock->advance(promptTime);  // the user at the administrator prompt
        return outcome;
    }
    std::string_view name() const override { return "fake"; }
    std::string_view tool() const override { return "fake"; }
};

class CountingPower final : public PowerActivity {
public:
    std::shared_ptr<int> held = std::make_shared<int>(0);
    struct Hold final : PowerHold {
        std::shared_ptr<int> count;
        explicit Hold(std::shared_ptr<int> c) : count(std::move(c)) { ++*count; }
        ~Hold() override { --*count; }
    };
    std::unique_ptr<PowerHold> begin(const std::string& reason, std::string&) override {
        EXPECT_EQ(reason, "Recovering files from an SD card");
        return std::make_unique<Hold>(held);
    }
};

RecoveredFileInfo file(const std::string& name) {
    RecoveredFileInfo f;
    f.id = f.fileName = name;
    f.fileType = "JPEG";
    f.fileSize = 2'000'000;
    f.offsetOnDisk = 4096;
    return f;
}

// Turns the event loop, and `tick` between turns, until `done` or the time is up.
template <class F>
bool waitUntil(F done, int ms, const std::function<void()>& tick = {}) {
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
    p.bytesScanned = offset;
    p.currentOffset = offset;
    p.totalBytes = total;
    p.filesFound = static_cast<std::int64_t>(names.size());
    p.phase = "Scanning at 12.0 MB/s";
    if (!names.empty()) {
        p.newFiles.emplace();
        for (const auto& n : names) p.newFiles->push_back(file(n));
    }
    return p;
}

// The manager with every system service replaced, the clock driven by the test,
// and the test writing the scanner's records.
struct Rig {
    test::TempDir root;
    // The user's folders may hold what a shell would otherwise split or expand.
    fs::path dir = root / "o'neil \"$(x)\"";
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    CountingPower* power = nullptr;
    std::unique_ptr<HelperToolManager> m;

    // With `standIn`, the stand-in scanner through the real launcher, timer and clock.
    explicit Rig(bool standIn = false) {
        test::ensureQtApp();
        fs::create_directories(dir / "tmp");
        fs::create_directories(dir / "cache");
        { std::ofstream(dir / "TessarineHelper") << "#!/bin/sh\n"; }
        fs::permissions(dir / "TessarineHelper", fs::perms::owner_all);
        auto p = std::make_shared<CountingPower>();
        power = p.get();
        launcher->clock = clock;
        HelperToolManager::Services s;
        s.clock = clock;
        s.launcher = launcher;
        s.power = p;
        s.helperPath = path("TessarineHelper");
        if (standIn) {
            s.clock = nullptr;
            s.launcher = makeDirectLauncher();
            s.helperPath = QString::fromStdString(test::sourcePath("tests/app/stand-in-scanner"));
        }
        s.imageToolPath = QString::fromStdString(test::binPath("tessarine"));
        s.cacheBase = path("cache");
        s.tempDir = path("tmp");
        s.launchLogPath = path("tmp/launch.log");
        s.debugLogPath = path("tmp/debug.log");
        s.pollTimer = standIn;
        m = std::make_unique<HelperToolManager>(s);
    }
    QString path(const std::string& rel) const { return QString::fromStdString((dir / rel).string()); }

    // Starts and waits for the launcher's answer to come back to the main thread.
    void start(const QString& device = "/dev/sdz", quint64 offset = 0, bool resume = false) {
        const auto before = launcher->calls.size();
        if (resume)
            m->resumeInterruptedScan();
        else
            m->startScan(device, offset, false);
        ASSERT_TRUE(waitUntil(
            [&] { return launcher->calls.size() > before && m->statusMessage() != "Requesting privileges…"; }, 5000));
    }
    void write(const ProgressInfo& p) { writeText(encodeProgress(p)); }
    void writeText(const std::string& text) {
        ASSERT_FALSE(m->progressFilePath().isEmpty());
        // As the scanner does: a new file renamed over the old one.
        const std::string target = m->progressFilePath().toStdString();
        { std::ofstream(target + ".new", std::ios::binary) << text; }
        fs::rename(target + ".new", target);
    }
    void poll(std::chrono::milliseconds after = 500ms) {
        clock->advance(after);
        m->pollProgress();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& f : m->recoveredFiles()) out.push_back(f.fileName);
        return out;
    }
};

const QString kHint = "\n\nCheck /tmp/tessarine_debug.log for details.";

TEST(HelperToolManager, CommandLineCarriesTheRunsPathsAndSettings) {
    Rig r;
    // A new run removes earlier runs' folders, but not what links there point to.
    const fs::path cache = r.dir / "cache/Tessarine";
    fs::create_directories(cache / "OLD-RUN/sub");
    std::ofstream(cache / "OLD-RUN/sub/x.jpg") << "x";
    std::ofstream(cache / "stray.txt") << "x";
    fs::create_directories(r.dir / "elsewhere");
    std::ofstream(r.dir / "elsewhere/keep.jpg") << "keep";
    fs::create_directory_symlink(r.dir / "elsewhere", cache / "link");
    r.m->setEnabledFormats({"PNG", "CR2", "JPEG"});
    r.m->setMinFileSizeBytes(123456);
    r.start("/dev/sdz");
    ASSERT_EQ(r.launcher->calls.size(), 1u);
    const HelperInvocation& inv = r.launcher->calls[0];
    EXPECT_EQ(inv.helperPath, (r.dir / "TessarineHelper").string());
    EXPECT_EQ(inv.devicePath, "/dev/sdz");
    EXPECT_EQ(inv.formatFilter, "CR2,JPEG,PNG");
    EXPECT_EQ(inv.minFileSize, 123456u);
    EXPECT_EQ(inv.resumeOffset, 0u);
    const QRegularExpression uuid("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    const QString runId = QFileInfo(QString::fromStdString(inv.outputDirectory)).fileName();
    EXPECT_TRUE(uuid.match(runId).hasMatch()) << runId.toStdString();
    EXPECT_EQ(QString::fromStdString(inv.outputDirectory), r.path("cache/Tessarine/") + runId);
    // The run files lie in a folder of the run's own that no one else may write to, so no
    // other user can plant a control file first; the scanner writes there (as nobody for root).
    const fs::path runFolder = fs::path(inv.progressFile).parent_path();
    EXPECT_EQ(runFolder.parent_path(), r.dir / "tmp");
    EXPECT_EQ(runFolder.filename().string().rfind("velliform-", 0), 0u) << runFolder;
    EXPECT_EQ(fs::path(inv.progressFile).filename(), "tesrine_" + runId.toStdString() + ".json");
    EXPECT_EQ(fs::path(inv.controlFile), runFolder / ("tesrine_" + runId.toStdString() + ".control"));
    struct stat folder {};
    ASSERT_EQ(::stat(runFolder.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 07777, 0700u);
    EXPECT_EQ(folder.st_uid, ::geteuid() == 0 ? nobodyIds().uid : ::geteuid());
    EXPECT_EQ(r.m->statusMessage(), "Scanning…");
    EXPECT_EQ(*r.power->held, 1);
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(cache)) left.push_back(e.path().filename());
    EXPECT_TRUE(left.empty() || left == std::vector<std::string>{fs::path(inv.outputDirectory).filename()});
    EXPECT_TRUE(fs::exists(r.dir / "elsewhere/keep.jpg"));

    r.m->startScan("/dev/sdy");  // a second start while one runs changes nothing
    QCoreApplication::processEvents();
    EXPECT_EQ(r.launcher->calls.size(), 1u);

    r.m->setEnabledFormats({});
    r.m->stopScan();
    r.start("/dev/sdz");
    EXPECT_EQ(r.launcher->calls.back().formatFilter, "");  // empty: the scanner takes every format
}

TEST(HelperToolManager, LaunchFailuresEndTheRunWithTheirText) {
    struct Row {
        const char* name;
        LaunchOutcome outcome;
        std::string launchLog;
        QString message;
    };
    const Row rows[] = {
        {"cancelled", {LaunchOutcome::Kind::cancelled, 126, "Request dismissed", ""}, "", "Authorization cancelled"},
        {"failed", {LaunchOutcome::Kind::failed, 1, "sh: 1: bad", ""}, "first\nsecond",
         "Launch failed (exit 1):\nsh: 1: bad\nLaunch log:\nfirst\nsecond"},
        {"not started", {LaunchOutcome::Kind::notStarted, -1, "", "No such file"}, "", "fake exec failed: No such file"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.launcher->outcome = row.outcome;
        r.launcher->launchLogText = row.launchLog;
        r.start();
        EXPECT_EQ(r.m->errorMessage(), row.message + kHint);
        EXPECT_EQ(r.m->statusMessage(), "Error");
        EXPECT_FALSE(r.m->isScanning());
        EXPECT_EQ(*r.power->held, 0);
        EXPECT_TRUE(r.m->progressFilePath().isEmpty());
    }
    Rig missing;
    QFile::remove(missing.path("TessarineHelper"));
    missing.m->startScan("/dev/sdz");
    EXPECT_EQ(missing.m->errorMessage(), "TessarineHelper not found in app bundle" + kHint);
    EXPECT_TRUE(missing.launcher->calls.empty());
}

TEST(HelperToolManager, LaunchWatchdogQuotesTheLogsAndIgnoresThePromptTime) {
    std::string twenty;
    for (int i = 1; i <= 20; ++i) twenty += "line " + std::to_string(i) + "\n";
    QString last15;
    for (int i = 6; i <= 20; ++i) last15 += (i > 6 ? "\n" : "") + QString("line %1").arg(i);
    struct Row {
        const char* name;
        std::string launchLog, debugLog;
        QString tail;
    };
    const Row rows[] = {
        {"no logs", "", "",
         "\nNeither log was created — binary did not launch.\n"
         "Ensure TessarineHelper is in the bundle, is executable, and is code-signed."},
        {"launch log", twenty, "", "\nLaunch log:\n" + last15},
        {"both", "sudo: oops", "Running as uid: 0", "\nLaunch log:\nsudo: oops\n\nDebug log:\nRunning as uid: 0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.launcher->launchLogText = row.launchLog;
        if (!row.debugLog.empty()) std::ofstream(r.dir / "tmp/debug.log") << row.debugLog;
        r.launcher->promptTime = 30s;  // a slow password is not a scanner that failed to start
        r.start();
        r.poll(9900ms);
        EXPECT_TRUE(r.m->isScanning());
        const QString control = r.m->controlFilePath();
        r.poll(200ms);
        EXPECT_FALSE(r.m->isScanning());
        EXPECT_EQ(r.m->errorMessage(), "Helper did not start within 10s.\n" + row.tail + kHint);
        // A scanner that starts late is told to stop rather than left unwatched.
        EXPECT_EQ(test::readText(control.toStdString()), "stop");
    }
}

TEST(HelperToolManager, StallWatchdogNeedsARecordAndSparesPauses) {
    Rig r;
    r.start();
    r.poll(5s);  // no record yet, inside the launch limit
    r.write(record(8 << 20, {"a.jpg"}));
    r.poll();
    // No movement for just under the limit, then movement: still running.
    r.poll(59s);
    EXPECT_TRUE(r.m->isScanning());
    r.write(record(16 << 20, {"a.jpg"}));
    r.poll();
    r.poll(59s);
    EXPECT_TRUE(r.m->isScanning());

    r.m->pauseScan();
    EXPECT_EQ(test::readText(r.m->controlFilePath().toStdString()), "pause");
    EXPECT_EQ(r.m->statusMessage(), "Paused");
    EXPECT_TRUE(r.m->canExport());
    r.poll(10min);
    EXPECT_TRUE(r.m->isScanning());
    r.m->resumeScan();
    EXPECT_EQ(test::readText(r.m->controlFilePath().toStdString()), "resume");
    EXPECT_FALSE(r.m->canExport());
    r.poll(1s);  // the long pause does not count against the resumed scanner
    EXPECT_TRUE(r.m->isScanning());

    const QString control = r.m->controlFilePath();
    r.poll(61s);
    EXPECT_FALSE(r.m->isScanning());
    EXPECT_EQ(r.m->statusMessage(), "Scan interrupted");
    EXPECT_EQ(r.m->errorMessage(),
              "The scan stopped making progress. You can resume from the last confirmed position.");
    EXPECT_TRUE(r.m->canResumeInterruptedScan());
    EXPECT_TRUE(r.m->canExport());
    EXPECT_EQ(*r.power->held, 0);
    EXPECT_TRUE(r.m->progressFilePath().isEmpty());
    EXPECT_EQ(test::readText(control.toStdString()), "stop");  // left for the scanner to read
}

TEST(HelperToolManager, RecordsMergeByIdAndSetTheStatusLine) {
    Rig r;
    r.start();
    QList<std::pair<qsizetype, qsizetype>> appended;
    QObject::connect(r.m.get(), &HelperToolManager::recoveredFilesAppended,
                     [&](qsizetype first, qsizetype count) { appended.append({first, count}); });
    r.write(record(500'000'000, {"A.jpg", "B.jpg"}));
    r.poll();
    EXPECT_EQ(r.m->statusMessage(), "Scanning at 12.0 MB/s — 500 MB / 1 GB (50%)");
    EXPECT_DOUBLE_EQ(r.m->progressPercentage(), 0.5);
    r.poll();  // the same record again adds nothing
    r.write(record(600'000'000, {"A.jpg", "B.jpg", "C.jpg"}));
    r.poll();
    r.write(record(700'000'000, {"A.jpg", "B.jpg", "C.jpg", "D.jpg", "D.jpg"}));
    r.poll();
    EXPECT_EQ(r.names(), (std::vector<std::string>{"A.jpg", "B.jpg", "C.jpg", "D.jpg"}));
    EXPECT_EQ(appended, (QList<std::pair<qsizetype, qsizetype>>{{0, 2}, {2, 1}, {3, 1}}));

    // Unknown size: the fraction stays, the line says how much was read.
    r.write(record(800'000'000, {}, 0));
    r.poll();
    EXPECT_DOUBLE_EQ(r.m->progressPercentage(), 0.7);
    EXPECT_EQ(r.m->statusMessage(), "Scanning at 12.0 MB/s — 800 MB scanned");

    // Half-written and vanished files are simply read again at the next tick.
    const std::string whole = encodeProgress(record(900'000'000, {"A.jpg", "B.jpg", "C.jpg", "D.jpg", "E.jpg"}));
    r.writeText(whole.substr(0, whole.size() - 30));
    r.poll();
    EXPECT_EQ(r.m->bytesScanned(), 800'000'000u);
    QFile::remove(r.m->progressFilePath());
    r.poll();
    r.writeText(whole);
    r.poll();
    EXPECT_EQ(r.m->recoveredFiles().size(), 5u);
    EXPECT_EQ(r.m->bytesScanned(), 900'000'000u);
}

TEST(HelperToolManager, LastRecordsEndTheRun) {
    struct Row {
        const char* name;
        std::optional<std::string> error;
        std::uint64_t offset;
        bool resumable;
        QString status;
    };
    const Row rows[] = {
        {"complete", std::nullopt, 0, false, "Done — found 2 file(s)"},
        {"error mid-card", "The card stopped answering at 1.2 GB.", 1'200'000'000, true,
         "Error — 1.2 GB / 2 GB (60%)"},
        {"error at the start", "Must run as root", 0, false, "Error — Zero KB / 2 GB (0%)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.start();
        r.write(record(4096, {"A.jpg", "B.jpg"}));
        r.poll();
        r.m->pauseScan();
        ProgressInfo last = record(row.offset, {}, 2'000'000'000);
        last.filesFound = 2;
        last.isComplete = true;
        last.phase = row.error ? "Error" : "Complete";
        last.errorMessage = row.error;
        const QString progress = r.m->progressFilePath();
        r.write(last);
        r.poll();
        EXPECT_FALSE(r.m->isScanning());
        EXPECT_FALSE(r.m->isPaused());
        EXPECT_EQ(r.m->statusMessage(), row.status);
        EXPECT_EQ(r.m->errorMessage(), row.error ? QString::fromStdString(*row.error) : QString());
        EXPECT_EQ(r.m->canResumeInterruptedScan(), row.resumable);
        EXPECT_TRUE(r.m->canExport());
        EXPECT_EQ(*r.power->held, 0);
        EXPECT_FALSE(QFile::exists(progress));
    }
}

TEST(HelperToolManager, StopEndsTheRunAndResumeContinuesIt) {
    Rig r;
    r.m->stopScan();  // idle: still the stopped state
    EXPECT_EQ(r.m->statusMessage(), "Stopped");
    r.m->resumeInterruptedScan();  // nothing to resume
    EXPECT_TRUE(r.launcher->calls.empty());
    // Stopped before the launch reports back: its late answer changes nothing.
    r.m->startScan("/dev/sdz");
    r.m->stopScan();
    ASSERT_TRUE(waitUntil([&] { return !r.launcher->calls.empty(); }, 5000));
    for (int i = 0; i < 10; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(r.m->statusMessage(), "Stopped");
    EXPECT_FALSE(r.m->isScanning());

    r.start("/dev/sdz");
    const std::string output = r.launcher->calls[1].outputDirectory;
    fs::create_directories(output);
    r.write(record(64 << 20, {"A.jpg"}));
    r.poll();
    const QString control = r.m->controlFilePath();
    r.m->stopScan();
    EXPECT_EQ(test::readText(control.toStdString()), "stop");
    EXPECT_EQ(r.m->statusMessage(), "Stopped");
    EXPECT_TRUE(r.m->canResumeInterruptedScan());
    EXPECT_TRUE(r.m->canExport());
    EXPECT_TRUE(r.m->progressFilePath().isEmpty());
    EXPECT_EQ(*r.power->held, 0);
    r.poll(120s);  // nothing of that run is read any more
    EXPECT_EQ(r.m->statusMessage(), "Stopped");

    r.start({}, 0, true);
    ASSERT_EQ(r.launcher->calls.size(), 3u);
    const HelperInvocation& again = r.launcher->calls[2];
    EXPECT_EQ(again.devicePath, "/dev/sdz");
    EXPECT_EQ(again.resumeOffset, 64u << 20);
    EXPECT_EQ(again.outputDirectory, output);
    EXPECT_NE(again.progressFile, r.launcher->calls[1].progressFile);
    EXPECT_TRUE(fs::is_directory(output));
    EXPECT_EQ(r.names(), std::vector<std::string>{"A.jpg"});
    // The resumed scanner lists only its own files; the earlier ones stay.
    r.write(record(80 << 20, {"B.jpg"}));
    r.poll();
    EXPECT_EQ(r.names(), (std::vector<std::string>{"A.jpg", "B.jpg"}));
}

TEST(HelperToolManager, StandInScannerIsSteeredThroughItsFiles) {
    Rig r(true);
    HelperToolManager& m = *r.m;
    auto waitFor = [](auto done) { return waitUntil(done, 15000); };
    m.startScan("/dev/sdz");
    ASSERT_TRUE(waitFor([&] { return m.recoveredFiles().size() == 3; })) << m.statusMessage().toStdString();
    m.pauseScan();
    ASSERT_TRUE(waitFor([&] { return m.statusMessage().startsWith("Paused — "); }));
    m.resumeScan();
    ASSERT_TRUE(waitFor([&] { return m.statusMessage().startsWith("Scanning at"); }));
    const QString control = m.controlFilePath();
    m.stopScan();
    const fs::path out = m.scanOutputDirectory().toStdString();
    ASSERT_TRUE(waitFor([&] { return fs::exists(out / ".stopped"); }));
    EXPECT_EQ(m.statusMessage(), "Stopped");
    EXPECT_EQ(m.recoveredFiles().size(), 3u);
    // Once the scanner has said it is done, the stopped run's files go.
    EXPECT_TRUE(waitFor([&] { return !QFile::exists(control); }));
}

TEST(HelperToolManager, DiskImageIsScannedByTheCommandLineWithoutAPrompt) {
    Rig r;
    std::vector<std::uint8_t> image;
    std::vector<std::string> originals;
    for (int i = 0; i < 3; ++i) {
        const auto jpeg = test::makeJpeg(200'000 + 1000 * i, 50 + i);
        test::place(image, (1u << 20) * static_cast<std::uint64_t>(i + 1), jpeg);
        originals.emplace_back(jpeg.begin(), jpeg.end());
    }
    image.resize(8u << 20);
    // A name a shell would split or expand, as users name their image files.
    const fs::path file = r.dir / "card it's $(date).img";
    test::writeFile(file, image);
    r.m->setMinFileSizeBytes(0);
    struct Row {
        const char* name;
        QSet<QString> formats;
        std::vector<std::string> files;
    };
    // The settings offer video names the command line has no format for; they are left
    // out of its --formats, which would otherwise refuse the whole run.
    const Row rows[] = {
        {"every format", {}, originals},
        {"names only the settings know", {"JPEG", "MKV", "3GP", "WebM"}, originals},
        {"no JPEG", {"PNG", "MKV"}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        r.m->setEnabledFormats(row.formats);
        r.m->openDiskImage(QString::fromStdString(file.string()));
        waitUntil([&] { return !r.m->isScanning(); }, 30000, [&] {
            std::this_thread::sleep_for(20ms);
            r.poll(20ms);
        });
        EXPECT_TRUE(r.launcher->calls.empty());  // no administrator prompt
        EXPECT_EQ(r.m->errorMessage(), QString());
        EXPECT_EQ(r.m->statusMessage(), QString("Done — found %1 file(s)").arg(row.files.size()));
        std::vector<std::string> got;
        for (const auto& f : r.m->recoveredFiles())
            got.push_back(test::readText(fs::path(r.m->scanOutputDirectory().toStdString()) / f.fileName));
        EXPECT_TRUE(got == row.files);  // whole, in the order found
    }
}

}  // namespace
}  // namespace vf
