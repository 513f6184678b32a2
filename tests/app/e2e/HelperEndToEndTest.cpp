// The manager driving the real root scanner through the direct launcher, on
// read-only loop devices of card images the test makes.

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#include "app/HelperToolManager.h"
#include "platform/HelperLaunch.h"
#include "platform/PowerActivity.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The machine is kept awake by no one in tests.
struct IdlePower final : PowerActivity {
    std::unique_ptr<PowerHold> begin(const std::string&, std::string&) override { return std::make_unique<PowerHold>(); }
};

// One manager on the real scanner, its watchdog clock following real time, and its card:
// zeros without a file system on a read-only loop device, every file found by carving.
struct ManagedRun {
    test::TempDir dir;
    std::vector<std::string> hashes;  // the card's photos, in card order
    test::LoopDevice loop;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::unique_ptr<HelperToolManager> m;

    ManagedRun(int photos, std::size_t size, std::size_t mib, std::uint32_t seed) : loop([&] {
        for (const auto& jpeg : test::writeCarvingCard(dir / "card.img", mib, photos, size, seed, false))
            hashes.push_back(test::sha256(jpeg));
        return dir / "card.img";
    }()) {
        static int argc = 1;
        static char name[] = "test_app_e2e", *argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
        fs::create_directories(dir / "tmp");
        // As the real /tmp: the root application's scanner, working as nobody, reaches its run folder.
        ::chmod(dir.path().c_str(), 0755);
        ::chmod((dir / "tmp").c_str(), 01777);
        auto q = [](const fs::path& p) { return QString::fromStdString(p.string()); };
        m = std::make_unique<HelperToolManager>(HelperToolManager::Services{
            .clock = clock, .launcher = makeDirectLauncher(), .power = std::make_shared<IdlePower>(),
            .helperPath = q(test::binPath("TessarineHelper")), .cacheBase = q(dir / "cache"), .tempDir = q(dir / "tmp"),
            .launchLogPath = q(dir / "tmp/launch.log"), .pollTimer = false});
        m->setMinFileSizeBytes(0);
    }
    template <class F>
    bool pollUntil(F done, std::chrono::seconds limit = 120s) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(30ms);
            clock->advance(50ms);
            m->pollProgress();
        }
        return done();
    }
    fs::path output() const { return m->scanOutputDirectory().toStdString(); }

    // Resumed to the card's end: every photo is in the folder, whole, at its size, once, in
    // the card's order, and nothing else is.
    void expectResumedToTheEnd() {
        ASSERT_TRUE(m->canResumeInterruptedScan());
        m->resumeInterruptedScan();
        ASSERT_TRUE(pollUntil([&] { return !m->isScanning(); }));
        EXPECT_EQ(m->errorMessage().toStdString(), "");
        // The count is the scanner's own (it counts the folder when it starts).
        EXPECT_TRUE(m->statusMessage().startsWith("Done — found ")) << m->statusMessage().toStdString();
        EXPECT_TRUE(m->canExport() && !m->canResumeInterruptedScan()) << "a finished run is exported, not resumed";
        std::vector<std::string> listed;
        for (const RecoveredFileInfo& f : m->recoveredFiles()) {
            EXPECT_EQ(fs::file_size(output() / f.fileName), f.fileSize) << f.fileName;
            listed.push_back(test::sha256(output() / f.fileName));
        }
        EXPECT_EQ(listed, hashes);
        EXPECT_EQ(test::hashValues(test::recoveredHashes(output())), std::multiset<std::string>(hashes.begin(), hashes.end()));
    }
};

// Reads of one device held to a rate for this process and what it starts (a blkio cgroup).
struct Throttle {
    fs::path path = "/sys/fs/cgroup/blkio/backend-e2e-" + std::to_string(::getpid());
    bool ok = false;
    Throttle(const std::string& device, std::uint64_t bytesPerSecond) {
        struct stat st {};
        std::error_code ec;
        if (::stat(device.c_str(), &st) != 0 || !fs::create_directory(path, ec)) return;
        std::ofstream(path / "blkio.throttle.read_bps_device")
            << major(st.st_rdev) << ':' << minor(st.st_rdev) << ' ' << bytesPerSecond << '\n';
        std::ofstream(path / "cgroup.procs") << ::getpid() << '\n';
        ok = true;
    }
    ~Throttle() {
        if (!ok) return;
        std::ofstream("/sys/fs/cgroup/blkio/cgroup.procs") << ::getpid() << '\n';
        for (int i = 0; i < 100 && ::rmdir(path.c_str()) != 0; ++i) std::this_thread::sleep_for(50ms);
    }
};

TEST(HelperEndToEnd, KilledScannerIsCaughtByTheStallWatchdogAndResumeLosesAndDoublesNothing) {
    ManagedRun cut(10, 250'000, 160, 100);
    if (!cut.loop.ok()) GTEST_SKIP() << cut.loop.why();
    test::run("blockdev --flushbufs " + cut.loop.device());  // the throttled run reads the device, not the cache
    Throttle slow(cut.loop.device(), 16u << 20);
    if (!slow.ok) GTEST_SKIP() << "no blkio cgroup to slow the card down";
    cut.m->startScan(QString::fromStdString(cut.loop.device()));
    ASSERT_TRUE(cut.pollUntil([&] { return cut.m->filesFound() >= 3; }));
    pid_t pid = -1;  // the scanner this test started for this run
    for (const auto& e : fs::directory_iterator("/proc")) {
        std::ifstream in(e.path() / "cmdline", std::ios::binary);
        const std::string cmd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (cmd.rfind(test::binPath("TessarineHelper") + '\0', 0) == 0 && cmd.find(cut.m->progressFilePath().toStdString()) != std::string::npos)
            pid = static_cast<pid_t>(std::stol(e.path().filename()));
    }
    ASSERT_TRUE(pid > 0 && ::kill(pid, SIGKILL) == 0) << pid;
    for (int i = 0; i < 100 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(20ms);

    cut.pollUntil([] { return false; }, 1s);  // the last records are read
    ASSERT_TRUE(cut.m->isScanning());
    cut.clock->advance(61s);
    cut.m->pollProgress();
    EXPECT_EQ(cut.m->statusMessage().toStdString(), "Scan interrupted");
    EXPECT_GE(cut.m->recoveredFiles().size(), 3u);
    cut.expectResumedToTheEnd();
}

TEST(HelperEndToEnd, FullOutputDiskIsReportedInItsOwnWordsAndResumeFinishesTheCard) {
    ManagedRun run(6, 400'000, 32, 200);
    if (!run.loop.ok()) GTEST_SKIP() << run.loop.why();
    // The caches on a small disk that holds about two of the files.
    test::TmpfsMount small(run.dir / "cache", "1200k");
    if (!small.ok()) GTEST_SKIP() << small.why();
    run.m->startScan(QString::fromStdString(run.loop.device()));
    ASSERT_TRUE(run.pollUntil([&] { return !run.m->isScanning(); }));
    EXPECT_TRUE(run.m->errorMessage().startsWith("Could not save recovered files: No space left on device"))
        << run.m->errorMessage().toStdString();
    EXPECT_TRUE(run.m->statusMessage().startsWith("Error — ")) << run.m->statusMessage().toStdString();
    EXPECT_LT(run.m->recoveredFiles().size(), 6u);
    ASSERT_TRUE(small.resize("16m"));
    run.expectResumedToTheEnd();
}

}  // namespace
}  // namespace vf
