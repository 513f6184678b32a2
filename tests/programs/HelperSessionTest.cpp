// The real TessarineHelper's arguments, devices and control word, and whom it works for.

#include "common/Records.h"
#include "helper/Session.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;

TEST(InvokingUser, SudoThenPkexecThenTheConsoleElseNobody) {
    const std::optional<std::uint32_t> console = 1003;
    const struct {
        const char* name;
        std::map<std::string, std::string> env;
        std::optional<std::uint32_t> console;
        const char* line;  // the last line said, which names the ids chosen
    } rows[] = {
        {"sudo", {{"SUDO_UID", "1001"}, {"SUDO_GID", "100"}, {"PKEXEC_UID", "1002"}}, console,
         "📁 Using sudo user: uid=1001 gid=100"},
        {"pkexec, its primary group", {{"PKEXEC_UID", "1002"}}, console, "📁 Using pkexec user: uid=1002 gid=1500"},
        {"sudo without a group falls to pkexec", {{"SUDO_UID", "1001"}, {"PKEXEC_UID", "1002"}}, console,
         "📁 Using pkexec user: uid=1002 gid=1500"},
        {"pkexec user unknown to the system", {{"PKEXEC_UID", "4242"}}, console,
         "📁 Using pkexec user: uid=4242 gid=65533"},
        {"bad numbers", {{"SUDO_UID", "12abc"}, {"SUDO_GID", "1"}, {"PKEXEC_UID", "-5"}}, console,
         "📁 Using console owner: uid=1003 gid=1600"},
        {"no one at the console", {}, std::nullopt,
         "⚠️ No invoking user found: the card is parsed and decoded as nobody (uid=65534 gid=65533)"},
        {"root at the console", {}, 0u,
         "⚠️ Started by root: the card is parsed and decoded as nobody (uid=65534 gid=65533)"},
        {"sudo from root", {{"SUDO_UID", "0"}, {"SUDO_GID", "0"}}, console,
         "⚠️ Started by root: the card is parsed and decoded as nobody (uid=65534 gid=65533)"},
    };
    for (const auto& row : rows) {
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
            UserIds{65534, 65533});
        const std::string ids = "uid=" + std::to_string(u.uid) + " gid=" + std::to_string(u.gid);
        ASSERT_FALSE(u.lines.empty()) << row.name;
        EXPECT_EQ(u.lines.back(), row.line) << row.name;
        EXPECT_NE(u.lines.back().find(ids), std::string::npos) << row.name;
        EXPECT_EQ(u.nobody, u.uid == 65534) << row.name;
    }
}

// An empty 64 MiB card on a read-only loop device, the run files in a folder anyone may write.
class HelperSession : public ::testing::Test {
protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "needs root for loop devices and the fixed log path";
        ::chmod(dir.path().c_str(), 0777);
        std::ofstream(dir / "empty.img").close();
        ASSERT_EQ(::truncate((dir / "empty.img").c_str(), 64 << 20), 0);
        loop.emplace(dir / "empty.img");
        if (!loop->ok()) GTEST_SKIP() << loop->why();
    }
    // A scan of the empty card takes a few seconds: one that hangs ends well before any outer limit,
    // so that the loop device is always detached.
    test::HelperRun scan(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
        return test::runHelper(args, progress, {"SUDO_UID=65534", "SUDO_GID=65534"}, prefix, 30);
    }

    test::TempDir dir;
    std::optional<test::LoopDevice> loop;
    std::string progress = dir / "progress.json", control = dir / "control", output = dir / "out";
};

