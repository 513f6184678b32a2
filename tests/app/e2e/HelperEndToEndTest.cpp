// The manager driving the real root scanner through the direct launcher, on
// read-only loop devices of card images the test makes.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/HelperToolManager.h"
#include "platform/HelperLaunch.h"
#include "platform/PowerActivity.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"
#include "tests/support/VolumeImage.h"

namespace vf {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

void ensureApp() {
    static int argc = 1;
    static char name[] = "test_app_e2e";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
}

class NoPower final : public PowerActivity {
public:
    std::unique_ptr<PowerHold> begin(const std::string&, std::string& error) override {
        error = "not asked in tests";
        return nullptr;
    }
};

// One manager on the real scanner, its watchdog clock following real time.
struct ManagedRun {
    test::TempDir dir;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::unique_ptr<HelperToolManager> m;

    ManagedRun() {
        ensureApp();
        fs::create_directories(dir / "tmp");
        // As the real /tmp: the root application's scanner, working as nobody, reaches its run folder.
        ::chmod(dir.path().c_str(), 0755);
        ::chmod((dir / "tmp").c_str(), 01777);
        HelperToolManager::Services s;
        s.clock = clock;
        s.launcher = makeDirectLauncher();
        s.power = std::make_shared<NoPower>();
        s.helperPath = QString::fromStdString(test::binPath("TessarineHelper"));
        s.cacheBase = QString::fromStdString((dir / "cache").string());
        s.tempDir = QString::fromStdString((dir / "tmp").string());
        s.launchLogPath = QString::fromStdString((dir / "tmp/launch.log").string());
        s.pollTimer = false;
        m = std::make_unique<HelperToolManager>(s);
    }
    template <class F>
    bool pollUntil(F done, std::chrono::seconds limit = 120s) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < limit.count() * 1000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(30ms);
            clock->advance(50ms);
            m->pollProgress();
        }
        return done();
    }
    fs::path output() const { return m->scanOutputDirectory().toStdString(); }
};

// The scanner this test started for the run with this progress file.
pid_t helperOf(const QString& progressFile) {
    const std::string needle = progressFile.toStdString();
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string pid = e.path().filename();
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(e.path() / "cmdline", std::ios::binary);
        const std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (cmd.rfind(test::binPath("TessarineHelper") + '\0', 0) == 0 && cmd.find(needle) != std::string::npos)
            return static_cast<pid_t>(std::stol(pid));
    }
    return -1;
}

bool needsRoot() { return ::geteuid() != 0 || !test::haveTool("losetup"); }

TEST(HelperEndToEnd, RootRunRecoversEveryFileOfAFat32Card) {
    if (needsRoot()) GTEST_SKIP() << "needs root and losetup";
    test::TempDir work;
    std::vector<fs::path> originals;
    for (int i = 0; i < 4; ++i) {
        originals.push_back(work / ("IMG_000" + std::to_string(i) + ".JPG"));
        test::writeFile(originals.back(), test::makeJpeg(300'000 + 40'000 * i, 10 + i, "2024:06:0" + std::to_string(i + 1) + " 10:00:00"));
    }
    test::VolumeImage card(test::VolumeImage::Kind::fat32, work / "card.img");
    card.sizeMiB(64).clusterBytes(512).mbr().mkdir("/DCIM").mkdir("/DCIM/100CANON");
    for (const auto& f : originals) card.put(f, "/DCIM/100CANON/" + f.filename().string());
    card.del("/DCIM/100CANON/IMG_0002.JPG");  // deleted on the camera
    const test::VolumeBuild built = card.build();
    if (built.skipped()) GTEST_SKIP() << built.output;
    ASSERT_TRUE(built.ok()) << built.output;
    test::LoopDevice loop(card.image());
    if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();

    ManagedRun run;
    run.m->setMinFileSizeBytes(0);
    run.m->startScan(QString::fromStdString(loop.device()));
    ASSERT_TRUE(run.pollUntil([&] { return !run.m->isScanning(); })) << run.m->statusMessage().toStdString();
    EXPECT_EQ(run.m->errorMessage().toStdString(), "");
    const auto& files = run.m->recoveredFiles();
    EXPECT_EQ(run.m->statusMessage().toStdString(), "Done — found " + std::to_string(files.size()) + " file(s)");
    EXPECT_FALSE(run.m->canResumeInterruptedScan());
    EXPECT_TRUE(run.m->canExport());
    EXPECT_TRUE(run.m->progressFilePath().isEmpty());

    // Every file the list names is in the folder, whole; every original is among them.
    std::multiset<std::string> listed;
    for (const RecoveredFileInfo& f : files) {
        const fs::path p = run.output() / f.fileName;
        ASSERT_TRUE(fs::exists(p)) << f.fileName;
        EXPECT_EQ(fs::file_size(p), f.fileSize) << f.fileName;
        listed.insert(test::sha256(p));
    }
    EXPECT_EQ(listed, test::hashValues(test::recoveredHashes(run.output())));
    for (const auto& f : originals) EXPECT_EQ(listed.count(test::sha256(f)), 1u) << f.filename();
}

