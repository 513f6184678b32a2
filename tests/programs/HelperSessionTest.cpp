// Runs the real TessarineHelper binary and reads back what it leaves behind.

#include "common/Records.h"
#include "helper/Session.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Process.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <map>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
    auto b = test::readFile(p);
    return std::string(b.begin(), b.end());
}

struct HelperRun {
    int status = -1;
    std::vector<std::string> records;  // every distinct progress file content seen
    std::string log;
};

class HelperSession : public ::testing::Test {
protected:
    void SetUp() override {
        ::chmod(dir.path().c_str(), 0777);
        progress = (dir / "progress.json").string();
        control = (dir / "control").string();
        output = (dir / "out").string();
    }

    HelperRun runHelper(std::vector<std::string> args, const std::vector<std::string>& prefix = {},
                        const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv = prefix;
        argv.push_back(test::binPath("TessarineHelper"));
        argv.insert(argv.end(), args.begin(), args.end());
        HelperRun r;
        auto p = test::spawn(argv, "", env);
        r.records = test::pollFileUntilExit(p, progress, &r.status);
        r.log = slurp("/tmp/tessarine_debug.log");
        return r;
    }

    std::vector<std::string> standardArgs(const std::string& device) { return {device, output, progress, control}; }

    test::TempDir dir;
    std::string progress, control, output;
};

TEST(InvokingUser, SudoThenPkexecThenTheConsoleElseNobody) {
    const UserIds nobody{65534, 65533};
    const std::optional<std::uint32_t> console = 1003;
    const struct {
        const char* name;
        std::map<std::string, std::string> env;
        std::optional<std::uint32_t> console;
        std::uint32_t uid, gid;
        bool nobody;
        const char* line;
    } rows[] = {
        {"sudo", {{"SUDO_UID", "1001"}, {"SUDO_GID", "100"}, {"PKEXEC_UID", "1002"}}, console, 1001, 100, false,
         "📁 Using sudo user: uid=1001 gid=100"},
        {"pkexec, its primary group", {{"PKEXEC_UID", "1002"}}, console, 1002, 1500, false,
         "📁 Using pkexec user: uid=1002 gid=1500"},
        {"sudo without a group falls to pkexec", {{"SUDO_UID", "1001"}, {"PKEXEC_UID", "1002"}}, console, 1002, 1500,
         false, "📁 Using pkexec user: uid=1002 gid=1500"},
        {"pkexec user unknown to the system", {{"PKEXEC_UID", "4242"}}, console, 4242, 65533, false,
         "📁 Using pkexec user: uid=4242 gid=65533"},
        {"bad numbers", {{"SUDO_UID", "12abc"}, {"SUDO_GID", "1"}, {"PKEXEC_UID", "-5"}}, console, 1003, 1600, false,
         "📁 Using console owner: uid=1003 gid=1600"},
        {"no one at the console", {}, std::nullopt, 65534, 65533, true,
         "⚠️ No invoking user found: the card is parsed and decoded as nobody (uid=65534 gid=65533)"},
        {"root at the console", {}, 0u, 65534, 65533, true,
         "⚠️ Started by root: the card is parsed and decoded as nobody (uid=65534 gid=65533)"},
        {"sudo from root", {{"SUDO_UID", "0"}, {"SUDO_GID", "0"}}, console, 65534, 65533, true,
         "⚠️ Started by root: the card is parsed and decoded as nobody (uid=65534 gid=65533)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const InvokingUser u = findInvokingUser(
            [&](const char* name) {
                const auto it = row.env.find(name);
                return it == row.env.end() ? nullptr : it->second.c_str();
            },
            row.console,
            [](std::uint32_t uid) {
                return uid == 1002 ? std::optional<std::uint32_t>(1500)
                                   : uid == 1003 ? std::optional<std::uint32_t>(1600) : std::nullopt;
            },
            nobody);
        EXPECT_EQ(u.uid, row.uid);
        EXPECT_EQ(u.gid, row.gid);
        EXPECT_EQ(u.nobody, row.nobody);
        ASSERT_FALSE(u.lines.empty());
        EXPECT_EQ(u.lines.back(), row.line);
    }
}

TEST_F(HelperSession, WrongArgumentCountWritesNoRecord) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root for the fixed log path";
    auto r = runHelper({"/dev/null", output, progress});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.records.empty());
    EXPECT_NE(r.log.find("ERROR: Wrong argument count: 4 (need at least 5)"), std::string::npos) << r.log;
}

TEST_F(HelperSession, RefusesToRunWithoutRoot) {
    std::vector<std::string> prefix;
    if (::getuid() == 0) {
        if (!test::haveTool("setpriv")) GTEST_SKIP() << "setpriv missing";
        prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    auto r = runHelper(standardArgs("/dev/null"), prefix);
    EXPECT_EQ(r.status, 1);
    ASSERT_FALSE(r.records.empty());
    EXPECT_EQ(nlohmann::json::parse(r.records.back()),
              nlohmann::json::parse(R"({"bytesScanned":0,"filesFound":0,"currentOffset":0,"totalBytes":0,)"
                                    R"("phase":"Error","isComplete":true,"errorMessage":"Must run as root"})"));
}

TEST_F(HelperSession, DeviceChecks) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root";
    auto missing = runHelper(standardArgs("/nonexistent/disk9"));
    EXPECT_EQ(missing.status, 1);
    ASSERT_FALSE(missing.records.empty());
    auto rec = decodeProgress(missing.records.back());
    ASSERT_TRUE(rec);
    EXPECT_EQ(rec->errorMessage, "Device not found: /nonexistent/disk9 - No such file or directory");

    std::ofstream(dir / "plain.img") << "x";
    // Character devices that are no disk would be read forever (/dev/zero) or for nothing.
    for (const std::string& path : {(dir / "plain.img").string(), dir.path().string(), std::string("/dev/zero"),
                                    std::string("/dev/null")}) {
        auto r = runHelper(standardArgs(path));
        EXPECT_EQ(r.status, 1);
        ASSERT_FALSE(r.records.empty());
        rec = decodeProgress(r.records.back());
        ASSERT_TRUE(rec);
        EXPECT_EQ(rec->phase, "Error");
        EXPECT_EQ(rec->errorMessage, path + " is not a valid disk device");
        EXPECT_FALSE(fs::exists(output));
    }
}

