// The manager driving the real root scanner through the direct launcher, on a
// read-only loop device of a card image the test makes.

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <csignal>
#include <thread>
#include <unistd.h>

#include "app/HelperToolManager.h"
#include "platform/HelperLaunch.h"
#include "platform/PowerActivity.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Synthetic.h"

namespace vf {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The machine is kept awake by no one in tests.
struct IdlePower final : PowerActivity {
    std::unique_ptr<PowerHold> begin(const std::string&, std::string&) override { return std::make_unique<PowerHold>(); }
};

// Reads of one device held to 16 MiB/s for this process and what it starts (a blkio cgroup).
// The shells move themselves out too: a group is removed only once it holds no process.
struct Throttle : test::SystemChange {
    explicit Throttle(const std::string& device) {
        const std::string me = std::to_string(::getpid()), vars = "g=/sys/fs/cgroup/blkio/support-e2e-" + me + "; ";
        const test::CommandResult r = test::run(vars + "mkdir $g && { echo $(lsblk -dno MAJ:MIN " + device +
                                                ") 16777216 > $g/blkio.throttle.read_bps_device && echo " + me +
                                                " > $g/cgroup.procs || ! rmdir $g; }");
        if (r.status == 0) undo_ = vars + "for p in " + me + " $$; do echo $p > $g/../cgroup.procs; done; " +
                                   "for i in $(seq 100); do rmdir $g && break; sleep 0.05; done";
        else why_ = "no blkio cgroup to slow the card down: " + r.output;
    }
};

// One run on a card of zeros without a file system, every file found by carving: it first
// fills the output disk, then loses its scanner to a kill. The manager says each in its own
// words, and resumed each time, it ends with every photo of the card, whole, once, in order.
TEST(HelperEndToEnd, FullDiskAndKilledScannerAreReportedAndResumingLosesAndDoublesNothing) {
    test::TempDir dir;
    std::vector<std::string> hashes;  // the card's photos, in card order
    for (const auto& jpeg : test::writeCarvingCard(dir / "card.img", 64, 10, 400'000, 200, false))
        hashes.push_back(test::sha256(jpeg));
    const test::LoopDevice loop(dir / "card.img");
    if (!loop.ok()) GTEST_SKIP() << loop.why();
    // The caches on a small disk that holds about two of the files.
    test::TmpfsMount small(dir / "cache", "1200k");
    if (!small.ok()) GTEST_SKIP() << small.why();

    static int argc = 1;
    static char name[] = "test_app_e2e", *argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
    fs::create_directories(dir / "tmp");
    // As the real /tmp: the root application's scanner, working as nobody, reaches its run folder.
    fs::permissions(dir.path(), static_cast<fs::perms>(0755));
    fs::permissions(dir / "tmp", fs::perms::all | fs::perms::sticky_bit);
    auto q = [](const fs::path& p) { return QString::fromStdString(p.string()); };
    // Its watchdog clock follows real time.
    const auto clock = std::make_shared<ManualClock>();
    HelperToolManager m(HelperToolManager::Services{
        .clock = clock, .launcher = makeDirectLauncher(), .power = std::make_shared<IdlePower>(),
        .helperPath = q(test::binPath("TessarineHelper")), .imageToolPath = {}, .cacheBase = q(dir / "cache"),
        .tempDir = q(dir / "tmp"), .launchLogPath = q(dir / "tmp/launch.log"), .debugLogPath = {}, .pollTimer = false,
        .dialogs = {}});
    m.setMinFileSizeBytes(0);
    auto pollUntil = [&](auto done, std::chrono::seconds limit = 120s) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (!done() && std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(30ms);
            clock->advance(50ms);
            m.pollProgress();
        }
        return done();
    };

    m.startScan(q(loop.device()));
    ASSERT_TRUE(pollUntil([&] { return !m.isScanning(); }));
    EXPECT_TRUE(m.errorMessage().startsWith("Could not save recovered files: No space left on device"))
        << m.errorMessage().toStdString();
    EXPECT_TRUE(m.statusMessage().startsWith("Error — ")) << m.statusMessage().toStdString();
    const std::size_t saved = m.recoveredFiles().size();
    ASSERT_TRUE(small.resize("16m"));
    // Slowed down from here on, the resumed scan is caught mid-card.
    const Throttle slow(loop.device());
    if (!slow.ok()) GTEST_SKIP() << slow.why();

    ASSERT_TRUE(m.canResumeInterruptedScan());
    m.resumeInterruptedScan();
    ASSERT_TRUE(pollUntil([&] { return m.filesFound() >= static_cast<int>(saved) + 3; }));
    // The scanner this test started for this run, by its command line.
    const std::string line = "^" + test::binPath("TessarineHelper") + " .*" + m.progressFilePath().toStdString();
    const pid_t pid = std::atoi(test::run("pgrep -f " + test::shellQuoted(line)).output.c_str());
    ASSERT_TRUE(pid > 0 && ::kill(pid, SIGKILL) == 0) << pid;
    pollUntil([] { return false; }, 1s);  // the last records are read
    ASSERT_TRUE(m.isScanning());
    clock->advance(61s);
    m.pollProgress();
    EXPECT_EQ(m.statusMessage().toStdString(), "Scan interrupted");
    EXPECT_GE(m.recoveredFiles().size(), saved + 3);

    ASSERT_TRUE(m.canResumeInterruptedScan());
    m.resumeInterruptedScan();
    ASSERT_TRUE(pollUntil([&] { return !m.isScanning(); }));
    EXPECT_EQ(m.errorMessage().toStdString(), "");
    // The count is the scanner's own (it counts the folder when it starts).
    EXPECT_TRUE(m.statusMessage().startsWith("Done — found ")) << m.statusMessage().toStdString();
    EXPECT_TRUE(m.canExport() && !m.canResumeInterruptedScan()) << "a finished run is exported, not resumed";
    const fs::path output = m.scanOutputDirectory().toStdString();
    std::vector<std::string> listed;
    for (const RecoveredFileInfo& f : m.recoveredFiles()) {
        EXPECT_EQ(fs::file_size(output / f.fileName), f.fileSize) << f.fileName;
        listed.push_back(test::sha256(output / f.fileName));
    }
    EXPECT_EQ(listed, hashes);
    EXPECT_EQ(test::recoveredHashes(output).size(), hashes.size()) << "the folder holds more than the list";
}

}  // namespace
}  // namespace vf
