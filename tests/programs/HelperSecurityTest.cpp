// The root scanner as the application starts it, its run files in a sticky 1777
// folder as /tmp is and its output deep in the user's home: whom it works for,
// runs that cannot scan, and what another user of the machine (or a broken run)
// may have planted where it reads or writes. It must touch nothing outside its
// own files, never hang, and keep what it can.

#include "common/Records.h"
#include "helper/Session.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
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

struct Owned {
    std::uint32_t uid = 0;
    unsigned mode = 0;
};
Owned ownerOf(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return {};
    return {st.st_uid, st.st_mode & 07777};
}

// Owner, mode and content of everything under `root`, to show any change.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const Owned o = ownerOf(e.path());
        out[e.path().string()] = std::to_string(o.uid) + " " + std::to_string(o.mode) + " " +
                                 (e.is_regular_file() ? test::sha256(e.path()) : "");
    }
    return out;
}

const fs::path kDebugLog = "/tmp/tessarine_debug.log", kReport = "/tmp/tessarine_diag.txt";
constexpr std::uint64_t kCardBytes = 8 << 20;

// One row's paths, and what its scan left.
struct Scan {
    fs::path dir, output, progress, control;
    std::vector<std::string> env, prefix, more, said;  // more: the arguments after the control file; said: in the log
    std::uint32_t owner = 0;
    test::HelperRun r;
    std::int64_t files = 2;  // the last record's count
    bool stopped = false;
};

// Ended with no record written, since no one could have followed the scan.
void expectUnwatched(const Scan& p) {
    EXPECT_NE(p.r.log.find("❌ Cannot write the progress file " + p.progress.string()), std::string::npos) << p.r.log;
    EXPECT_EQ(p.r.log.find("Progress: Starting scan"), std::string::npos) << "the card was read though no one could follow";
}

// A card without a file system holding two photos, on a read-only loop device;
// the invoking user and another user of the machine.
class HelperAsUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "needs root";
        // useradd fails while another test holds the password file's lock: try again.
        for (int i = 0; i < 20 && !(user->ok() && attacker->ok()); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            if (!user->ok()) user.emplace("programs-user");
            if (!attacker->ok()) attacker.emplace("programs-other");
        }
        if (!user->ok()) GTEST_SKIP() << user->why();
        if (!attacker->ok()) GTEST_SKIP() << attacker->why();
        auto image = test::randomBytes(kCardBytes, 7);
        for (std::uint32_t k = 0; k < 2; ++k) {
            const auto jpeg = test::makeJpeg(200'000, 3 + k);
            test::place(image, (1 + 3 * k) << 20, jpeg);
            sources.insert(test::sha256(jpeg));
        }
        test::writeFile(dir / "card.img", image);
        loop.emplace(dir / "card.img");
        if (!loop->ok()) GTEST_SKIP() << loop->why();
        ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
        fs::create_directories(home);
        ASSERT_EQ(::chown(home.c_str(), user->uid(), user->gid()), 0);
        fs::create_directories(rootHome);
        ASSERT_EQ(::chmod(rootHome.c_str(), 0700), 0);
        // Files of root's and of the user's that links may be planted to.
        fs::create_directories(victims / "folder");
        fs::create_directories(victims / "empty");
        ::chmod((victims / "folder").c_str(), 0700);
        for (const char* v : {"log", "progress", "photo", "precious", "users"}) std::ofstream(victims / v) << "precious " << v;
        ASSERT_EQ(::chown((victims / "users").c_str(), user->uid(), user->gid()), 0);
    }
    void TearDown() override {
        for (const fs::path& fixed : {kDebugLog, kReport}) fs::remove(fixed);
    }
    void plantAs(const fs::path& p) { ASSERT_EQ(::lchown(p.c_str(), attacker->uid(), attacker->gid()), 0) << p; }
    // The scanner run in a private mount where the login manager's seat file says who is at the screen.
    void seat(Scan& p, const std::string& state) {
        std::string command = "mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/seats";
        if (!state.empty()) command += " && printf '" + state + "' > /run/systemd/seats/seat0";
        command += " && exec env -u SUDO_UID -u SUDO_GID -u PKEXEC_UID \"$0\" \"$@\"";
        p.prefix = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", command};
        p.env.clear();
    }

    std::optional<test::TestUser> user{"programs-user"}, attacker{"programs-other"};
    test::TempDir dir;
    fs::path home = dir / "home", rootHome = dir / "root-home", victims = dir / "victims";
    std::multiset<std::string> sources;
    std::optional<test::LoopDevice> loop;
};