TEST_F(HelperSession, FilterResumeAndOwnerOnALoopDevice) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root";
    const auto image = dir / "empty.img";
    std::ofstream(image).close();
    ASSERT_EQ(::truncate(image.c_str(), 1 << 20), 0);
    test::LoopDevice loop(image);
    if (!loop.ok()) GTEST_SKIP() << loop.why();
    auto r = runHelper({loop.device(), output, progress, control, "JPEG,,jpeg, PNG", "0", "+4096"}, {},
                       {"SUDO_UID=65534", "SUDO_GID=65534"});
    EXPECT_EQ(r.status, 0) << r.log;
    ASSERT_GE(r.records.size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(r.records.front()),
              nlohmann::json::parse(R"({"bytesScanned":0,"filesFound":0,"currentOffset":0,"totalBytes":0,)"
                                    R"("phase":"Unmounting disk…","isComplete":false})"));
    EXPECT_EQ(nlohmann::json::parse(r.records.back()),
              nlohmann::json::parse(R"({"bytesScanned":1048576,"filesFound":0,"currentOffset":0,"totalBytes":1048576,)"
                                    R"("phase":"Complete","isComplete":true})"));
    EXPECT_NE(r.log.find("📋 Format filter: JPEG\n"), std::string::npos);
    EXPECT_NE(r.log.find("Resume offset: 4096"), std::string::npos);
    EXPECT_NE(r.log.find("📁 Using sudo user: uid=65534 gid=65534"), std::string::npos);
    EXPECT_NE(r.log.find("=== Done ==="), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    // Bad places and offsets end the run at once, before the card is read.
    std::ofstream(dir / "a-file") << "x";
    const struct {
        std::string output, resume, error;
    } bad[] = {
        {(dir / "a-file").string(), "0", "Could not create the output folder " + (dir / "a-file").string()},
        {"", "0", "Could not create the output folder : no output folder was given"},
        {output, std::to_string((1 << 20) + 512), "The resume offset 1049088 lies past the card's end (1048576 bytes)"},
    };
    for (const auto& row : bad) {
        SCOPED_TRACE(row.error);
        auto e = runHelper({loop.device(), row.output, progress, control, "", "0", row.resume}, {},
                           {"SUDO_UID=65534", "SUDO_GID=65534"});
        EXPECT_EQ(e.status, 1) << e.log;
        ASSERT_FALSE(e.records.empty());
        const auto last = decodeProgress(e.records.back());
        ASSERT_TRUE(last);
        EXPECT_EQ(last->phase, "Error");
        EXPECT_EQ(last->errorMessage.value_or("").substr(0, row.error.size()), row.error);
        EXPECT_EQ(last->bytesScanned, 0u);
    }
}

TEST_F(HelperSession, StopInTheControlFileStillEndsComplete) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root";
    const auto image = dir / "empty.img";
    std::ofstream(image).close();
    ASSERT_EQ(::truncate(image.c_str(), 64 << 20), 0);
    test::LoopDevice loop(image);
    if (!loop.ok()) GTEST_SKIP() << loop.why();
    std::ofstream(control) << " stop\n";
    auto r = runHelper(standardArgs(loop.device()));
    EXPECT_EQ(r.status, 0) << r.log;
    ASSERT_GE(r.records.size(), 2u);
    auto last = decodeProgress(r.records.back());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->phase, "Complete");
    EXPECT_TRUE(last->isComplete);
    EXPECT_EQ(last->currentOffset, 0u);
    EXPECT_LT(last->bytesScanned, 64u << 20);
    EXPECT_FALSE(last->newFiles);
    EXPECT_NE(r.log.find("Stopped — Found 0 file(s)"), std::string::npos);
}

TEST_F(HelperSession, LoopDeviceOfAnEmptyImage) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root for loop devices";
    const auto image = dir / "empty.img";
    ASSERT_EQ(::truncate(image.c_str(), 0), -1);
    std::ofstream(image).close();
    ASSERT_EQ(::truncate(image.c_str(), 4 << 20), 0);
    auto attach = test::run("losetup --find --show --read-only '" + image.string() + "'");
    if (attach.status != 0) GTEST_SKIP() << "no loop device here: " << attach.output;
    const std::string loop = attach.output.substr(0, attach.output.find('\n'));
    auto r = runHelper(standardArgs(loop));
    test::run("losetup -d " + loop);
    EXPECT_EQ(r.status, 0) << r.log;
    auto last = decodeProgress(r.records.back());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->phase, "Complete");
    EXPECT_EQ(last->totalBytes, 4u << 20);
    EXPECT_EQ(last->bytesScanned, 4u << 20);
    EXPECT_NE(r.log.find("✅ Device validated: " + loop + " (type: block)"), std::string::npos);
}

}  // namespace
}  // namespace vf
