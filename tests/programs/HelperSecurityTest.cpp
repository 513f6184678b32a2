// The root scanner as the application starts it, its run files in a sticky 1777
// folder as /tmp is and its output deep in the user's home, after another user
// of the machine (or a broken run) has planted something where it reads or
// writes: it must touch nothing outside its own files, never hang, and keep
// what it can.

#include "common/Records.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

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

// One row's paths, and what its scan left.
struct Scan {
    fs::path dir, output, progress, control;
    std::vector<std::string> env, prefix;
    std::uint32_t owner = 0;
    test::HelperRun r;
    std::int64_t files = 2;  // the last record's count
};

// Ended with no record written, since no one could have followed the scan.
void expectUnwatched(const Scan& p) {
    EXPECT_NE(p.r.log.find("❌ Cannot write the progress file " + p.progress.string()), std::string::npos) << p.r.log;
    EXPECT_EQ(p.r.log.find("Progress: Starting scan"), std::string::npos) << "the card was read though no one could follow";
}

class HelperAsUser : public ::testing::Test {
protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "needs root";
        if (!user.ok()) GTEST_SKIP() << user.why();
        if (!attacker.ok()) GTEST_SKIP() << attacker.why();
        // A card without a file system holding two photos.
        auto image = test::randomBytes(8 << 20, 7);
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
        ASSERT_EQ(::chown(home.c_str(), user.uid(), user.gid()), 0);
        fs::create_directories(rootHome);
        ASSERT_EQ(::chmod(rootHome.c_str(), 0700), 0);
        // Files of root's and of the user's that links may be planted to.
        fs::create_directories(victims / "folder");
        fs::create_directories(victims / "empty");
        ::chmod((victims / "folder").c_str(), 0700);
        for (const char* v : {"log", "progress", "photo", "precious", "users"}) std::ofstream(victims / v) << "precious " << v;
        ASSERT_EQ(::chown((victims / "users").c_str(), user.uid(), user.gid()), 0);
    }
    void TearDown() override {
        for (const fs::path& fixed : {kDebugLog, kReport}) fs::remove(fixed);
    }
    void plantAs(const fs::path& p) { ASSERT_EQ(::lchown(p.c_str(), attacker.uid(), attacker.gid()), 0) << p; }
    // The scanner run in a private mount where the login manager's seat file says who is at the screen.
    void seat(Scan& p, const std::string& state) {
        std::string command = "mount -t tmpfs tmpfs /run/systemd && mkdir /run/systemd/seats";
        if (!state.empty()) command += " && printf '" + state + "' > /run/systemd/seats/seat0";
        command += " && exec env -u SUDO_UID -u SUDO_GID -u PKEXEC_UID \"$0\" \"$@\"";
        p.prefix = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c", command};
        p.env.clear();
    }

    test::TestUser user{"programs-inv"}, attacker{"programs-atk"};
    test::TempDir dir;
    fs::path home = dir / "home", rootHome = dir / "root-home", victims = dir / "victims";
    std::multiset<std::string> sources;
    std::optional<test::LoopDevice> loop;
};