// Each ends with status 1 before reading the card: with an error record the
// application can show, or with none where no one could follow the run.
TEST_F(HelperAsUser, RunsThatCannotScanEndAtOnceSayingWhy) {
    std::ofstream(dir / "a-file") << "x";
    const std::string file = dir / "a-file", device = loop->device(), output = dir / "out", other = dir / "other";
    const std::string progress = dir / "progress.json", control = dir / "control", sharedOut = dir / "shared-out";
    const std::string linkedParent = dir / "atk/run", rootOnly = dir / "root-only/progress.json";
    const std::string asDir = dir / "progress-dir";
    const std::vector<std::string> asUser = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user->uid()),
                                             "--regid=" + std::to_string(user->gid()), "--clear-groups"};
    // Another user's link at an output folder, and one at its parent, into folders of root's;
    // progress files the user cannot write.
    fs::create_directory_symlink(victims / "folder", sharedOut);
    fs::create_directory_symlink(victims / "empty", dir / "atk");
    for (const char* planted : {"shared-out", "atk"}) plantAs(dir / planted);
    fs::create_directory(dir / "root-only");
    fs::create_directory(asDir);
    ::chmod(asDir.c_str(), 0777);
    const std::string unwritable = "❌ Cannot write the progress file ";
    const struct {
        std::vector<std::string> args, prefix;
        std::string error;  // the last record's, or with none written the line the log must hold
        bool record = true;
    } rows[] = {
        {{"/dev/null", output, progress}, {}, "ERROR: Wrong argument count: 4 (need at least 5)", false},
        {{device, output, progress, control}, asUser, "Must run as root"},
        {{"/nonexistent/disk9", output, progress, control}, {},
         "Device not found: /nonexistent/disk9 - No such file or directory"},
        // Character devices that are no disk would be read forever (/dev/zero) or for nothing.
        {{file, output, progress, control}, {}, file + " is not a valid disk device"},
        {{"/dev/zero", output, progress, control}, {}, "/dev/zero is not a valid disk device"},
        {{device, file, progress, control}, {}, "Could not create the output folder " + file},
        {{device, "", progress, control}, {}, "Could not create the output folder : no output folder was given"},
        {{device, sharedOut, progress, control}, {}, "Could not create the output folder " + sharedOut + ": not a folder"},
        {{device, linkedParent, progress, control}, {}, "Could not create the output folder " + linkedParent},
        {{device, output, progress, control, "", "0", std::to_string(kCardBytes + 512)}, {},
         "The resume offset 8389120 lies past the card's end (8388608 bytes)"},
        // Root may write there and the user may not; a folder in the place of the file.
        {{device, other, rootOnly, control}, {}, unwritable + rootOnly, false},
        {{device, other, asDir, control}, {}, unwritable + asDir, false},
    };
    const auto before = snapshot(victims);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args[1] + ": " + row.error);
        fs::remove(progress);
        fs::remove_all(output);
        fs::remove_all(other);
        // One that hangs ends well before any outer limit, so that the loop device is always detached.
        const auto r = test::runHelper(row.args, row.args[2], user->sudoEnvironment(), row.prefix, 30);
        EXPECT_EQ(r.status, 1) << r.log;
        EXPECT_EQ(snapshot(victims), before) << "a file outside the scanner's own was changed";
        if (row.args.size() < 7) {  // a resume past the end is seen once the folder is made
            EXPECT_FALSE(fs::exists(output)) << r.log;
        }
        EXPECT_EQ(r.log.find("Progress: Starting scan"), std::string::npos) << "the card was read";
        if (!row.record) {
            for (const auto& text : r.records) EXPECT_FALSE(decodeProgress(text)) << "a record no one could follow";
            EXPECT_NE(r.log.find(row.error), std::string::npos) << r.log;
            continue;
        }
        const auto last = decodeProgress(r.records.empty() ? "" : r.records.back());
        ASSERT_TRUE(last) << r.log;
        EXPECT_EQ(last->phase, "Error");
        EXPECT_TRUE(last->isComplete);
        EXPECT_EQ(last->bytesScanned, 0u);
        EXPECT_EQ(last->errorMessage.value_or("").substr(0, row.error.size()), row.error);
    }
    EXPECT_TRUE(fs::is_symlink(sharedOut) && fs::is_empty(asDir));
    EXPECT_FALSE(fs::exists(rootOnly)) << "root wrote a record for the user";
    for (const auto& e : fs::directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << "left: " << e.path();
}

