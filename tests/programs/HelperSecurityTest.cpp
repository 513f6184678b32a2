// The root scanner as the application starts it, its run files in a sticky 1777
// folder as /tmp is and its output deep in the user's home: whom it works for,
// runs that cannot scan, and what another user of the machine (or a broken run)
// may have planted where it reads or writes. It must touch nothing outside its
// own files, never hang, and keep what it can.

#include "common/Records.h"
#include "helper/Session.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Synthetic.h"

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
    const std::string asNobody = "the card is parsed and decoded as nobody (uid=65534 gid=65533)";
    const std::map<std::uint32_t, std::uint32_t> groups = {{1002, 1500}, {1003, 1600}};  // 4242 is unknown
    const struct {
        std::map<std::string, std::string> env;
        std::string line;  // the last line said, which names the ids chosen
        std::optional<std::uint32_t> console = 1003;
    } rows[] = {
        {{{"SUDO_UID", "1001"}, {"SUDO_GID", "100"}, {"PKEXEC_UID", "1002"}}, "📁 Using sudo user: uid=1001 gid=100"},
        {{{"PKEXEC_UID", "1002"}}, "📁 Using pkexec user: uid=1002 gid=1500"},
        {{{"SUDO_UID", "1001"}, {"PKEXEC_UID", "1002"}}, "📁 Using pkexec user: uid=1002 gid=1500"},
        {{{"PKEXEC_UID", "4242"}}, "📁 Using pkexec user: uid=4242 gid=65533"},
        {{{"SUDO_UID", "12abc"}, {"SUDO_GID", "1"}, {"PKEXEC_UID", "-5"}}, "📁 Using console owner: uid=1003 gid=1600"},
        {{}, "⚠️ No invoking user found: " + asNobody, std::nullopt},
        {{}, "⚠️ Started by root: " + asNobody, 0u},
        {{{"SUDO_UID", "0"}, {"SUDO_GID", "0"}}, "⚠️ Started by root: " + asNobody},
    };
    for (const auto& row : rows) {
        const InvokingUser u = findInvokingUser(
            [&](const char* name) { return row.env.count(name) ? row.env.at(name).c_str() : nullptr; }, row.console,
            [&](std::uint32_t uid) { return groups.count(uid) ? std::optional(groups.at(uid)) : std::nullopt; },
            UserIds{65534, 65533});
        EXPECT_EQ(u.lines.empty() ? "" : u.lines.back(), row.line);
        EXPECT_NE(row.line.find("uid=" + std::to_string(u.uid) + " gid=" + std::to_string(u.gid)), std::string::npos)
            << row.line;
    }
}

// Owner and mode, of a link itself.
std::pair<std::uint32_t, unsigned> ownerOf(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return {};
    return {st.st_uid, st.st_mode & 07777};
}

// Owner, mode and content of everything under `root`, to show any change.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const auto [uid, mode] = ownerOf(e.path());
        out[e.path().string()] = std::to_string(uid) + " " + std::to_string(mode) + " " +
                                 (e.is_regular_file() ? test::sha256(e.path()) : "");
    }
    return out;
}

const fs::path kDebugLog = "/tmp/tessarine_debug.log", kReport = "/tmp/tessarine_diag.txt";
constexpr std::uint64_t kCardBytes = 8 << 20;

// One row's run, the arguments made from its paths, and what its scan left.
struct Scan {
    fs::path dir, device, output, progress, control;  // no control file when empty: an argument short
    std::vector<std::string> env;
    std::uint32_t owner = 0;
    std::vector<std::string> more{}, prefix{}, said{};  // more: the arguments after the control file; said: logged
    std::int64_t files = 2;  // the last record's count; none where the scan is stopped at once
    std::string error{};  // a refused run's: its error record's, or where none can be written, the log's line
    bool record = true;   // the refused run writes an error record
    test::HelperRun r{};
};