TEST_F(HelperAsUser, PlantsAndBrokenRunFilesLeadNowhere) {
    const struct passwd* nobody = ::getpwnam("nobody");
    const std::uint32_t nobodyUid = nobody ? nobody->pw_uid : 65534;
    struct Row {
        const char* name;
        int status;
        std::function<void(Scan&)> plant;
        std::function<void(const Scan&)> check;
        std::function<void(const Scan&)> during = nullptr;
    };
    const Row rows[] = {
        {"nothing planted", 0, [](Scan&) {},
         [&](const Scan& p) {
             for (const fs::path& f : {p.progress, home / ".cache", home / ".cache/Tessarine", p.output})
                 EXPECT_EQ(ownerOf(f).uid, user.uid()) << f;
             EXPECT_EQ(ownerOf(p.output).mode, 0755u);
             for (const fs::path& fixed : {kDebugLog, kReport}) {
                 EXPECT_EQ(ownerOf(fixed).uid, user.uid()) << fixed;
                 EXPECT_EQ(ownerOf(fixed).mode, 0600u) << fixed;
             }
         }},
        {"links of root's at a predicted photo name, the progress file and the debug log", 0,
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
         },
         [&](const Scan& p) {
             EXPECT_TRUE(fs::is_symlink(p.output / "file_0000.jpeg"));
             EXPECT_TRUE(fs::is_symlink(kDebugLog));
             EXPECT_NE(p.r.log.find("not logging to /tmp/tessarine_debug.log"), std::string::npos) << p.r.log;
         }},
        {"another user's link at the output folder to a folder of root's", 1,
         [&](Scan& p) {
             p.output = p.dir / "shared-out";
             fs::create_directory_symlink(victims / "folder", p.output);
             plantAs(p.output);
         },
         [&](const Scan& p) {
             EXPECT_NE(p.r.log.find("❌ Could not create output dir: not a folder"), std::string::npos) << p.r.log;
         }},
        {"another user's linked parent into a folder of root's", 1,
         [&](Scan& p) {
             fs::create_directory_symlink(victims / "empty", p.dir / "atk");
             plantAs(p.dir / "atk");
             p.output = p.dir / "atk" / "run";
         },
         [](const Scan&) {}},
        {"another user's FIFO at the debug log", 0,
         [&](Scan&) {
             ASSERT_EQ(::mkfifo(kDebugLog.c_str(), 0666), 0);
             plantAs(kDebugLog);
         },
         [](const Scan&) { EXPECT_TRUE(fs::is_fifo(kDebugLog)); }},
        {"a hard link at the debug log to a file of root's", 0,
         [&](Scan&) { ASSERT_EQ(::link((victims / "precious").c_str(), kDebugLog.c_str()), 0); }, [](const Scan&) {}},
        {"a hard link at the debug log to a file of the user's", 0,
         [&](Scan&) { ASSERT_EQ(::link((victims / "users").c_str(), kDebugLog.c_str()), 0); }, [](const Scan&) {}},
        {"another user's stop in the control file", 0,
         [&](Scan& p) {
             std::ofstream(p.control) << "stop";
             plantAs(p.control);
         },
         [&](const Scan& p) {
             EXPECT_NE(p.r.log.find("⚠️ Ignoring " + p.control.string() + ": it belongs to another user"),
                       std::string::npos)
                 << p.r.log;
         }},
        // No word can be read from these, so the scan runs to its end.
        {"a folder at the control file", 0, [](Scan& p) { fs::create_directory(p.control); }, [](const Scan&) {}},
        {"a FIFO nobody writes at the control file", 0,
         [](Scan& p) { ASSERT_EQ(::mkfifo(p.control.c_str(), 0644), 0); }, [](const Scan&) {}},
        {"a 1 GiB control file that begins with stop", 0,
         [](Scan& p) {
             std::ofstream(p.control) << "stop\n";
             ASSERT_EQ(::truncate(p.control.c_str(), 1ll << 30), 0);
         },
         [](const Scan&) {}},
        {"another user's file at the report's fixed path", 0,
         [&](Scan&) {
             std::ofstream(kReport) << "someone else's";
             plantAs(kReport);
         },
         [&](const Scan& p) {
             const fs::path beside = p.output.parent_path() / "tessarine_diag.txt";
             EXPECT_EQ(test::readText(kReport), "someone else's");
             EXPECT_NE(test::readText(beside).find("--- Summary ---"), std::string::npos);
             EXPECT_EQ(ownerOf(beside).uid, user.uid());
             EXPECT_EQ(ownerOf(beside).mode, 0600u);
             EXPECT_NE(p.r.log.find("📋 Diagnostic written to " + beside.string()), std::string::npos) << p.r.log;
         }},
        {"garbage at the progress file", 0,
         [&](Scan& p) {
             test::writeFile(p.progress, test::randomBytes(1 << 20, 42));
             ASSERT_EQ(::chown(p.progress.c_str(), user.uid(), user.gid()), 0);
         },
         [](const Scan& p) {
             for (std::size_t i = 1; i < p.r.records.size(); ++i) EXPECT_TRUE(decodeProgress(p.r.records[i])) << i;
         }},
        {"a progress file in a folder root may write and the user may not", 1,
         [](Scan& p) {
             fs::create_directory(p.dir / "root-only");
             p.progress = p.dir / "root-only" / "progress.json";
         },
         [](const Scan& p) {
             expectUnwatched(p);
             EXPECT_FALSE(fs::exists(p.progress)) << "root wrote a record for the user";
         }},
        {"a folder at the progress file", 1,
         [](Scan& p) {
             p.progress = p.dir / "progress-dir";
             fs::create_directory(p.progress);
             ::chmod(p.progress.c_str(), 0777);
         },
         [](const Scan& p) {
             expectUnwatched(p);
             EXPECT_TRUE(fs::is_directory(p.progress) && fs::is_empty(p.progress));
             for (const auto& e : fs::directory_iterator(p.dir))
                 EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << "left: " << e.path();
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
         },
         [&](const Scan& p) {
             EXPECT_NE(p.r.log.find("⚠️ No invoking user found: the card is parsed and decoded as nobody"),
                       std::string::npos)
                 << p.r.log;
             EXPECT_EQ(ownerOf(rootHome / ".cache").uid, 0u) << "root's home stays root's";
         }},
        {"root's own shell, the user at the seat", 0,
         [&](Scan& p) { seat(p, "ACTIVE=c2\\nACTIVE_UID=" + std::to_string(user.uid()) + "\\n"); },
         [&](const Scan& p) {
             EXPECT_NE(p.r.log.find("📁 Using console owner: uid=" + std::to_string(user.uid())), std::string::npos)
                 << p.r.log;
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
               user.sudoEnvironment(), {}, user.uid(), {}};
        for (const fs::path& fixed : {kDebugLog, kReport}) fs::remove(fixed);
        row.plant(p);
        std::thread during;
        if (row.during) during = std::thread(row.during, std::cref(p));
        p.r = test::runHelper({loop->device(), p.output, p.progress, p.control}, p.progress, p.env, p.prefix);
        if (during.joinable()) during.join();
        EXPECT_EQ(p.r.status, row.status) << p.r.log;
        EXPECT_EQ(snapshot(victims), before) << "a file outside the scanner's own was changed";
        if (row.status == 0) {
            const auto last = decodeProgress(p.r.records.empty() ? "" : p.r.records.back());
            EXPECT_EQ(last ? last->phase : "no record", "Complete") << p.r.log;
            EXPECT_EQ(last ? last->bytesScanned : 0, 8u << 20) << "the scan was stopped";
            EXPECT_EQ(last ? last->filesFound : 0, p.files);
            EXPECT_EQ(test::hashValues(test::recoveredHashes(p.output)), sources);
            EXPECT_NE(p.r.log.find("✅ Running as uid=" + std::to_string(p.owner)), std::string::npos) << p.r.log;
            for (const auto& e : fs::directory_iterator(p.output)) {
                if (e.is_symlink()) continue;
                EXPECT_TRUE(e.is_regular_file()) << e.path();
                EXPECT_EQ(ownerOf(e.path()).uid, p.owner) << e.path();
                EXPECT_EQ(ownerOf(e.path()).mode, 0644u) << e.path();
            }
        }
        row.check(p);
    }
}

}  // namespace
}  // namespace vf
