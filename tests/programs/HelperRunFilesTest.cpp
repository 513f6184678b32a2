// The root scanner's progress and control files in states the application
// never leaves them in: the scan must neither crash nor hang nor obey junk, and
// must recover everything all the same.

#include "common/Records.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Process.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;

class HelperRunFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (::getuid() != 0) return;
        card = new test::TempDir;
        ::chmod(card->path().c_str(), 0777);
        // Four photos on 8 MiB of random data without a file system.
        auto image = test::randomBytes(8 << 20, 41);
        sources = new std::multiset<std::string>;
        for (std::uint64_t k = 0; k < 4; ++k) {
            const auto jpeg = test::makeJpeg(150'000 + 10'000 * k, static_cast<std::uint32_t>(500 + k));
            test::place(image, (1 + 2 * k) << 20, jpeg);
            sources->insert(test::sha256(jpeg));
        }
        test::writeFile(*card / "card.img", image);
        loop = new test::LoopDevice(*card / "card.img");
    }
    static void TearDownTestSuite() {
        delete loop;
        delete sources;
        delete card;
        loop = nullptr;
        sources = nullptr;
        card = nullptr;
    }
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "needs root for loop devices";
        if (!loop->ok()) GTEST_SKIP() << loop->why();
        ::chmod(dir.path().c_str(), 0777);
    }
    void TearDown() override { test::removeReportOf(4321); }

    test::Spawned start(const fs::path& progress, const fs::path& control) {
        return test::spawn({test::binPath("TessarineHelper"), loop->device(), out.string(), progress.string(),
                            control.string()},
                           "", {"SUDO_UID=4321", "SUDO_GID=1234"});
    }
    // The scan ended well and recovered every photo.
    void expectAllRecovered(int status) {
        EXPECT_EQ(status, 0) << test::readText("/tmp/tessarine_debug.log");
        EXPECT_NE(test::readText("/tmp/tessarine_debug.log").find("=== Done ==="), std::string::npos);
        EXPECT_EQ(test::hashValues(test::recoveredHashes(out)), *sources);
    }
    std::optional<ProgressInfo> lastRecord(const fs::path& progress) {
        return decodeProgress(test::readText(progress));
    }

    static test::TempDir* card;
    static std::multiset<std::string>* sources;
    static test::LoopDevice* loop;
    test::TempDir dir;
    fs::path out = dir / "out";
};

test::TempDir* HelperRunFiles::card = nullptr;
std::multiset<std::string>* HelperRunFiles::sources = nullptr;
test::LoopDevice* HelperRunFiles::loop = nullptr;

TEST_F(HelperRunFiles, ControlFilesThatHoldNoWordAreIgnored) {
    // A folder, a FIFO nobody writes, and a 1 GiB file that begins with "stop":
    // no word can be read from any of them, so the scan runs to its end.
    fs::create_directory(dir / "control-dir");
    ASSERT_EQ(::mkfifo((dir / "control-fifo").c_str(), 0644), 0);
    {
        std::ofstream(dir / "control-huge") << "stop\n";
    }
    ASSERT_EQ(::truncate((dir / "control-huge").c_str(), 1ll << 30), 0);
    for (const char* control : {"control-dir", "control-fifo", "control-huge"}) {
        SCOPED_TRACE(control);
        fs::remove_all(out);
        const fs::path progress = dir / "progress.json";
        int status = -1;
        const auto records = test::pollFileUntilExit(start(progress, dir / control), progress.string(), &status);
        expectAllRecovered(status);
        const auto last = lastRecord(progress);
        ASSERT_TRUE(last);
        EXPECT_EQ(last->phase, "Complete");
        EXPECT_EQ(last->filesFound, 4);
        EXPECT_EQ(last->bytesScanned, 8u << 20) << "the scan was stopped";
    }
}

// Without its progress file no one can follow or steer the scan: a run whose
// file cannot be written once the scanner is the user ends with a clear error.
void expectEndedUnwatched(int status, const fs::path& progress) {
    const std::string log = test::readText("/tmp/tessarine_debug.log");
    EXPECT_EQ(status, 1) << log;
    EXPECT_NE(log.find("❌ Cannot write the progress file " + progress.string()), std::string::npos) << log;
    EXPECT_EQ(log.find("Progress: Starting scan"), std::string::npos) << log;
}

TEST_F(HelperRunFiles, ProgressFolderRemovedBeforeTheScan) {
    const fs::path run = dir / "run", progress = run / "progress.json";
    fs::create_directory(run);
    ::chmod(run.c_str(), 0777);
    const auto p = start(progress, run / "control");
    // The first record comes before the scanner settles after unmounting.
    for (int i = 0; i < 2000 && !fs::exists(progress); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(fs::exists(progress)) << "no first record";
    fs::remove_all(run);
    expectEndedUnwatched(test::waitFor(p), progress);
    EXPECT_FALSE(fs::exists(run)) << "the scanner must not make the application's folder again";
}

TEST_F(HelperRunFiles, GarbageOrAFolderWhereTheProgressFileGoes) {
    const fs::path garbage = dir / "garbage.json";
    test::writeFile(garbage, test::randomBytes(1 << 20, 42));
    int status = -1;
    auto records = test::pollFileUntilExit(start(garbage, dir / "control"), garbage.string(), &status);
    expectAllRecovered(status);
    ASSERT_GE(records.size(), 2u);
    for (std::size_t i = 1; i < records.size(); ++i) EXPECT_TRUE(decodeProgress(records[i])) << records[i];
    const auto last = lastRecord(garbage);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->phase, "Complete");

    // A folder stands at the path: no record can be written.
    fs::remove_all(out);
    fs::create_directory(dir / "progress-dir");
    ::chmod((dir / "progress-dir").c_str(), 0777);
    expectEndedUnwatched(test::waitFor(start(dir / "progress-dir", dir / "control")), dir / "progress-dir");
    EXPECT_TRUE(fs::is_directory(dir / "progress-dir"));
    EXPECT_TRUE(fs::is_empty(dir / "progress-dir"));
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << "temporary left: " << e.path();
}

}  // namespace
}  // namespace vf