// Plants that touch different paths share a row, so that the card is read fewer times.
TEST_F(HelperAsUser, PlantsAndBrokenRunFilesLeadNowhere) {
    const struct passwd* nobody = ::getpwnam("nobody");
    const std::uint32_t nobodyUid = nobody ? nobody->pw_uid : 65534;
    struct Row {
        const char* name;
        int status;
        std::function<void(Scan&)> plant;
        std::function<void(const Scan&)> check = nullptr;
        std::function<void(const Scan&)> during = nullptr;
    };
    const Row rows[] = {
        {"nothing planted; the application's format filter and resume point", 0,
         [&](Scan& p) {
             p.more = {"JPEG,,jpeg, PNG", "0", "+4096"};
             p.said = {"✅ Device validated: " + loop->device() + " (type: block)", "📋 Format filter: JPEG\n",
                       "Resume offset: 4096", "=== Done ==="};
         },
         [&](const Scan& p) {
             for (const fs::path& f : {p.progress, home / ".cache", home / ".cache/Tessarine", p.output})
                 EXPECT_EQ(ownerOf(f).uid, user->uid()) << f;
             EXPECT_EQ(ownerOf(p.output).mode, 0755u);
             for (const fs::path& fixed : {kDebugLog, kReport}) {
                 EXPECT_EQ(ownerOf(fixed).uid, user->uid()) << fixed;
                 EXPECT_EQ(ownerOf(fixed).mode, 0600u) << fixed;
             }
             ASSERT_FALSE(p.r.records.empty());
             EXPECT_EQ(nlohmann::json::parse(p.r.records.front()),
                       nlohmann::json::parse(R"({"bytesScanned":0,"filesFound":0,"currentOffset":0,"totalBytes":0,)"
                                             R"("phase":"Unmounting disk…","isComplete":false})"));
         }},
        {"links of root's at a predicted photo name, the progress file and the debug log; another user's stop "
         "in the control file and file at the report's fixed path",
         0,
         [&](Scan& p) {
             p.output = p.dir / "out";
             fs::create_directory(p.output);
             fs::create_symlink(victims / "photo", p.output / "file_0000.jpeg");
             p.files = 3;  // the name taken counts among the folder's files
             // In a folder without the sticky bit, so that the user may replace root's link.
             fs::create_directory(p.dir / "open");
             ::chmod((p.dir / "open").c_str(), 0777);
             p.progress = p.dir / "open" / "progress.json";
             fs::create_symlink(victims / "progress", p.progress);
             fs::create_symlink(victims / "log", kDebugLog);
             std::ofstream(p.control) << "stop";
             plantAs(p.control);
             std::ofstream(kReport) << "someone else's";
             plantAs(kReport);
             p.said = {"not logging to /tmp/tessarine_debug.log",
                       "⚠️ Ignoring " + p.control.string() + ": it belongs to another user",
                       "📋 Diagnostic written to " + (p.dir / "tessarine_diag.txt").string()};
         },
         [&](const Scan& p) {
             EXPECT_TRUE(fs::is_symlink(p.output / "file_0000.jpeg"));
             EXPECT_TRUE(fs::is_symlink(kDebugLog));
             const fs::path beside = p.dir / "tessarine_diag.txt";
             EXPECT_EQ(test::readText(kReport), "someone else's");
             EXPECT_NE(test::readText(beside).find("--- Summary ---"), std::string::npos);
             EXPECT_EQ(ownerOf(beside).uid, user->uid());
             EXPECT_EQ(ownerOf(beside).mode, 0600u);
         }},
        // No word can be read from these control files, so the scan runs to its end.
        {"another user's FIFO at the debug log, garbage at the progress file, a FIFO nobody writes at the control file",
         0,
         [&](Scan& p) {
             // Writable by all (past the umask), so that only a non-blocking open keeps the scanner from waiting.
             ASSERT_EQ(::mkfifo(kDebugLog.c_str(), 0666), 0);
             ASSERT_EQ(::chmod(kDebugLog.c_str(), 0666), 0);
             plantAs(kDebugLog);
             test::writeFile(p.progress, test::randomBytes(1 << 20, 42));
             ASSERT_EQ(::chown(p.progress.c_str(), user->uid(), user->gid()), 0);
             ASSERT_EQ(::mkfifo(p.control.c_str(), 0644), 0);
         },
         [](const Scan& p) {
             EXPECT_TRUE(fs::is_fifo(kDebugLog));
             for (std::size_t i = 1; i < p.r.records.size(); ++i) EXPECT_TRUE(decodeProgress(p.r.records[i])) << i;
         }},
        {"a hard link at the debug log to a file of the user's, a folder at the control file", 0,
         [&](Scan& p) {
             ASSERT_EQ(::link((victims / "users").c_str(), kDebugLog.c_str()), 0);
             fs::create_directory(p.control);
         }},
        {"the user's own stop, as an editor leaves it", 0,
         [&](Scan& p) {
             std::ofstream(p.control) << " stop\n";
             ASSERT_EQ(::chown(p.control.c_str(), user->uid(), user->gid()), 0);
             p.stopped = true;
             p.files = 0;
             p.said = {"Stopped — Found 0 file(s)"};
         }},
        {"the progress file's folder removed after the first record", 1,
         [](Scan& p) {
             fs::create_directory(p.dir / "sub");
             ::chmod((p.dir / "sub").c_str(), 0777);
             p.progress = p.dir / "sub" / "progress.json";
         },
         [](const Scan& p) {
             expectUnwatched(p);
             EXPECT_FALSE(fs::exists(p.dir / "sub")) << "the scanner must not make the application's folder again";
         },
         // The first record comes before the scanner settles after unmounting.
         [](const Scan& p) {
             for (int i = 0; i < 2000 && !fs::exists(p.progress); ++i)
                 std::this_thread::sleep_for(std::chrono::milliseconds(1));
             fs::remove_all(p.dir / "sub");
         }},
        // Started without a user to work for (root's own shell, or the application run
        // as root), the scanner parses the card as nobody, in root's home too; the user
        // at the screen, as the login manager names them, comes before.
        {"root's own shell, no one at the seat", 0,
         [&](Scan& p) {
             seat(p, "");
             p.output = rootHome / ".cache/Tessarine/run";
             p.owner = nobodyUid;
             p.said = {"⚠️ No invoking user found: the card is parsed and decoded as nobody"};
         },
         [&](const Scan&) {
             EXPECT_EQ(ownerOf(rootHome / ".cache").uid, 0u) << "root's home stays root's";
         }},
        {"root's own shell, the user at the seat; a 1 GiB control file that begins with stop", 0,
         [&](Scan& p) {
             seat(p, "ACTIVE=c2\\nACTIVE_UID=" + std::to_string(user->uid()) + "\\n");
             std::ofstream(p.control) << "stop\n";
             ASSERT_EQ(::truncate(p.control.c_str(), 1ll << 30), 0);
             p.said = {"📁 Using console owner: uid=" + std::to_string(user->uid())};
         }},
    };
    const auto before = snapshot(victims);
    for (std::size_t n = 0; n < std::size(rows); ++n) {
        const Row& row = rows[n];
        SCOPED_TRACE(row.name);
        const fs::path run = dir / ("run" + std::to_string(n));
        fs::create_directory(run);
        ::chmod(run.c_str(), 01777);
        Scan p{run, home / ".cache/Tessarine" / ("run-" + std::to_string(n)), run / "progress.json", run / "control",
               user->sudoEnvironment(), {}, {}, {}, user->uid(), {}};
        for (const fs::path& fixed : {kDebugLog, kReport}) fs::remove(fixed);
        row.plant(p);
        std::thread during;
        if (row.during) during = std::thread(row.during, std::cref(p));
        std::vector<std::string> args = {loop->device(), p.output, p.progress, p.control};
        args.insert(args.end(), p.more.begin(), p.more.end());
        p.r = test::runHelper(args, p.progress, p.env, p.prefix);
        if (during.joinable()) during.join();
        EXPECT_EQ(p.r.status, row.status) << p.r.log;
        EXPECT_EQ(snapshot(victims), before) << "a file outside the scanner's own was changed";
        if (row.status == 0) {
            const auto last = decodeProgress(p.r.records.empty() ? "" : p.r.records.back());
            EXPECT_EQ(last ? last->phase : "no record", "Complete") << p.r.log;
            EXPECT_EQ(last ? last->filesFound : 0, p.files);
            EXPECT_NE(p.r.log.find("✅ Running as uid=" + std::to_string(p.owner)), std::string::npos) << p.r.log;
            if (p.stopped) {
                EXPECT_LT(last ? last->bytesScanned : 0, kCardBytes);
            } else {
                EXPECT_EQ(last ? last->bytesScanned : 0, kCardBytes) << "the scan was stopped";
                EXPECT_EQ(test::hashValues(test::recoveredHashes(p.output)), sources);
            }
            for (const auto& e : fs::directory_iterator(p.output)) {
                if (e.is_symlink()) continue;
                EXPECT_TRUE(e.is_regular_file()) << e.path();
                EXPECT_EQ(ownerOf(e.path()).uid, p.owner) << e.path();
                EXPECT_EQ(ownerOf(e.path()).mode, 0644u) << e.path();
            }
        }
        for (const std::string& line : p.said)
            EXPECT_NE(p.r.log.find(line), std::string::npos) << line << " not in\n" << p.r.log;
        if (row.check) row.check(p);
    }
}

}  // namespace
}  // namespace vf