TEST_F(HelperSession, RunsThatCannotScanEndAtOnceSayingWhy) {
    std::ofstream(dir / "a-file") << "x";
    const std::string file = dir / "a-file", device = loop->device();
    const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    const struct {
        std::vector<std::string> args, prefix;
        std::string error;  // the last record's; empty: no record, the log says it
    } rows[] = {
        {{"/dev/null", output, progress}, {}, ""},
        {{device, output, progress, control}, asNobody, "Must run as root"},
        {{"/nonexistent/disk9", output, progress, control}, {},
         "Device not found: /nonexistent/disk9 - No such file or directory"},
        // Character devices that are no disk would be read forever (/dev/zero) or for nothing.
        {{file, output, progress, control}, {}, file + " is not a valid disk device"},
        {{dir.path(), output, progress, control}, {}, dir.path().string() + " is not a valid disk device"},
        {{"/dev/zero", output, progress, control}, {}, "/dev/zero is not a valid disk device"},
        {{"/dev/null", output, progress, control}, {}, "/dev/null is not a valid disk device"},
        {{device, file, progress, control}, {}, "Could not create the output folder " + file},
        {{device, "", progress, control}, {}, "Could not create the output folder : no output folder was given"},
        {{device, output, progress, control, "", "0", std::to_string((64 << 20) + 512)}, {},
         "The resume offset 67109376 lies past the card's end (67108864 bytes)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args[1] + (row.error.empty() ? "" : ": " + row.error));
        fs::remove(progress);
        fs::remove_all(output);
        const auto r = scan(row.args, row.prefix);
        EXPECT_EQ(r.status, 1) << r.log;
        if (row.args.size() < 7) {  // a resume past the end is seen once the folder is made
            EXPECT_FALSE(fs::exists(output)) << r.log;
        }
        if (row.error.empty()) {
            EXPECT_TRUE(r.records.empty());
            EXPECT_NE(r.log.find("ERROR: Wrong argument count: 4 (need at least 5)"), std::string::npos) << r.log;
            continue;
        }
        ASSERT_FALSE(r.records.empty()) << r.log;
        const auto last = decodeProgress(r.records.back());
        ASSERT_TRUE(last) << r.records.back();
        EXPECT_EQ(last->phase, "Error");
        EXPECT_TRUE(last->isComplete);
        EXPECT_EQ(last->bytesScanned, 0u);
        EXPECT_EQ(last->errorMessage.value_or("").substr(0, row.error.size()), row.error);
    }
}

TEST_F(HelperSession, FilterResumeOwnerAndStop) {
    const auto r = scan({loop->device(), output, progress, control, "JPEG,,jpeg, PNG", "0", "+4096"});
    EXPECT_EQ(r.status, 0) << r.log;
    ASSERT_GE(r.records.size(), 2u);
    EXPECT_EQ(nlohmann::json::parse(r.records.front()),
              nlohmann::json::parse(R"({"bytesScanned":0,"filesFound":0,"currentOffset":0,"totalBytes":0,)"
                                    R"("phase":"Unmounting disk…","isComplete":false})"));
    EXPECT_EQ(nlohmann::json::parse(r.records.back()),
              nlohmann::json::parse(R"({"bytesScanned":67108864,"filesFound":0,"currentOffset":0,)"
                                    R"("totalBytes":67108864,"phase":"Complete","isComplete":true})"));
    for (const std::string& line : {"✅ Device validated: " + loop->device() + " (type: block)",
                                   std::string("📋 Format filter: JPEG\n"), std::string("Resume offset: 4096"),
                                   std::string("📁 Using sudo user: uid=65534 gid=65534"), std::string("=== Done ===")})
        EXPECT_NE(r.log.find(line), std::string::npos) << line << " not in\n" << r.log;
    struct stat st {};
    ASSERT_EQ(::stat(output.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    // The word as an editor leaves it, spaces and newline around it.
    std::ofstream(control) << " stop\n";
    ::chown(control.c_str(), 65534, 65534);
    const auto stopped = scan({loop->device(), output, progress, control});
    EXPECT_EQ(stopped.status, 0) << stopped.log;
    const auto last = decodeProgress(stopped.records.back());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->phase, "Complete");
    EXPECT_TRUE(last->isComplete);
    EXPECT_EQ(last->currentOffset, 0u);
    EXPECT_LT(last->bytesScanned, 64u << 20);
    EXPECT_FALSE(last->newFiles);
    EXPECT_NE(stopped.log.find("Stopped — Found 0 file(s)"), std::string::npos) << stopped.log;
}

}  // namespace
}  // namespace vf
