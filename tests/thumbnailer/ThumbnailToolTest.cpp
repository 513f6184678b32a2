// The thumbnail tool on real files made by the real encoders, run as the
// scanner runs it: through runThumbnailTool, as "nobody" when the tests are root.

#include <gtest/gtest.h>
#include <cerrno>
#include <sys/socket.h>
#include <thread>

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "thumbnailer/Sandbox.h"
#include "platform/Thumbnailer.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {

std::vector<std::uint8_t> flatJpeg(int side, int components, int scans);  // JpegEighthTest.cpp

namespace {

namespace fs = std::filesystem;
using test::run;

// "JPEG 200x133 644 0" (type, size, mode and owner) for each picture in `dir`, by its name.
std::map<std::string, std::string> shapes(const fs::path& dir) {
    std::map<std::string, std::string> out;
    std::istringstream lines(run("cd " + test::shellQuoted(dir) + " && { identify -format '%f %m %wx%h\\n' *.jpg; " +
                                 "stat -c '%n %a %u' *.jpg; } 2>/dev/null")
                                 .output);
    for (std::string name, a, b; lines >> name >> a >> b;) out[name] += (out[name].empty() ? "" : " ") + a + " " + b;
    return out;
}

// Which of red, green and blue a picture (or the part cropped) is on average, as "100" for red.
std::string colourOf(const fs::path& picture, const std::string& crop = "") {
    return run("convert '" + picture.string() + "' " + (crop.empty() ? "" : "-crop " + crop + " +repage ") +
               "-scale '1x1!' -format '%[fx:r>0.5]%[fx:g>0.5]%[fx:b>0.5]' info:")
        .output;
}

class ThumbnailTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const fs::path& m = media_.path();
        fs::permissions(m, fs::perms(0755));
        // Photos, clips and damaged files from the real encoders (tools/make-test-media).
        if (!test::testMedia("thumbnail", m, &unusable_)) return;
        test::writeFile(m / "photo.dng", test::makeDng(test::readFile(m / "preview.jpg"), 600, 450, 640, 480));
        test::writeFile(m / "tinypreview.dng", test::makeDng(test::readFile(m / "tiny.jpg"), 60, 45, 640, 480));
        // Camera JPEGs with a large preview in an MPF index, turned a quarter.
        test::writeFile(m / "mpf.jpeg", test::mpfJpeg(test::readFile(m / "turned.jpg"), test::readFile(m / "wide.jpg")));
        test::writeFile(m / "mpfsmall.jpeg",
                        test::mpfJpeg(test::readFile(m / "turned.jpg"), test::readFile(m / "narrow.jpg"), true));
        fs::copy_file(m / "jpeg" / "progressive.jpg", m / "progressive.jpg");
        // 1,500 valid, nearly empty scans, each a pass over all blocks: refused at once.
        test::writeFile(m / "scans.jpeg", flatJpeg(1024, 3, 1500));
        ::mkfifo((m / "pipe.jpeg").c_str(), 0644);  // would block a reader for ever
        for (const auto& e : fs::directory_iterator(m)) fs::permissions(e.path(), fs::perms(0644));
    }

    void SetUp() override {
        if (!unusable_.empty()) GTEST_FAIL() << "no media: " << unusable_;
        // The tool runs as another user when we are root; it writes here.
        fs::permissions(outDir_, fs::perms(0777));
        options_.toolPath = test::binPath("tessarine-thumb");
    }

    // Runs the jobs one by one: one process per file, how each ended kept in runs_, or
    // served by one worker; which made a thumbnail.
    std::vector<int> runAll(const std::vector<ThumbnailJob>& jobs) {
        std::vector<int> ok(jobs.size(), -1);
        runs_.assign(jobs.size(), {});
        ThumbnailQueue queue(options_, 1);
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            if (options_.reuseProcesses)
                queue.submit(jobs[i], [&ok, i](const ThumbnailJob&, bool good) { ok[i] = good; });
            else
                ok[i] = runThumbnailTool(jobs[i], options_, &runs_[i]);
        }
        queue.wait();
        return ok;
    }

    // Every name in the output folder that is a temporary or not in `expected`.
    std::vector<std::string> strayNames(const std::vector<std::string>& expected = {}) const {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(outDir_)) {
            const std::string name = e.path().filename().string();
            if (name.front() == '.' ||
                (!e.is_directory() && std::find(expected.begin(), expected.end(), name) == expected.end()))
                names.push_back(name);
        }
        return names;
    }

    static inline test::TempDir media_;
    static inline std::string unusable_;
    const test::TempDir out_;
    const fs::path outDir_ = out_.path();
    ThumbnailOptions options_;
    std::vector<ThumbnailRunInfo> runs_;
};

