#include "platform/HelperLaunch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/TestSupport.h"

namespace vf {
namespace {

namespace fs = std::filesystem;

HelperInvocation sample() {
    HelperInvocation inv;
    inv.helperPath = "/Applications/Velliform.app/Contents/MacOS/TessarineHelper";
    inv.devicePath = "/dev/rdisk4";
    inv.outputDirectory = R"(/Users/o'neil/Library/Caches/Tessarine/say "cheese" \ now)";
    inv.progressFile = "/tmp/tesrine_A.json";
    inv.controlFile = "/tmp/tesrine_A.control";
    inv.formatFilter = "";
    inv.minFileSize = 1048576;
    inv.resumeOffset = 4096;
    return inv;
}

TEST(HelperLaunch, AppleScriptTextQuotesForTheShellThenEscapesForAppleScript) {
    EXPECT_EQ(appleScriptSource(sample(), "/tmp/tessarine_launch.log"),
              R"(do shell script "sudo '/Applications/Velliform.app/Contents/MacOS/TessarineHelper' '/dev/rdisk4' )"
              R"('/Users/o'\\''neil/Library/Caches/Tessarine/say \"cheese\" \\ now' '/tmp/tesrine_A.json' )"
              R"('/tmp/tesrine_A.control' '' '1048576' '4096' > /tmp/tessarine_launch.log 2>&1 &")"
              R"( with administrator privileges)");
}

// A stand-in scanner that writes the arguments it got, one per line, then does `rest`.
fs::path argumentRecorder(const test::TempDir& dir, const std::string& rest) {
    const fs::path script = dir / "TessarineHelper";
    std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n" << rest;
    fs::permissions(script, fs::perms::owner_all);
    return script;
}

std::string readAll(const fs::path& p) { return fs::exists(p) ? test::readText(p) : std::string(); }

void waitForFile(const fs::path& p) {
    for (int i = 0; i < 300 && !fs::exists(p); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(HelperLaunch, DirectLaunchPassesEveryValueIntactAndReturnsAtOnce) {
    test::TempDir dir;
    HelperInvocation inv = sample();
    // It tells its standard output, then lingers as the real one would.
    inv.helperPath = argumentRecorder(dir, "echo started\nsleep 1\necho done > \"$0.done\"\n").string();
    inv.devicePath = "/dev/loop9; touch pwned";
    inv.outputDirectory = "$(touch pwned) `touch pwned` it's \"q\" \\ \n two lines";
    inv.formatFilter = "CR2,JPEG";
    const LaunchLog log = openLaunchLog((dir / "launch.log").string(), dir.path().string());
    ASSERT_GE(log.fd, 0);
    const LaunchOutcome out = makeDirectLauncher()->launch(inv, log);
    ::close(log.fd);
    EXPECT_FALSE(fs::exists(inv.helperPath + ".done"));  // backgrounded: the launch did not wait for it
    EXPECT_EQ(out.kind, LaunchOutcome::Kind::launched) << out.standardError << out.error;
    waitForFile(inv.helperPath + ".done");
    std::string expected;
    for (std::size_t i = 1; i < helperArguments(inv).size(); ++i) expected += helperArguments(inv)[i] + "\n";
    EXPECT_EQ(readAll(inv.helperPath + ".args"), expected);
    EXPECT_EQ(readAll(dir / "launch.log"), "started\n");
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_FALSE(fs::exists(dir / "pwned"));
}

TEST(HelperLaunch, PkexecScriptNamesTheUserWhoAskedAndBackgroundsTheScanner) {
    if (!fs::exists(test::binPath("tessarine-launch"))) GTEST_SKIP() << "launch script not built";
    test::TempDir dir;
    fs::copy_file(test::binPath("tessarine-launch"), dir / "tessarine-launch");
    const fs::path helper = argumentRecorder(dir, "echo \"$SUDO_UID:$SUDO_GID\" > \"$0.owner\"\n");
    // pkexec clears the environment and names the caller in PKEXEC_UID.
    const std::string gid = test::run("id -g 65534").output;
    const auto r = test::run("env -i PATH=/usr/bin:/bin PKEXEC_UID=65534 " + (dir / "tessarine-launch").string() +
                             " /dev/sdz '/out/it'\\''s' /p /c '' 0 0");
    EXPECT_EQ(r.status, 0) << r.output;
    waitForFile(helper.string() + ".owner");
    EXPECT_EQ(readAll(helper.string() + ".owner"), "65534:" + gid);
    EXPECT_EQ(readAll(helper.string() + ".args"), "/dev/sdz\n/out/it's\n/p\n/c\n\n0\n0\n");
    // Run without pkexec it refuses.
    EXPECT_NE(test::run("env -i " + (dir / "tessarine-launch").string() + " /dev/sdz o p c").status, 0);

    // The launcher runs the script beside the scanner; pkexec's refusals are cancellations.
    struct Row {
        const char* fakePkexec;
        LaunchOutcome::Kind kind;
    };
    const Row rows[] = {
        {"PKEXEC_UID=65534 exec \"$@\"", LaunchOutcome::Kind::launched},
        {"echo 'Error executing command as another user: Request dismissed' >&2; exit 126",
         LaunchOutcome::Kind::cancelled},
        {"echo 'Error executing command as another user: Not authorized' >&2; exit 127",
         LaunchOutcome::Kind::cancelled},
        {"echo 'Cannot run program' >&2; exit 1", LaunchOutcome::Kind::failed},
    };
    HelperInvocation inv = sample();
    inv.helperPath = helper.string();
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fakePkexec);
        std::ofstream(dir / "pkexec") << "#!/bin/sh\n" << row.fakePkexec << "\n";
        fs::permissions(dir / "pkexec", fs::perms::owner_all);
        fs::remove(helper.string() + ".args");
        const LaunchLog log = openLaunchLog((dir / "launch.log").string(), dir.path().string());
        const LaunchOutcome out = makePkexecLauncher((dir / "pkexec").string())->launch(inv, log);
        ::close(log.fd);
        EXPECT_EQ(out.kind, row.kind) << out.standardError;
        if (row.kind == LaunchOutcome::Kind::launched) {
            waitForFile(helper.string() + ".args");
            EXPECT_EQ(readAll(helper.string() + ".args").substr(0, 12), "/dev/rdisk4\n");
        }
    }
}