// A card without a file system holding two photos on a read-only loop device, the
// invoking user and another user of the machine, and one run of the scanner for each
// row, in a run folder of its own. Refused runs end with status 1 before the card is
// read, with an error record the application can show, or with none where no one
// could follow the run. Plants that touch different paths share a row, so that the
// card is read fewer times.
TEST(HelperAsUser, RefusalsPlantsAndBrokenRunFilesLeadNowhere) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root";
    // Named after this process, so that runs side by side (the suite's, the mutant runner's) never share one.
    const std::string id = std::to_string(::getpid());
    std::optional<test::TestUser> user{"programs-u" + id}, attacker{"programs-o" + id};
    // useradd fails while another test holds the password file's lock: try again.
    for (int i = 0; i < 20 && !(user->ok() && attacker->ok()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        if (!user->ok()) user.emplace("programs-u" + id);
        if (!attacker->ok()) attacker.emplace("programs-o" + id);
    }
    if (!user->ok()) GTEST_SKIP() << user->why();
    if (!attacker->ok()) GTEST_SKIP() << attacker->why();
    const test::TempDir dir;
    const fs::path home = dir / "home", rootHome = dir / "root-home", victims = dir / "victims";
    auto image = test::randomBytes(kCardBytes, 7);
    std::multiset<std::string> sources;
    for (std::uint32_t k = 0; k < 2; ++k) {
        const auto jpeg = test::makeJpeg(200'000, 3 + k);
        test::place(image, (1 + 3 * k) << 20, jpeg);
        sources.insert(test::sha256(jpeg));
    }
    test::writeFile(dir / "card.img", image);
    const test::LoopDevice loop(dir / "card.img");
    if (!loop.ok()) GTEST_SKIP() << loop.why();
    ASSERT_EQ(::chmod(dir.path().c_str(), 01777), 0);
    fs::create_directories(home);
    ASSERT_EQ(::chown(home.c_str(), user->uid(), user->gid()), 0);
    fs::create_directories(rootHome);
    ASSERT_EQ(::chmod(rootHome.c_str(), 0700), 0);
    // Files of root's and of the user's that links may be planted to.
    fs::create_directories(victims / "folder");
    ::chmod((victims / "folder").c_str(), 0700);
    for (const char* v : {"log", "progress", "photo", "users"}) std::ofstream(victims / v) << "precious " << v;
    ASSERT_EQ(::chown((victims / "users").c_str(), user->uid(), user->gid()), 0);
    auto plantAs = [&](const fs::path& p) { ASSERT_EQ(::lchown(p.c_str(), attacker->uid(), attacker->gid()), 0) << p; };
    // The scanner run in a private mount where the login manager's seat file says who is at the screen.
    auto seat = [](Scan& p, const std::string& state) {
        p.prefix = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                    "mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/seats && printf '" + state +
                        "' > /run/systemd/seats/seat0 && exec env -u SUDO_UID -u SUDO_GID -u PKEXEC_UID \"$0\" \"$@\""};
    };
    const std::uint32_t nobodyUid = ::getpwnam("nobody") ? ::getpwnam("nobody")->pw_uid : 65534;
    // Another user's links at an output folder and at its parent, into a folder of root's;
    // a progress file that root may write and the user may not, and a folder in the place of one.
    const fs::path file = victims / "photo", sharedOut = dir / "shared-out", linkedParent = dir / "atk/run";
    const fs::path rootOnly = victims / "progress.json", asDir = dir / "progress-dir";
    fs::create_directory_symlink(victims / "folder", sharedOut);
    fs::create_directory_symlink(victims / "folder", dir / "atk");
    for (const char* planted : {"shared-out", "atk"}) plantAs(dir / planted);
    fs::create_directory(asDir);
    ::chmod(asDir.c_str(), 0777);
    struct Row {
        std::string name;
        int status;
        std::function<void(Scan&)> plant;
        std::function<void(const Scan&)> check = nullptr;
    };
    auto refused = [](fs::path Scan::*arg, const fs::path& value, const std::string& error, bool record = true) {
        return Row{error, 1, [=](Scan& p) {
                       p.*arg = value;
                       p.error = error;
                       p.record = record;
                   }};
    };
    const std::string unwritable = "❌ Cannot write the progress file ";
    const Row rows[] = {
        refused(&Scan::control, "", "ERROR: Wrong argument count: 4 (need at least 5)", false),
        {"run by the user", 1,
         [&](Scan& p) {
             p.prefix = {"/usr/bin/setpriv", "--reuid=" + std::to_string(user->uid()),
                         "--regid=" + std::to_string(user->gid()), "--clear-groups"};
             p.error = "Must run as root";
         }},
        refused(&Scan::device, "/nonexistent/disk9", "Device not found: /nonexistent/disk9 - No such file or directory"),
        // Character devices that are no disk would be read forever (/dev/zero) or for nothing.
        refused(&Scan::device, file, file.string() + " is not a valid disk device"),
        refused(&Scan::device, "/dev/zero", "/dev/zero is not a valid disk device"),
        refused(&Scan::output, file, "Could not create the output folder " + file.string()),
        refused(&Scan::output, "", "Could not create the output folder : no output folder was given"),
        refused(&Scan::output, sharedOut, "Could not create the output folder " + sharedOut.string() + ": not a folder"),
        refused(&Scan::output, linkedParent, "Could not create the output folder " + linkedParent.string()),
        {"a resume offset past the card's end", 1,
         [](Scan& p) {
             p.more = {"", "0", std::to_string(kCardBytes + 512)};
             p.error = "The resume offset 8389120 lies past the card's end (8388608 bytes)";
         }},
        refused(&Scan::progress, rootOnly, unwritable + rootOnly.string(), false),
        refused(&Scan::progress, asDir, unwritable + asDir.string(), false),
        {"the application's format filter and resume point; a folder at the control file, another's old log", 0,
         [&](Scan& p) {
             fs::create_directory(p.control);
             std::ofstream(kDebugLog) << "another user's run";  // replaced by the user's own
             plantAs(kDebugLog);
             p.more = {"JPEG,,jpeg, PNG", "0", "+4096"};
             p.said = {"✅ Device validated: " + loop.device() + " (type: block)", "📋 Format filter: JPEG\n",
                       "Resume offset: 4096", "=== Done ==="};
         },
         [&](const Scan& p) {
             for (const fs::path& f : {p.progress, home / ".cache", home / ".cache/Tessarine"})
                 EXPECT_EQ(ownerOf(f).first, user->uid()) << f;
             for (const fs::path& f : {p.output, kDebugLog, kReport})
                 EXPECT_EQ(ownerOf(f), std::pair(user->uid(), f == p.output ? 0755u : 0600u)) << f;
             ASSERT_FALSE(p.r.records.empty());
             EXPECT_EQ(nlohmann::json::parse(p.r.records.front()),
                       nlohmann::json::parse(R"({"bytesScanned":0,"filesFound":0,"currentOffset":0,"totalBytes":0,)"
                                             R"("phase":"Unmounting disk…","isComplete":false})"));
         }},
        {"root's links at a predicted photo name, the progress file and the debug log; another user's stop, report", 0,
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
             EXPECT_TRUE(fs::is_symlink(p.output / "file_0000.jpeg") && fs::is_symlink(kDebugLog));
             EXPECT_EQ(test::readText(kReport), "someone else's");
             EXPECT_NE(test::readText(p.dir / "tessarine_diag.txt").find("--- Summary ---"), std::string::npos);
             EXPECT_EQ(ownerOf(p.dir / "tessarine_diag.txt"), std::pair(user->uid(), 0600u));
         }},
        {"the user's own stop, as an editor leaves it; a hard link at the debug log to a file of the user's", 0,
         [&](Scan& p) {
             ASSERT_EQ(::link((victims / "users").c_str(), kDebugLog.c_str()), 0);
             std::ofstream(p.control) << " stop\n";
             ASSERT_EQ(::chown(p.control.c_str(), user->uid(), user->gid()), 0);
             p.files = 0;
             p.said = {"Stopped — Found 0 file(s)"};
         }},
        // The scanner must not make the application's folder again. The first record
        // comes before the scanner settles after unmounting.
        {"the progress file's folder removed after the first record", 1,
         [&](Scan& p) {
             fs::create_directory(p.dir / "sub");
             ::chmod((p.dir / "sub").c_str(), 0777);
             p.progress = p.dir / "sub" / "progress.json";
             const std::string first = "for i in $(seq 2000); do [ -e " + test::shellQuoted(p.progress) + " ] && break; "
                                       "sleep 0.001; done; rm -r " + test::shellQuoted(p.dir / "sub");
             p.prefix = {"/bin/sh", "-c", "(" + first + ") & exec \"$0\" \"$@\""};
             p.error = unwritable + p.progress.string();
             p.record = false;
         }},
        // Started without a user to work for (root's own shell, or the application run
        // as root), the scanner parses the card as nobody, in root's home too; the user
        // at the screen, as the login manager names them, comes before.
        {"root's own shell, no one at the seat; a 1 GiB control file that begins with stop", 0,
         [&](Scan& p) {
             seat(p, "");
             std::ofstream(p.control) << "stop\n";
             ASSERT_EQ(::truncate(p.control.c_str(), 1ll << 30), 0);
             p.output = rootHome / ".cache/Tessarine/run";
             p.owner = nobodyUid;
             p.said = {"⚠️ No invoking user found: the card is parsed and decoded as nobody"};
         },
         [&](const Scan&) { EXPECT_EQ(ownerOf(rootHome / ".cache").first, 0u) << "root's home stays root's"; }},
        // No word can be read from these control files, so the scan runs to its end.
        {"the user at the seat; another user's FIFO at the debug log, garbage progress, an unwritten FIFO control", 0,
         [&](Scan& p) {
             seat(p, "ACTIVE=c2\\nACTIVE_UID=" + std::to_string(user->uid()) + "\\n");
             p.said = {"📁 Using console owner: uid=" + std::to_string(user->uid())};
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
    };
    const auto before = snapshot(victims);
    for (std::size_t n = 0; n < std::size(rows); ++n) {
        const Row& row = rows[n];
        SCOPED_TRACE(row.name);
        const fs::path run = dir / ("run" + std::to_string(n));
        fs::create_directory(run);
        ::chmod(run.c_str(), 01777);
        const fs::path output = home / ".cache/Tessarine" / ("run-" + std::to_string(n));
        Scan p{run, loop.device(), output, run / "progress.json", run / "control", user->sudoEnvironment(), user->uid()};
        for (const fs::path& fixed : {kDebugLog, kReport}) fs::remove(fixed);
        row.plant(p);
        std::vector<std::string> args = {p.device, p.output, p.progress};
        if (!p.control.empty()) args.push_back(p.control);
        args.insert(args.end(), p.more.begin(), p.more.end());
        // One that hangs ends well before any outer limit, so that the loop device is always detached.
        p.r = test::runHelper(args, p.progress, p.env, p.prefix, 60);
        EXPECT_EQ(p.r.status, row.status) << p.r.log;
        EXPECT_EQ(snapshot(victims), before) << "a file outside the scanner's own was changed";
        const auto last = decodeProgress(p.r.records.empty() ? "" : p.r.records.back()).value_or(ProgressInfo{});
        if (row.status == 0) {
            EXPECT_EQ(last.phase, "Complete") << p.r.log;
            EXPECT_EQ(last.filesFound, p.files);
            EXPECT_NE(p.r.log.find("✅ Running as uid=" + std::to_string(p.owner)), std::string::npos) << p.r.log;
            EXPECT_EQ(last.bytesScanned < kCardBytes, p.files == 0) << last.bytesScanned << " bytes scanned";
            EXPECT_TRUE(p.files == 0 || test::hashValues(test::recoveredHashes(p.output)) == sources) << "not all back";
            for (const auto& e : fs::directory_iterator(p.output))
                EXPECT_TRUE(e.is_symlink() || (e.is_regular_file() && ownerOf(e.path()) == std::pair(p.owner, 0644u)))
                    << e.path() << " is not a file of the user's, mode 0644";
        } else {
            EXPECT_EQ(p.r.log.find("Progress: Starting scan"), std::string::npos) << "the card was read";
            if (p.record) {
                EXPECT_TRUE(last.phase == "Error" && last.isComplete && last.bytesScanned == 0) << p.r.log;
                EXPECT_EQ(last.errorMessage.value_or("").substr(0, p.error.size()), p.error);
                // A resume past the end is seen once the folder is made.
                EXPECT_TRUE(!p.more.empty() || !fs::exists(output)) << "a folder made for a refused run";
            } else {
                EXPECT_FALSE(fs::is_regular_file(p.progress)) << "a record no one could follow";
                EXPECT_NE(p.r.log.find(p.error), std::string::npos) << p.r.log;
            }
        }
        for (const std::string& line : p.said)
            EXPECT_NE(p.r.log.find(line), std::string::npos) << line << " not in\n" << p.r.log;
        if (row.check) row.check(p);
    }
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
        EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << "left: " << e.path();
    for (const fs::path& fixed : {kDebugLog, kReport}) fs::remove(fixed);  // shared with every other run
}

}  // namespace
}  // namespace vf