// Every kind of file, run one process per file and served (the scanner's way: one
// long-lived tool per worker, the files handed over as descriptors), into a folder the
// unprivileged tool may not write (served: not even enter), which the results join as root's.
TEST_F(ThumbnailTool, EveryFormatBecomesASmallJpegEitherWay) {
    const struct {
        const char* file;
        int side;
        std::string size;  // "": no thumbnail
        int exit = 0;      // one run per file: 1 undecodable, 3 unreadable, -1 never started
        const char *crop = "", *rgb = nullptr;  // the colour of the thumbnail or of a part of it
        bool sharp = false;                     // as sharp as a full decode scaled down
    } cases[] = {
        {"big.jpeg", 200, "200x133"}, {"big.jpeg", 800, "800x533"},  // the preview's size
        {"base.png", 200, "200x150"}, {"photo.gif", 200, "200x150"}, {"photo.tif", 200, "200x150"},
        {"photo.ppm", 200, "200x150"}, {"photo.bmp", 200, "200x150"}, {"photo.webp", 200, "200x150"},
        {"photo.heic", 200, "200x150"}, {"photo.avif", 200, "200x150"}, {"base.jpg", 200, "200x150"},
        {"small.png", 200, "120x90"},  // never enlarged; its transparency is flattened
        {"progressive.jpg", 200, "200x150"},
        // Read at an eighth and turned by their orientation: a quarter clockwise brings
        // the red left half to the top; mirrored, the blue right half is on the left.
        {"halves.jpg", 200, "150x200", 0, "150x80+0+0", "100"},
        {"mirrored.jpg", 200, "200x150", 0, "80x150+0+0", "001"},
        // Either side of the eighth's reach.
        {"eighth.jpg", 200, "200x150", 0, "", nullptr, true}, {"quarter.jpg", 200, "200x150", 0, "", nullptr, true},
        {"clip.mp4", 200, "200x113"}, {"clip.mts", 200, "200x150"},
        {"clip.mov", 200, "113x200"},  // turned a quarter by its display matrix
        // The key frame at or before one second in (green), wherever the next key frame is and
        // whatever follows the clip; a clip never enlarged.
        {"colours.mp4", 200, "160x90", 0, "", "010"}, {"carved.mp4", 200, "160x90", 0, "", "010"},
        {"onekey.mp4", 200, "160x90", 0, "", "100"},   // only the first is a key frame
        {"colours.avi", 200, "160x90", 0, "", "010"},  // every frame a key frame
        {"onekey.mts", 200, "160x90", 0, "", "100"},   // MPEG-TS seeks by timestamps and lands past it
        {"damaged.mts", 200, "160x90", 0, "", "100"},  // only the first key frame decodes
        // A raw preview at least half the size asked for is taken as it is, never enlarged;
        // a smaller one loses to a half-size decode of the sensor data (320 x 240).
        {"photo.dng", 800, "600x450"}, {"photo.dng", 200, "200x150"},
        {"tinypreview.dng", 200, "200x150"}, {"tinypreview.dng", 800, "320x240"},
        // The 2:1 preview of an MPF index, turned by the photo's orientation, unless it is
        // smaller than asked for: then the 4:3 photo itself.
        {"mpf.jpeg", 200, "100x200"}, {"mpfsmall.jpeg", 200, "150x200"},
        // Failures come at once, as the tool's own answer, not the limits'.
        {"garbage.jpeg", 200, "", 1}, {"broken.jpeg", 200, "", 1}, {"noise.mp4", 200, "", 1},
        {"scans.jpeg", 200, "", 1},
        {"missing.jpeg", 200, "", 3}, {"pipe.jpeg", 200, "", 3}, {"base.png", 0, "", -1},
    };
    std::vector<std::string> names;
    for (const bool served : {false, true}) {
        SCOPED_TRACE(served ? "served" : "one run per file");
        options_.reuseProcesses = served;
        const fs::path dir = outDir_ / (served ? "served" : "direct");
        fs::create_directory(dir);
        fs::permissions(dir, fs::perms(served ? 0700 : 0755));
        std::vector<ThumbnailJob> jobs;
        for (const auto& c : cases)
            jobs.push_back({media_ / c.file, dir / (c.file + std::to_string(c.side) + ".jpg"), c.side});
        const std::vector<int> ok = runAll(jobs);
        std::map<std::string, std::string> made = shapes(dir);
        for (const auto& [name, shape] : made) names.push_back(name);
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const auto& c = cases[i];
            const fs::path out = jobs[i].output;
            SCOPED_TRACE(out.filename());
            EXPECT_EQ(ok[i], !c.size.empty());
            // As root's when we are root, whoever the tool ran as: the folder's owner.
            EXPECT_EQ(made[out.filename()],
                      c.size.empty() ? "" : "JPEG " + c.size + " 644 " + std::to_string(::geteuid()));
            EXPECT_TRUE(!c.rgb || colourOf(out, c.crop) == c.rgb) << "colour " << colourOf(out, c.crop);
            if (c.sharp) {  // about 24 dB on this sharp pattern at quality 60; a picture one pixel off gives 18
                const auto psnr = run("convert '" + jobs[i].source.string() + "' -filter Lanczos -resize '200x150!' " +
                                      "png:- | compare -metric PSNR '" + out.string() + "' - null:");
                EXPECT_GT(std::atof(psnr.output.c_str()), 21.0) << psnr.output;
            }
            EXPECT_TRUE(served || runs_[i].exitStatus == c.exit) << "exit " << runs_[i].exitStatus;
        }
    }
    EXPECT_EQ(strayNames(names), std::vector<std::string>{});
}

