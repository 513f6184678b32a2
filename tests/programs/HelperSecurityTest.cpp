// Links and foreign files planted where the root scanner writes must never make
// it touch anything outside its own files.

#include "common/Records.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/Process.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
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

}  // namespace
}  // namespace vf
