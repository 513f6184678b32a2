// The `tessarine` command line, run as a user would run it.

#include "common/Records.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Synthetic.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

namespace vf {
namespace {

namespace fs = std::filesystem;

std::string tessarine() { return test::binPath("tessarine"); }

TEST(Cli, UsageErrorsNameTheBadArgument) {
    // An image the user may not read is said so, not in the desktop application's words.
    test::TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const std::string image = dir / "card.img", scan = "scan /dev/null --output /tmp/x ";
    std::ofstream(image) << "x";
    ::chmod(image.c_str(), 0600);
    std::vector<std::tuple<std::string, int, std::string>> rows = {  // arguments, status, how its output begins
        {"", 2, "tessarine: missing command"},
        {"frobnicate", 2, "tessarine: unknown command 'frobnicate'"},
        {"scan", 2, "tessarine: missing SOURCE"},
        {"scan /dev/null", 2, "tessarine: missing --output DIR"},
        {scan + "--bogus", 2, "tessarine: unknown option '--bogus'"},
        {scan + "--formats JPEG,XYZ", 2, "tessarine: --formats: unknown format 'XYZ'"},
        {scan + "--min-size 12abc", 2, "tessarine: --min-size '12abc' is not a byte count"},
        {"scan /dev/null --output", 2, "tessarine: option --output needs a value"},
        {scan + "--progress-file /tmp/p", 2, "tessarine: --progress-file and --control-file go together"},
        {"scan /no/such.img --output /tmp/x", 1, "tessarine: cannot read /no/such.img"},
        // It has no end, so it would be read for ever.
        {"scan /dev/zero --output /tmp/x", 1, "tessarine: /dev/zero is neither a disk image nor a device"},
        {"--help", 0, "usage: tessarine scan SOURCE --output DIR"},
    };
    // Run as nobody where the test is root, so that the image is another's.
    const std::string as = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    if (!as.empty())
        rows.emplace_back("scan " + image + " --output /tmp/x", 1, "tessarine: permission denied: " + image + "\n");
    for (const auto& [args, status, message] : rows) {
        const auto r = test::run(as + tessarine() + " " + args);
        EXPECT_EQ(r.status, status) << args;
        EXPECT_EQ(r.output.rfind(message, 0), 0u) << args << " → " << r.output;
        EXPECT_TRUE(status == 0 || std::count(r.output.begin(), r.output.end(), '\n') == 1) << "one line: " << r.output;
    }
}

// A card far larger than the 0.7 s each run is given, stopped with Ctrl-C: where to go
// on is the offset the scan had reached, in the summary and said in words without --json.
TEST(Cli, CtrlCStopsCleanly) {
    test::TempDir dir;
    std::ofstream(dir / "big.img").close();
    ASSERT_EQ(::truncate((dir / "big.img").c_str(), 1ll << 36), 0);
    auto interrupted = [&](const std::vector<std::string>& more) {
        std::vector<std::string> args = {tessarine(), "scan", (dir / "big.img").string(), "--output",
                                         (dir / "out").string(), "--report", (dir / "diag.txt").string()};
        args.insert(args.end(), more.begin(), more.end());
        auto p = test::spawn(args, (dir / "said.txt").string());
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        ::kill(p.pid, SIGINT);
        EXPECT_EQ(test::waitFor(p), 0) << test::readText(dir / "said.txt");
        return test::readText(dir / "said.txt");
    };
    const std::string text = interrupted({"--json"});
    EXPECT_TRUE(fs::exists(dir / "diag.txt"));
    const auto summary = nlohmann::json::parse(text.substr(text.find('{')));
    const auto resume = summary.value("resumeOffset", std::uint64_t{0});
    EXPECT_TRUE(summary["stopped"] == true && resume > 0 && resume <= summary["bytesScanned"]) << text;
    const std::string plain = interrupted({"--resume", std::to_string(resume)});
    EXPECT_TRUE(std::regex_search(plain, std::regex("tessarine: stopped; resume with --resume [1-9][0-9]*\n"))) << plain;
}

// Kills the scanner at ever later moments and resumes from the last record each
// time, as the application's resume button does, then fills the output disk and
// resumes into it grown: each folder must end as the uninterrupted run leaves it,
// and a full disk ends the run with an error the application can show.
TEST(Cli, KilledOrOutOfSpaceRunsResumeToTheUninterruptedEnd) {
    test::TempDir dir;
    const auto photos = test::writeCarvingCard(dir / "raw.img", 96, 40, 150'000, 100);
    const fs::path progress = dir / "progress.json";
    auto scan = [&](const fs::path& out, std::uint64_t resume, const std::string& said = "", bool json = false) {
        fs::remove(progress);
        std::vector<std::string> args = {tessarine(), "scan", (dir / "raw.img").string(), "--output", out.string(),
                                         "--no-thumbnails", "--report", (dir / "diag.txt").string(), "--progress-file",
                                         progress.string(), "--control-file", (dir / "control").string(), "--resume",
                                         std::to_string(resume)};
        if (json) args.push_back("--json");
        return test::spawn(args, said);
    };
    ASSERT_EQ(test::waitFor(scan(dir / "clean", 0, dir / "clean.json", true)), 0);
    const auto clean = test::recoveredHashes(dir / "clean");
    std::multiset<std::string> placed;
    for (const auto& jpeg : photos) placed.insert(test::sha256(jpeg));
    EXPECT_EQ(test::hashValues(clean), placed);
    const std::string json = test::readText(dir / "clean.json");
    const auto summary = nlohmann::json::parse(json.substr(json.find('{')));
    EXPECT_TRUE(summary["filesFound"] == 40 && summary["files"].size() == 40) << json;

    std::uint64_t resume = 0;
    int kills = 0;
    // From the first milliseconds on, since a whole run can take less than 20 ms.
    for (int delayMs = 1;; delayMs += 1 + delayMs / 4) {
        auto p = scan(dir / "killed", resume, dir / "said.txt");
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        const bool killed = ::kill(p.pid, SIGKILL) == 0;
        const int status = test::waitFor(p);
        if (auto rec = decodeProgress(test::readText(progress))) {
            if (rec->isComplete && status == 0) break;
            resume = rec->currentOffset;
        }
        if (killed) ++kills;
        ASSERT_LT(delayMs, 20000) << "never completed";
    }
    EXPECT_GE(kills, 1);
    EXPECT_TRUE(std::regex_search(test::readText(dir / "said.txt"), std::regex(R"(Done: recovered \d+ file\(s\))")));
    EXPECT_EQ(test::recoveredHashes(dir / "killed"), clean);

    // About 6 MB of photos for a 3 MiB disk. What the full disk kept must be whole and
    // named as in the clean run, or the resumed folder could not end as the clean one.
    if (::getuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    const fs::path small = dir / "small";
    test::TmpfsMount disk(small, "3m");
    if (!disk.ok()) GTEST_SKIP() << disk.why();
    EXPECT_EQ(test::waitFor(scan(small, 0)), 1);
    const auto failed = decodeProgress(test::readText(progress));
    ASSERT_TRUE(failed) << test::readText(progress);
    EXPECT_TRUE(failed->phase == "Error" && failed->isComplete);
    EXPECT_EQ(failed->errorMessage.value_or("").rfind("Could not save recovered files: No space left on device", 0), 0u);
    EXPECT_GE(test::recoveredHashes(small).size(), 3u);
    ASSERT_TRUE(disk.resize("64m"));
    EXPECT_EQ(test::waitFor(scan(small, failed->currentOffset)), 0);
    const auto done = decodeProgress(test::readText(progress));
    EXPECT_EQ(done ? done->phase : "", "Complete");
    EXPECT_EQ(done ? done->filesFound : 0, 40);
    EXPECT_EQ(test::recoveredHashes(small), clean);
}

}  // namespace
}  // namespace vf