// As root the tool runs as the given user, never as root. Whatever holds the output's name
// stays as it is: a planted link (and its target), a recovered photo that took the name, the
// source itself; a source the tool's user may not read gives no thumbnail, however the tool
// runs (served, we open it as root for it).
TEST_F(ThumbnailTool, RunsAsItsUserAndNeverOverAnotherFile) {
    const struct {
        std::optional<uid_t> uid;
        std::optional<gid_t> gid;
        std::string owner;
    } users[] = {{{}, {}, "65534:65534\n"}, {4321, 1234, "4321:1234\n"}, {0, 0, "65534:65534\n"}};
    std::vector<std::string> kept{"link.jpg", "photo.thumb.jpg", "self.png", "secret.png"};
    const fs::path png = media_ / "base.png";
    for (std::size_t i = 0; i < std::size(users) && ::geteuid() == 0; ++i) {
        options_.uid = users[i].uid, options_.gid = users[i].gid;
        kept.push_back("user" + std::to_string(i) + ".jpg");
        EXPECT_TRUE(runThumbnailTool({png, outDir_ / kept.back()}, options_));
        EXPECT_EQ(run("stat -c %u:%g " + (outDir_ / kept.back()).string()).output, users[i].owner);
    }
    options_.uid = options_.gid = std::nullopt;
    const fs::path target = media_ / "elsewhere.txt", self = outDir_ / "self.png", secret = outDir_ / "secret.png";
    test::writeFile(target, {'k', 'e', 'e', 'p'});
    fs::create_symlink(target, outDir_ / "link.jpg");
    fs::copy_file(media_ / "big.jpeg", outDir_ / "photo.thumb.jpg");
    fs::copy_file(png, self);
    fs::permissions(self, fs::perms(0666));
    fs::copy_file(png, secret);
    fs::permissions(secret, fs::perms(0600));
    const std::string photoHash = test::sha256(outDir_ / "photo.thumb.jpg"), selfHash = test::sha256(self);
    for (const bool served : {false, true}) {
        SCOPED_TRACE(served ? "served" : "one run per file");
        options_.reuseProcesses = served;
        std::vector<ThumbnailJob> jobs{{png, outDir_ / "link.jpg"}, {png, outDir_ / "photo.thumb.jpg"}, {self, self}};
        if (::geteuid() == 0) jobs.push_back({secret, outDir_ / "denied.jpg"});
        EXPECT_EQ(runAll(jobs), std::vector<int>(jobs.size(), 0));
        EXPECT_TRUE(fs::is_symlink(outDir_ / "link.jpg"));
        EXPECT_EQ(test::readText(target), "keep");
        EXPECT_EQ(test::sha256(outDir_ / "photo.thumb.jpg"), photoHash);
        EXPECT_EQ(test::sha256(self), selfHash);
        EXPECT_EQ(strayNames(kept), std::vector<std::string>{});
    }
}

// The served tools' confinement: once it holds, a decoder reads only the
// system's own files and writes none, but keeps the descriptors it was given.
TEST(DecoderConfinement, OnlyGivenDescriptorsAndSystemFilesRemain) {
    test::TempDir dir;
    std::ofstream(dir / "photo.jpg") << "a user's photo";
    const int given = ::open((dir / "given.jpg").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(given, 0);
    const struct {
        const char* name;
        std::function<bool()> attempt;
        bool allowed;
    } rows[] = {
        {"read a library", [] { return ::open("/usr/lib/os-release", O_RDONLY) >= 0; }, true},
        {"read a user's file", [&] { return ::open((dir / "photo.jpg").c_str(), O_RDONLY) >= 0; }, false},
        {"create a file", [&] { return ::open((dir / "new").c_str(), O_WRONLY | O_CREAT, 0600) >= 0; }, false},
        {"write a system file", [] { return ::open("/etc/hostname", O_WRONLY) >= 0; }, false},
        {"write the given descriptor", [&] { return ::write(given, "x", 1) == 1; }, true},
        {"start a program", [] { return ::execl("/nonexistent/tool", "tool", nullptr) < 0 && errno != EPERM; }, false},
        {"open a socket", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0) >= 0; }, false},
        {"start a thread", [] { std::thread([] {}).join(); return true; }, true},
    };
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (denyNewFilesAndConnections() == 0 || !denyUnusedSystemCalls()) ::_exit(77);
        int wrong = 0;
        for (std::size_t i = 0; i < std::size(rows); ++i)
            if (rows[i].attempt() != rows[i].allowed) wrong |= 1 << i;
        ::_exit(wrong);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ::close(given);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "the kernel offers no Landlock or no seccomp filter";
    for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_FALSE(WEXITSTATUS(status) & (1 << i)) << rows[i].name;
}

}  // namespace
}  // namespace vf
