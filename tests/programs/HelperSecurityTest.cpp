// Links and foreign files planted where the root scanner writes must never make
// it touch anything outside its own files.

#include "common/Records.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Process.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vf {
namespace {

namespace fs = std::filesystem;

struct Loop {
    std::string device;
    ~Loop() {
        if (!device.empty()) test::run("losetup -d " + device);
    }
};

TEST(HelperSecurity, PlantedLinksAndForeignFilesAreNeverFollowed) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root";
    test::TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    // A card without a file system holding two photos.
    auto image = test::randomBytes(8 << 20, 5);
    test::place(image, 1 << 20, test::makeJpeg(200'000, 1));
    test::place(image, 4 << 20, test::makeJpeg(200'000, 2));
    test::writeFile(dir / "card.img", image);
    Loop loop;
    auto attach = test::run("losetup --find --show --read-only '" + (dir / "card.img").string() + "'");
    if (attach.status != 0) GTEST_SKIP() << "no loop device here: " << attach.output;
    loop.device = attach.output.substr(0, attach.output.find('\n'));

    // Victims that belong to root and must stay as they are.
    const fs::path victims = dir / "victims";
    fs::create_directory(victims);
    for (const char* v : {"log", "diag", "progress", "photo", "owned"}) std::ofstream(victims / v) << "precious " << v;
    auto hashes = [&] {
        std::string all;
        for (const char* v : {"log", "diag", "progress", "photo", "owned"}) all += test::sha256(victims / v);
        return all;
    };
    const std::string before = hashes();

    const fs::path out = dir / "out";
    fs::create_directory(out);
    fs::create_symlink(victims / "photo", out / "file_0000.jpeg");  // a predicted name
    const fs::path progress = dir / "progress.json";
    fs::create_symlink(victims / "progress", progress);

    // The fixed paths in /tmp: a link at one, a file of another user at the other.
    const fs::path debugLog = "/tmp/tessarine_debug.log", diag = "/tmp/tessarine_diag.txt";
    fs::remove(debugLog);
    fs::remove(diag);
    fs::create_symlink(victims / "log", debugLog);
    std::ofstream(diag) << "someone else's";
    ASSERT_EQ(::chown(diag.c_str(), 65534, 65534), 0);

    auto p = test::spawn({test::binPath("TessarineHelper"), loop.device, out.string(), progress.string(),
                          (dir / "control").string()},
                         (dir / "stdout.txt").string(), {"SUDO_UID=65534", "SUDO_GID=65534"});
    const int status = test::waitFor(p);
    const auto b = test::readFile(dir / "stdout.txt");
    const std::string stdoutText(b.begin(), b.end());

    EXPECT_EQ(status, 0) << stdoutText;
    EXPECT_EQ(hashes(), before) << "a file outside the scanner's own was changed";
    EXPECT_TRUE(fs::is_symlink(debugLog));
    EXPECT_NE(stdoutText.find("not logging to /tmp/tessarine_debug.log"), std::string::npos) << stdoutText;
    struct stat st {};
    ASSERT_EQ(::stat(diag.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    // The planted name was left alone and the photos were saved as the user.
    EXPECT_TRUE(fs::is_symlink(out / "file_0000.jpeg"));
    std::size_t saved = 0;
    for (const auto& e : fs::directory_iterator(out)) {
        if (e.is_symlink() || e.path().filename().string()[0] == '.') continue;
        ASSERT_EQ(::lstat(e.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u) << e.path();
        EXPECT_EQ(st.st_mode & 0777, 0644u) << e.path();
        if (e.path().extension() == ".jpeg") ++saved;
    }
    EXPECT_EQ(saved, 2u);
    auto b2 = test::readFile(progress);
    auto last = decodeProgress(std::string(b2.begin(), b2.end()));
    ASSERT_TRUE(last);
    EXPECT_EQ(last->phase, "Complete");

    fs::remove(debugLog);
    fs::remove(diag);
}

struct Owned {
    std::uint32_t uid = 0;
    unsigned mode = 0;
};
Owned ownerOf(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return {};
    return {st.st_uid, st.st_mode & 07777};
}

// The application's own exchange: the run files in a sticky 1777 folder as /tmp
// is, the output folder deep in the user's home, the invoking user a real one.
class HelperAsUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "needs root";
        if (!user.ok()) GTEST_SKIP() << user.why();
        auto image = test::randomBytes(8 << 20, 7);
        test::place(image, 1 << 20, test::makeJpeg(200'000, 3));
        test::place(image, 4 << 20, test::makeJpeg(200'000, 4));
        test::writeFile(dir / "card.img", image);
        loop = std::make_unique<test::LoopDevice>(dir / "card.img");
        if (!loop->ok()) GTEST_SKIP() << loop->why();
        ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
        fs::create_directory(home);
        ASSERT_EQ(::chown(home.c_str(), user.uid(), user.gid()), 0);
        for (const char* fixed : {"/tmp/tessarine_debug.log", "/tmp/tessarine_diag.txt"}) fs::remove(fixed);
    }
    void TearDown() override {
        for (const char* fixed : {"/tmp/tessarine_debug.log", "/tmp/tessarine_diag.txt"}) fs::remove(fixed);
    }
    test::HelperRun scan(const fs::path& progress, const std::vector<std::string>& env) {
        return test::runHelper({loop->device(), out.string(), progress.string(), (dir / "control").string()},
                               progress.string(), env);
    }

    test::TestUser user{"security-inv"};
    test::TempDir dir;
    fs::path home = dir / "home", out = home / ".cache" / "Tessarine" / "run-1";
    std::unique_ptr<test::LoopDevice> loop;
};

TEST_F(HelperAsUser, EveryRecordAndFolderIsTheUsers) {
    const fs::path progress = dir / "progress.json";
    const auto r = scan(progress, user.sudoEnvironment());
    EXPECT_EQ(r.status, 0) << r.log;
    ASSERT_GE(r.records.size(), 3u) << "the records stopped at: " << (r.records.empty() ? "" : r.records.back());
    const auto last = decodeProgress(r.records.back());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->phase, "Complete");
    EXPECT_EQ(last->filesFound, 2);
    for (const fs::path& p : {progress, home / ".cache", home / ".cache" / "Tessarine", out})
        EXPECT_EQ(ownerOf(p).uid, user.uid()) << p;
    EXPECT_EQ(ownerOf(out).mode, 0755u);
    for (const char* fixed : {"/tmp/tessarine_debug.log", "/tmp/tessarine_diag.txt"}) {
        EXPECT_EQ(ownerOf(fixed).uid, user.uid()) << fixed;
        EXPECT_EQ(ownerOf(fixed).mode, 0600u) << fixed;
    }
}

TEST_F(HelperAsUser, AProgressFileTheUserCannotWriteEndsTheRun) {
    // Root could write here; the user, whom the scan becomes, cannot.
    const fs::path rootsOnly = dir / "root-only";
    fs::create_directory(rootsOnly);
    ASSERT_EQ(::chmod(rootsOnly.c_str(), 0755), 0);
    const auto r = scan(rootsOnly / "progress.json", user.sudoEnvironment());
    EXPECT_EQ(r.status, 1) << r.log;
    EXPECT_NE(r.log.find("❌ Cannot write the progress file " + (rootsOnly / "progress.json").string()),
              std::string::npos)
        << r.log;
    EXPECT_FALSE(fs::exists(rootsOnly / "progress.json")) << "root wrote a record for the user";
    EXPECT_EQ(r.log.find("Progress: Starting scan"), std::string::npos) << "the card was read though no one could follow";
}

// Started without a user to work for (root's own shell, or the application run
// as root), the scanner parses the card as nobody: the folder made in root's
// home and everything in it are nobody's. The user at the screen, as the login
// manager names them (a seat file of our own in a private mount), comes before.
TEST_F(HelperAsUser, RootsOwnScanParsesAsNobodyAndTheSeatsUserComesFirst) {
    const fs::path rootHome = dir / "root-home", rootOut = rootHome / ".cache" / "Tessarine" / "run-1";
    fs::create_directory(rootHome);
    ASSERT_EQ(::chmod(rootHome.c_str(), 0700), 0);
    const struct passwd* nobody = ::getpwnam("nobody");
    const std::uint32_t nobodyUid = nobody ? nobody->pw_uid : 65534;
    const struct {
        const char* name;
        std::string seat;  // the seat's state file; empty for none
        fs::path output;
        std::uint32_t owner;
        const char* line;
    } rows[] = {
        {"no one at the seat", "", rootOut, nobodyUid, "⚠️ No invoking user found: the card is parsed and decoded as nobody"},
        {"root at the seat", "ACTIVE=c1\nACTIVE_UID=0\n", rootOut, nobodyUid, "⚠️ Started by root"},
        {"a user at the seat", "ACTIVE=c2\nACTIVE_UID=" + std::to_string(user.uid()) + "\n", out, user.uid(),
         "📁 Using console owner: uid="},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path progress = dir / "progress.json";
        std::string command = "mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/seats";
        if (!row.seat.empty()) command += " && printf '" + row.seat + "' > /run/systemd/seats/seat0";
        command += " && exec env -u SUDO_UID -u SUDO_GID -u PKEXEC_UID \"$0\" \"$@\"";
        const test::Spawned p = test::spawn({"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", command,
                                             test::binPath("TessarineHelper"), loop->device(), row.output.string(),
                                             progress.string(), (dir / "control").string()});
        int status = -1;
        const auto records = test::pollFileUntilExit(p, progress.string(), &status);
        const std::string log = test::readText("/tmp/tessarine_debug.log");
        EXPECT_EQ(status, 0) << log;
        ASSERT_FALSE(records.empty()) << log;
        const auto last = decodeProgress(records.back());
        ASSERT_TRUE(last);
        EXPECT_EQ(last->filesFound, 2) << log;
        EXPECT_NE(log.find(row.line), std::string::npos) << log;
        EXPECT_NE(log.find("✅ Running as uid=" + std::to_string(row.owner)), std::string::npos) << log;
        for (const auto& e : fs::directory_iterator(row.output)) EXPECT_EQ(ownerOf(e.path()).uid, row.owner) << e.path();
        EXPECT_EQ(ownerOf(row.output).uid, row.owner);
        if (row.owner == nobodyUid) {
            EXPECT_EQ(ownerOf(rootHome / ".cache").uid, 0u);  // root's home stays root's
        }
        fs::remove_all(row.output);
        fs::remove(progress);
        test::removeReportOf(row.owner);
    }
}

// The helper's exit status, or -1 when it had to be killed after a minute.
int finishWithin(const test::Spawned& p, int seconds) {
    for (int i = 0; i < seconds * 100; ++i) {
        int status = 0;
        if (::waitpid(p.pid, &status, WNOHANG) == p.pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(p.pid, SIGKILL);
    ::waitpid(p.pid, nullptr, 0);
    return -1;
}

// Another user of the machine plants things where the root scanner reads or
// writes (links, FIFOs, hard links, files of their own); the scanner must not
// be led into changing anything else, must not hang, and keeps what it can.
TEST_F(HelperAsUser, AnotherUsersPlantsLeadNowhere) {
    test::TestUser attacker("security-atk");
    if (!attacker.ok()) GTEST_SKIP() << attacker.why();
    const fs::path victim = dir / "victim", progress = dir / "progress.json", control = dir / "control";
    auto plantAs = [&](const fs::path& p) { ASSERT_EQ(::lchown(p.c_str(), attacker.uid(), attacker.gid()), 0) << p; };
    struct Row {
        const char* name;
        fs::path output;
        std::function<void()> plant;
        int status;
        std::function<void(const std::string& log)> check;
    };
    const fs::path debugLog = "/tmp/tessarine_debug.log", fixedReport = "/tmp/tessarine_diag.txt";
    const Row rows[] = {
        {"a link at the output folder to a folder of root's",
         dir / "shared-out",
         [&] {
             fs::create_directory(victim);
             ::chmod(victim.c_str(), 0700);
             fs::create_directory_symlink(victim, dir / "shared-out");
             plantAs(dir / "shared-out");
         },
         1,
         [&](const std::string& log) {
             EXPECT_EQ(ownerOf(victim).mode, 0700u) << "root changed a mode through the link";
             EXPECT_EQ(ownerOf(victim).uid, 0u);
             EXPECT_NE(log.find("❌ Could not create output dir: not a folder"), std::string::npos) << log;
         }},
        {"a linked parent into a folder of root's",
         dir / "atk" / "run",
         [&] {
             fs::create_directory(victim);
             ::chmod(victim.c_str(), 0755);
             fs::create_directory_symlink(victim, dir / "atk");
             plantAs(dir / "atk");
         },
         1,
         [&](const std::string&) { EXPECT_TRUE(fs::is_empty(victim)) << "root made a folder through the link"; }},
        {"a FIFO at the debug log",
         out,
         [&] {
             ASSERT_EQ(::mkfifo(debugLog.c_str(), 0666), 0);
             plantAs(debugLog);
         },
         0,
         [&](const std::string&) { EXPECT_TRUE(fs::is_fifo(debugLog)); }},
        {"a hard link at the debug log to a file of root's",
         out,
         [&] {
             std::ofstream(victim) << "precious";
             ASSERT_EQ(::link(victim.c_str(), debugLog.c_str()), 0);
         },
         0,
         [&](const std::string&) { EXPECT_EQ(test::readText(victim), "precious"); }},
        {"a hard link at the debug log to a file of the user's",
         out,
         [&] {
             std::ofstream(victim) << "precious";
             ASSERT_EQ(::chown(victim.c_str(), user.uid(), user.gid()), 0);
             ASSERT_EQ(::link(victim.c_str(), debugLog.c_str()), 0);
         },
         0,
         [&](const std::string&) { EXPECT_EQ(test::readText(victim), "precious"); }},
        {"another user's stop and pause in the control file",
         out,
         [&] {
             std::ofstream(control) << "stop";
             plantAs(control);
         },
         0,
         [&](const std::string& log) {
             const auto last = decodeProgress(test::readText(progress));
             ASSERT_TRUE(last);
             EXPECT_EQ(last->bytesScanned, 8u << 20) << "a stranger stopped the scan";
             EXPECT_EQ(last->filesFound, 2);
             EXPECT_NE(log.find("⚠️ Ignoring " + control.string() + ": it belongs to another user"), std::string::npos)
                 << log;
         }},
        {"another user's file at the report's fixed path",
         out,
         [&] {
             std::ofstream(fixedReport) << "someone else's";
             plantAs(fixedReport);
         },
         0,
         [&](const std::string& log) {
             const fs::path beside = out.parent_path() / "tessarine_diag.txt";
             EXPECT_EQ(test::readText(fixedReport), "someone else's");
             EXPECT_NE(test::readText(beside).find("--- Summary ---"), std::string::npos);
             EXPECT_EQ(ownerOf(beside).uid, user.uid());
             EXPECT_EQ(ownerOf(beside).mode, 0600u);
             EXPECT_NE(log.find("📋 Diagnostic written to " + beside.string()), std::string::npos) << log;
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (const fs::path& p : {victim, dir / "shared-out", dir / "atk", control, progress, home / ".cache",
                                  debugLog, fixedReport, dir / "stdout.txt"})
            fs::remove_all(p);
        row.plant();
        const int status = finishWithin(
            test::spawn({test::binPath("TessarineHelper"), loop->device(), row.output.string(), progress.string(),
                         control.string()},
                        (dir / "stdout.txt").string(), user.sudoEnvironment()),
            60);
        std::string log = test::readText(dir / "stdout.txt");
        if (fs::is_regular_file(debugLog) && ownerOf(debugLog).uid == user.uid()) log += test::readText(debugLog);
        EXPECT_EQ(status, row.status) << log;
        row.check(log);
    }
    for (const fs::path& p : {victim, dir / "shared-out", dir / "atk", control, debugLog, fixedReport}) fs::remove_all(p);
}

}  // namespace
}  // namespace vf