// Reads of one device held to a rate for this process and what it starts.
class Throttle {
public:
    Throttle(const std::string& device, std::uint64_t bytesPerSecond) {
        struct stat st {};
        if (::stat(device.c_str(), &st) != 0) return;
        const std::string rule = std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        if (!fs::is_directory("/sys/fs/cgroup/blkio")) return;
        path_ = "/sys/fs/cgroup/blkio/backend-e2e-" + std::to_string(::getpid());
        std::error_code ec;
        if (!fs::create_directory(path_, ec)) {
            path_.clear();
            return;
        }
        std::ofstream(path_ / "blkio.throttle.read_bps_device") << rule << ' ' << bytesPerSecond << '\n';
        std::ofstream(path_ / "cgroup.procs") << ::getpid() << '\n';
        ok_ = true;
    }
    ~Throttle() {
        if (path_.empty()) return;
        std::ofstream("/sys/fs/cgroup/blkio/cgroup.procs") << ::getpid() << '\n';
        for (int i = 0; i < 100 && ::rmdir(path_.c_str()) != 0; ++i) std::this_thread::sleep_for(50ms);
    }
    bool ok() const { return ok_; }

private:
    fs::path path_;
    bool ok_ = false;
};

TEST(HelperEndToEnd, KilledScannerIsCaughtByTheStallWatchdogAndResumeLosesAndDoublesNothing) {
    if (needsRoot()) GTEST_SKIP() << "needs root and losetup";
    test::TempDir work;
    // A card without a file system: every file is found by carving, in order.
    std::vector<std::uint8_t> image;
    for (int i = 0; i < 10; ++i)
        test::place(image, (16ull << 20) * static_cast<std::uint64_t>(i) + 4096,
                    test::makeJpeg(250'000 + 1000 * i, 100 + i));
    image.resize(160u << 20);
    test::writeFile(work / "card.img", image);
    test::LoopDevice loop(work / "card.img");
    if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
    const QString device = QString::fromStdString(loop.device());

    ManagedRun whole;
    whole.m->setMinFileSizeBytes(0);
    whole.m->startScan(device);
    ASSERT_TRUE(whole.pollUntil([&] { return !whole.m->isScanning(); }));
    ASSERT_EQ(whole.m->statusMessage().toStdString(), "Done — found 10 file(s)");
    const auto reference = test::hashValues(test::recoveredHashes(whole.output()));

    test::run("blockdev --flushbufs " + loop.device());  // the throttled run reads the device, not the cache
    Throttle slow(loop.device(), 16u << 20);
    if (!slow.ok()) GTEST_SKIP() << "no blkio cgroup to slow the card down";
    ManagedRun cut;
    cut.m->setMinFileSizeBytes(0);
    cut.m->startScan(device);
    ASSERT_TRUE(cut.pollUntil([&] { return cut.m->filesFound() >= 3; }));
    const pid_t pid = helperOf(cut.m->progressFilePath());
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(20ms);

    cut.pollUntil([] { return false; }, 1s);  // the last records are read
    ASSERT_TRUE(cut.m->isScanning());
    cut.clock->advance(61s);
    cut.m->pollProgress();
    EXPECT_EQ(cut.m->statusMessage().toStdString(), "Scan interrupted");
    ASSERT_TRUE(cut.m->canResumeInterruptedScan());
    const std::size_t before = cut.m->recoveredFiles().size();
    EXPECT_GE(before, 3u);

    cut.m->resumeInterruptedScan();
    ASSERT_TRUE(cut.pollUntil([&] { return !cut.m->isScanning(); }));
    EXPECT_EQ(cut.m->errorMessage().toStdString(), "");
    // The count is the scanner's own (it counts the folder when it starts).
    EXPECT_TRUE(cut.m->statusMessage().startsWith("Done — found ")) << cut.m->statusMessage().toStdString();
    EXPECT_EQ(test::hashValues(test::recoveredHashes(cut.output())), reference);
    std::set<std::string> ids;
    for (const auto& f : cut.m->recoveredFiles()) EXPECT_TRUE(ids.insert(f.id).second) << f.id;
    EXPECT_EQ(ids.size(), 10u);
}

TEST(HelperEndToEnd, FullOutputDiskIsReportedInItsOwnWordsAndResumeFinishesTheCard) {
    if (needsRoot()) GTEST_SKIP() << "needs root and losetup";
    test::TempDir work;
    std::vector<std::uint8_t> image;
    std::vector<std::string> hashes;
    for (int i = 0; i < 6; ++i) {
        const auto jpeg = test::makeJpeg(400'000 + 1000 * i, 200 + i);
        test::place(image, (4ull << 20) * static_cast<std::uint64_t>(i) + 8192, jpeg);
        test::writeFile(work / "orig", jpeg);
        hashes.push_back(test::sha256(work / "orig"));
    }
    image.resize(32u << 20);
    test::writeFile(work / "card.img", image);
    test::LoopDevice loop(work / "card.img");
    if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();

    ManagedRun run;
    // The caches on a small disk that holds about two of the files.
    test::TmpfsMount small(run.dir / "cache", "1200k");
    if (!small.ok()) GTEST_SKIP() << small.why();
    run.m->setMinFileSizeBytes(0);
    run.m->startScan(QString::fromStdString(loop.device()));
    ASSERT_TRUE(run.pollUntil([&] { return !run.m->isScanning(); }));
    EXPECT_TRUE(run.m->errorMessage().startsWith("Could not save recovered files: No space left on device"))
        << run.m->errorMessage().toStdString();
    EXPECT_TRUE(run.m->statusMessage().startsWith("Error — ")) << run.m->statusMessage().toStdString();
    ASSERT_TRUE(run.m->canResumeInterruptedScan());
    EXPECT_LT(run.m->recoveredFiles().size(), 6u);

    ASSERT_TRUE(small.resize("16m"));
    run.m->resumeInterruptedScan();
    ASSERT_TRUE(run.pollUntil([&] { return !run.m->isScanning(); }));
    EXPECT_EQ(run.m->errorMessage().toStdString(), "");
    std::vector<std::string> got;
    for (const auto& f : run.m->recoveredFiles()) got.push_back(test::sha256(run.output() / f.fileName));
    EXPECT_EQ(got, hashes);
}

}  // namespace
}  // namespace vf
