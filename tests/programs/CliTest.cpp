// The `tessarine` command line, run as a user would run it.

#include "common/Records.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Process.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <thread>

namespace vf {
namespace {

namespace fs = std::filesystem;

std::string tessarine() { return test::binPath("tessarine"); }

TEST(Cli, UsageErrorsNameTheBadArgument) {
    struct Case { std::string args; std::string message; };
    const Case cases[] = {
        {"", "tessarine: missing command"},
        {"frobnicate", "tessarine: unknown command 'frobnicate'"},
        {"scan", "tessarine: missing SOURCE"},
        {"scan /dev/null", "tessarine: missing --output DIR"},
        {"scan /dev/null --output /tmp/x --bogus", "tessarine: unknown option '--bogus'"},
        {"scan /dev/null --output /tmp/x --formats JPEG,XYZ", "tessarine: --formats: unknown format 'XYZ'"},
        {"scan /dev/null --output /tmp/x --min-size 12abc", "tessarine: --min-size '12abc' is not a byte count"},
        {"scan /dev/null --output", "tessarine: option --output needs a value"},
        {"scan /dev/null --output /tmp/x --progress-file /tmp/p", "tessarine: --progress-file and --control-file go together"},
    };
    for (const auto& c : cases) {
        auto r = test::run(tessarine() + " " + c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.output.rfind(c.message, 0), 0u) << c.args << " → " << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << "one line: " << r.output;
    }
    auto help = test::run(tessarine() + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("usage: tessarine scan SOURCE --output DIR"), std::string::npos);
    auto missing = test::run(tessarine() + " scan /no/such.img --output /tmp/x");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("cannot read /no/such.img"), std::string::npos);
    // An image the user may not read is said so, not in the desktop application's words.
    if (::geteuid() != 0) return;
    test::TempDir dir;
    ::chmod(dir.path().c_str(), 0755);
    const auto image = dir / "card.img";
    std::ofstream(image) << "x";
    ::chmod(image.c_str(), 0600);
    auto denied = test::run("setpriv --reuid=65534 --regid=65534 --clear-groups " + tessarine() + " scan " +
                            image.string() + " --output " + (dir / "out").string());
    EXPECT_EQ(denied.status, 1) << denied.output;
    EXPECT_EQ(denied.output, "tessarine: permission denied: " + image.string() + "\n");
}

TEST(Cli, CtrlCStopsCleanly) {
    test::TempDir dir;
    const auto log = dir / "out.txt";
    // /dev/zero has no end, so it is refused; a card far larger than the 0.7 s stands in.
    const auto refused = test::run(tessarine() + " scan /dev/zero --output " + (dir / "zero").string());
    EXPECT_EQ(refused.status, 1) << refused.output;
    std::ofstream(dir / "big.img").close();
    ASSERT_EQ(::truncate((dir / "big.img").c_str(), 1ll << 36), 0);
    auto p = test::spawn({tessarine(), "scan", (dir / "big.img").string(), "--output", (dir / "out").string(), "--report",
                          (dir / "diag.txt").string(), "--json"},
                         log.string());
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ::kill(p.pid, SIGINT);
    const int status = test::waitFor(p);
    EXPECT_EQ(status, 0) << test::readText(log);
    const std::string text = test::readText(log);
    EXPECT_NE(text.find("\"stopped\": true"), std::string::npos) << text;
    EXPECT_TRUE(fs::exists(dir / "diag.txt"));
    // Where to go on: the offset the scan had reached, in the summary and said in words without --json.
    const auto summary = nlohmann::json::parse(text.substr(text.find('{')));
    ASSERT_TRUE(summary.contains("resumeOffset")) << text;
    const auto resume = summary["resumeOffset"].get<std::uint64_t>();
    EXPECT_GT(resume, 0u);
    EXPECT_LE(resume, summary["bytesScanned"].get<std::uint64_t>());
    auto q = test::spawn({tessarine(), "scan", (dir / "big.img").string(), "--output", (dir / "out").string(), "--report",
                          (dir / "diag.txt").string(), "--resume", std::to_string(resume)},
                         (dir / "plain.txt").string());
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    ::kill(q.pid, SIGINT);
    EXPECT_EQ(test::waitFor(q), 0);
    const std::string plain = test::readText(dir / "plain.txt");
    EXPECT_TRUE(std::regex_search(plain, std::regex("tessarine: stopped; resume with --resume [1-9][0-9]*\n"))) << plain;
}

// Kills the scanner at ever later moments and resumes from the last record each
// time, as the application's resume button does; the folder must end as an
// uninterrupted run leaves it.
TEST(Cli, KilledAndResumedRunsEndLikeAnUninterruptedOne) {
    test::TempDir dir;
    const auto photos = test::writeCarvingCard(dir / "raw.img", 96, 40, 150'000, 100);
    auto scanArgs = [&](const fs::path& out, std::uint64_t resume) {
        return std::vector<std::string>{tessarine(), "scan", (dir / "raw.img").string(), "--output", out.string(),
                                        "--no-thumbnails", "--report", (dir / "diag.txt").string(), "--progress-file",
                                        (dir / "progress.json").string(), "--control-file",
                                        (dir / "control").string(), "--resume", std::to_string(resume)};
    };
    std::ofstream(dir / "control").close();
    // The uninterrupted run: every photo whole, its summary and last record agreeing.
    std::string line = "(";
    for (const std::string& a : scanArgs(dir / "clean", 0)) line += " '" + a + "'";
    const auto r = test::run(line + " --json 2>/dev/null)");
    ASSERT_EQ(r.status, 0) << r.output;
    const auto clean = test::recoveredHashes(dir / "clean");
    std::multiset<std::string> placed;
    for (const auto& jpeg : photos) placed.insert(test::sha256(jpeg));
    EXPECT_EQ(test::hashValues(clean), placed);
    const auto summary = nlohmann::json::parse(r.output);
    EXPECT_EQ(summary["filesFound"], 40);
    EXPECT_EQ(summary["files"].size(), 40u);
    const auto last = decodeProgress(test::readText(dir / "progress.json"));
    ASSERT_TRUE(last) << test::readText(dir / "progress.json");
    EXPECT_EQ(last->phase, "Complete");
    EXPECT_TRUE(last->isComplete);
    EXPECT_EQ(last->filesFound, 40);

    std::uint64_t resume = 0;
    int kills = 0;
    // From the first milliseconds on, since a whole run can take less than 20 ms.
    for (int delayMs = 1;; delayMs += 1 + delayMs / 4) {
        fs::remove(dir / "progress.json");
        auto p = test::spawn(scanArgs(dir / "killed", resume), (dir / "said.txt").string());
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        const bool killed = ::kill(p.pid, SIGKILL) == 0;
        const int status = test::waitFor(p);
        if (auto rec = decodeProgress(test::readText(dir / "progress.json"))) {
            if (rec->isComplete && status == 0) break;
            resume = rec->currentOffset;
        }
        if (killed) ++kills;
        ASSERT_LT(delayMs, 20000) << "never completed";
    }
    EXPECT_GE(kills, 1);
    EXPECT_TRUE(std::regex_search(test::readText(dir / "said.txt"), std::regex(R"(Done: recovered \d+ file\(s\))")));
    EXPECT_EQ(test::recoveredHashes(dir / "killed"), clean);
}

}  // namespace
}  // namespace vf