TEST(HelperLaunch, LaunchLogIsNeverOpenedThroughWhatSomeoneElsePlanted) {
    // Another local user, who may put anything at the fixed log path.
    const std::string name = "app-planter" + std::to_string(::getpid() % 100000);
    const test::TestUser other(name);
    if (!other.ok()) GTEST_SKIP() << other.why();
    const auto as = [&](const std::string& command) {
        return test::run("su -s /bin/sh " + name + " -c '" + command + "'").status == 0;
    };
    // A sticky, world-writable folder, as /tmp is.
    test::TempDir dir;
    fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit);
    const fs::path log = dir / "tessarine_launch.log";
    const fs::path victim = dir / "victim";
    std::ofstream(victim) << "precious";
    ::chown(victim.c_str(), other.uid(), static_cast<gid_t>(-1));

    struct Row {
        const char* name;
        std::string plant;  // shell command run as the other user
    };
    const Row rows[] = {
        {"link to a file", "ln -s " + victim.string() + " " + log.string()},
        {"fifo", "mkfifo " + log.string()},
        {"their own file", "echo theirs > " + log.string()},
        {"hard link", "ln " + victim.string() + " " + log.string()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(log);
        fs::remove_all(dir / ("tessarine-" + std::to_string(::geteuid())));
        ASSERT_TRUE(as(row.plant));
        const LaunchLog opened = openLaunchLog(log.string(), dir.path().string());
        ASSERT_GE(opened.fd, 0);
        EXPECT_NE(opened.path, log.string());
        ASSERT_EQ(::write(opened.fd, "ours", 4), 4);
        ::close(opened.fd);
        struct stat st {};
        ASSERT_EQ(::stat(fs::path(opened.path).parent_path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        EXPECT_EQ(readAll(opened.path), "ours");
        EXPECT_EQ(readAll(victim), "precious");
    }
    // A private folder someone else made first is refused too.
    fs::remove(log);
    fs::remove_all(dir / ("tessarine-" + std::to_string(::geteuid())));
    ASSERT_TRUE(as("mkfifo " + log.string() + " && mkdir -m 700 " + dir.path().string() + "/tessarine-" +
                         std::to_string(::geteuid())));
    EXPECT_LT(openLaunchLog(log.string(), dir.path().string()).fd, 0);

    // Our own earlier log is simply reused, emptied.
    fs::remove(log);
    std::ofstream(log) << "old run";
    const LaunchLog mine = openLaunchLog(log.string(), dir.path().string());
    EXPECT_EQ(mine.path, log.string());
    ::close(mine.fd);
    EXPECT_EQ(readAll(log), "");
}

}  // namespace
}  // namespace vf
