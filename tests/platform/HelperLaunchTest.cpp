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

// Either launcher starts the stand-in in the background with every value intact, to hand
// its files to the right user: root's own scan works as nobody, whoever ran sudo; pkexec
// clears the environment and names the caller in PKEXEC_UID, and its refusals are cancellations.
TEST(HelperLaunch, LaunchersPassEveryValueIntactAndReturnAtOnce) {
    using Kind = LaunchOutcome::Kind;
    test::TempDir dir;
    fs::copy_file(test::sourcePath("platform/linux/tessarine-launch"), dir / "tessarine-launch");
    EXPECT_NE(test::run("env -i " + (dir / "tessarine-launch").string() + " /dev/sdz o p c").status, 0);
    // A stand-in scanner: it tells its standard output and lingers as the real one would, then
    // writes the user it is to hand its files to and the arguments it got, one per line.
    HelperInvocation inv = sample();
    inv.helperPath = (dir / "TessarineHelper").string();
    const std::string done = inv.helperPath + ".done";
    std::ofstream(inv.helperPath) << "#!/bin/sh\necho started\nsleep 0.5\n{ echo \"${SUDO_UID-}:${SUDO_GID-}\"; "
                                  << "printf '%s\\n' \"$@\"; } > \"$0.t\" && mv \"$0.t\" \"$0.done\"\n";
    fs::permissions(inv.helperPath, fs::perms::owner_all);
    inv.devicePath = "/dev/loop9; touch pwned";
    inv.outputDirectory = "$(touch pwned) `touch pwned` it's \"q\" \\ \n two lines";
    inv.formatFilter = "CR2,JPEG";
    std::string arguments;
    for (std::size_t i = 1; i < helperArguments(inv).size(); ++i) arguments += helperArguments(inv)[i] + "\n";
    const struct {
        const char* fakePkexec;  // "": the direct launcher
        Kind kind;
        std::string owner = "";  // and group, as the stand-in was given them
    } rows[] = {
        {"", Kind::launched, ":\n"},
        {"exec env -i PATH=/usr/bin:/bin PKEXEC_UID=65534 \"$@\"", Kind::launched,
         "65534:" + test::run("id -g 65534").output},
        {"echo 'Error executing command as another user: Request dismissed' >&2; exit 126", Kind::cancelled},
        {"echo 'Error executing command as another user: Not authorized' >&2; exit 127", Kind::cancelled},
        {"echo 'Cannot run program' >&2; exit 1", Kind::failed},
    };
    ::setenv("SUDO_UID", "4321", 1);
    for (const auto& row : rows) {
        SCOPED_TRACE(*row.fakePkexec ? row.fakePkexec : "direct");
        std::ofstream(dir / "pkexec") << "#!/bin/sh\n" << row.fakePkexec << "\n";
        fs::permissions(dir / "pkexec", fs::perms::owner_all);
        fs::remove(done);
        const LaunchLog log = openLaunchLog((dir / "launch.log").string(), dir.path().string());
        const auto launcher = *row.fakePkexec ? makePkexecLauncher((dir / "pkexec").string()) : makeDirectLauncher();
        const LaunchOutcome out = launcher->launch(inv, log);
        ::close(log.fd);
        EXPECT_EQ(out.kind, row.kind) << out.standardError << out.error;
        if (row.kind != Kind::launched) continue;
        EXPECT_FALSE(fs::exists(done));  // backgrounded: the launch did not wait for it
        for (int i = 0; i < 300 && !fs::exists(done); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(test::readText(done), row.owner + arguments);
        EXPECT_EQ(test::readText(dir / "launch.log"), "started\n");
    }
    ::unsetenv("SUDO_UID");
}

TEST(HelperLaunch, LaunchLogIsNeverOpenedThroughWhatSomeoneElsePlanted) {
    // Another local user, who may put anything at the fixed log path.
    const std::string name = "thumb-planter" + std::to_string(::getpid() % 100000);
    const test::TestUser other(name);
    if (!other.ok()) GTEST_SKIP() << other.why();
    // A sticky, world-writable folder, as /tmp is.
    test::TempDir dir;
    fs::permissions(dir.path(), fs::perms::all | fs::perms::sticky_bit);
    const fs::path log = dir / "tessarine_launch.log", mine = dir / ("tessarine-" + std::to_string(::geteuid())),
                   victim = dir / "victim";
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
        EXPECT_EQ(test::readText(opened.path), "ours");
        EXPECT_EQ(test::readText(victim), "precious");
    }
}

}  // namespace
}  // namespace vf
