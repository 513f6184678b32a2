#include "platform/HelperLaunch.h"

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
    return {"/Applications/Velliform.app/Contents/MacOS/TessarineHelper",
            "/dev/rdisk4",
            R"(/Users/o'neil/Library/Caches/Tessarine/say "cheese" \ now)",
            "/tmp/tesrine_A.json",
            "/tmp/tesrine_A.control",
            "",
            1048576,
            4096};
}

TEST(HelperLaunch, AppleScriptTextQuotesForTheShellThenEscapesForAppleScript) {
    EXPECT_EQ(appleScriptSource(sample(), "/tmp/tessarine_launch.log"),
              R"(do shell script "sudo '/Applications/Velliform.app/Contents/MacOS/TessarineHelper' '/dev/rdisk4' )"
              R"('/Users/o'\\''neil/Library/Caches/Tessarine/say \"cheese\" \\ now' '/tmp/tesrine_A.json' )"
              R"('/tmp/tesrine_A.control' '' '1048576' '4096' > /tmp/tessarine_launch.log 2>&1 &")"
              R"( with administrator privileges)");
}

// A stand-in scanner that writes the arguments it got, one per line, and the user it
// is to hand its files to, then does `rest`.
fs::path argumentRecorder(const test::TempDir& dir, const std::string& rest) {
    const fs::path script = dir / "TessarineHelper";
    std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$0.args\"\n"
                          << "echo \"${SUDO_UID-}:${SUDO_GID-}\" > \"$0.owner\"\n" << rest;
    fs::permissions(script, fs::perms::owner_all);
    return script;
}

std::string readAll(const fs::path& p) { return fs::exists(p) ? test::readText(p) : std::string(); }

// What the stand-in wrote, once it has, as "OWNER\nARGUMENTS".
std::string recorded(const fs::path& helper, const std::string& last = ".owner") {
    for (int i = 0; i < 300 && !fs::exists(helper.string() + last); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return readAll(helper.string() + ".owner") + readAll(helper.string() + ".args");
}

std::string expectedArguments(const HelperInvocation& inv) {
    std::string expected;
    for (std::size_t i = 1; i < helperArguments(inv).size(); ++i) expected += helperArguments(inv)[i] + "\n";
    return expected;
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
    ::setenv("SUDO_UID", "4321", 1);  // root's own scan works as nobody, whoever ran sudo
    const LaunchOutcome out = makeDirectLauncher()->launch(inv, log);
    ::unsetenv("SUDO_UID");
    ::close(log.fd);
    EXPECT_FALSE(fs::exists(inv.helperPath + ".done"));  // backgrounded: the launch did not wait for it
    EXPECT_EQ(out.kind, LaunchOutcome::Kind::launched) << out.standardError << out.error;
    EXPECT_EQ(recorded(inv.helperPath, ".done"), ":\n" + expectedArguments(inv));
    EXPECT_EQ(readAll(dir / "launch.log"), "started\n");
}

// The launcher runs the script beside the scanner through pkexec, which clears the
// environment and names the caller in PKEXEC_UID; its refusals are cancellations.
TEST(HelperLaunch, PkexecScriptNamesTheUserWhoAskedAndBackgroundsTheScanner) {
    test::TempDir dir;
    fs::copy_file(test::sourcePath("platform/linux/tessarine-launch"), dir / "tessarine-launch");
    HelperInvocation inv = sample();
    inv.helperPath = argumentRecorder(dir, "").string();
    EXPECT_NE(test::run("env -i " + (dir / "tessarine-launch").string() + " /dev/sdz o p c").status, 0);
    const struct {
        const char* fakePkexec;
        LaunchOutcome::Kind kind;
    } rows[] = {
        {"exec env -i PATH=/usr/bin:/bin PKEXEC_UID=65534 \"$@\"", LaunchOutcome::Kind::launched},
        {"echo 'Error executing command as another user: Request dismissed' >&2; exit 126",
         LaunchOutcome::Kind::cancelled},
        {"echo 'Error executing command as another user: Not authorized' >&2; exit 127",
         LaunchOutcome::Kind::cancelled},
        {"echo 'Cannot run program' >&2; exit 1", LaunchOutcome::Kind::failed},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fakePkexec);
        std::ofstream(dir / "pkexec") << "#!/bin/sh\n" << row.fakePkexec << "\n";
        fs::permissions(dir / "pkexec", fs::perms::owner_all);
        fs::remove(inv.helperPath + ".owner");
        const LaunchLog log = openLaunchLog((dir / "launch.log").string(), dir.path().string());
        const LaunchOutcome out = makePkexecLauncher((dir / "pkexec").string())->launch(inv, log);
        ::close(log.fd);
        EXPECT_EQ(out.kind, row.kind) << out.standardError;
        if (row.kind == LaunchOutcome::Kind::launched) {
            EXPECT_EQ(recorded(inv.helperPath), "65534:" + test::run("id -g 65534").output + expectedArguments(inv));
        }
    }
}

TEST(HelperLaunch, LaunchLogIsNeverOpenedThroughWhatSomeoneElsePlanted) {
    // Another local user, who may put anything at the fixed log path.
    const std::string name = "thumb-planter" + std::to_string(::getpid() % 100000);
    const test::TestUser other(name);
    if (!other.ok()) GTEST_SKIP() << other.why();
    // A sticky, world-writable folder, as /tmp is.
    test::TempDir dir;
    fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit);
    const fs::path log = dir / "tessarine_launch.log", mine = dir / ("tessarine-" + std::to_string(::geteuid()));
    const fs::path victim = dir / "victim";
    std::ofstream(victim) << "precious";
    ::chown(victim.c_str(), other.uid(), static_cast<gid_t>(-1));

    const struct {
        const char* name;
        std::string plant;  // shell command run as the other user
        const char* outcome;
    } rows[] = {
        {"link to a file", "ln -s " + victim.string() + " " + log.string(), "elsewhere"},
        {"fifo", "mkfifo " + log.string(), "elsewhere"},
        {"their own file", "echo theirs > " + log.string(), "elsewhere"},
        {"hard link", "ln " + victim.string() + " " + log.string(), "elsewhere"},
        {"their private folder first", "mkfifo " + log.string() + " && mkdir -m 700 " + mine.string(), "refused"},
        {"our own earlier log", "", "reused, emptied"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(log);
        fs::remove_all(mine);
        if (row.plant.empty()) std::ofstream(log) << "old run";
        ASSERT_TRUE(row.plant.empty() ||
                    test::run("su -s /bin/sh " + name + " -c " + test::shellQuoted(row.plant)).status == 0);
        const LaunchLog opened = openLaunchLog(log.string(), dir.path().string());
        const bool reused = opened.path == log.string();
        EXPECT_STREQ(opened.fd < 0 ? "refused" : reused ? "reused, emptied" : "elsewhere", row.outcome);
        if (opened.fd < 0) continue;
        ASSERT_EQ(::write(opened.fd, "ours", 4), 4);
        ::close(opened.fd);
        struct stat st {};
        EXPECT_TRUE(reused ||
                    (::stat(fs::path(opened.path).parent_path().c_str(), &st) == 0 && (st.st_mode & 0777) == 0700))
            << "a private folder of our own";
        EXPECT_EQ(readAll(opened.path), "ours");
        EXPECT_EQ(readAll(victim), "precious");
    }
}

}  // namespace
}  // namespace vf
