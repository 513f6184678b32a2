// The thumbnail tool on real files made by the real encoders, run as the
// scanner runs it: through runThumbnailTool, as "nobody" when the tests are root.

#include <gtest/gtest.h>
#include <cerrno>
#include <sys/socket.h>
#include <thread>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/ByteReader.h"
#include "thumbnailer/Sandbox.h"
#include "platform/Thumbnailer.h"
#include "tests/support/DngBuilder.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

namespace fs = std::filesystem;
using test::run;

struct Size {
    int width = 0, height = 0;
    bool operator==(const Size&) const = default;
};

// Dimensions from a JPEG's frame header; nothing when the file is no JPEG.
std::optional<Size> jpegSize(const fs::path& p) {
    const std::vector<std::uint8_t> data = test::readFile(p);
    const ByteReader r(data);
    if (r.be16(0) != 0xFFD8) return std::nullopt;
    std::size_t pos = 2;
    while (r.u8(pos) == 0xFF) {
        const auto marker = r.u8(pos + 1);
        const auto length = r.be16(pos + 2);
        if (!marker || !length) return std::nullopt;
        const bool frame = *marker >= 0xC0 && *marker <= 0xCF && *marker != 0xC4 && *marker != 0xC8 && *marker != 0xCC;
        if (frame) {
            const auto h = r.be16(pos + 5), w = r.be16(pos + 7);
            if (!h || !w) return std::nullopt;
            return Size{*w, *h};
        }
        pos += 2 + *length;
    }
    return std::nullopt;
}

// Which of red, green and blue a picture is on average, as "100" for red.
std::string colourOf(const fs::path& picture) {
    return run("convert '" + picture.string() + "' -scale '1x1!' -format '%[fx:r>0.5]%[fx:g>0.5]%[fx:b>0.5]' info:")
        .output;
}

// ---- test media, made once

class ThumbnailTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* tool : {"convert", "ffmpeg", "heif-enc", "cwebp", "exiftool"})
            if (!test::haveTool(tool)) missing_ += std::string(" ") + tool;
        if (!missing_.empty()) return;
        media_ = new test::TempDir;
        const fs::path& m = media_->path();
        fs::permissions(m, fs::perms(0755));
        // Photos and clips of every kind from the real encoders (tools/make-test-media).
        std::string why;
        if (!test::testMedia("thumbnail", m, &why)) ADD_FAILURE() << why;
        test::writeFile(m / "photo.dng", test::makeDng(test::readFile(m / "preview.jpg"), 600, 450, 640, 480));
        test::writeFile(m / "tinypreview.dng", test::makeDng(test::readFile(m / "tiny.jpg"), 60, 45, 640, 480));
        // Camera JPEGs with a large preview in an MPF index, turned a quarter.
        test::writeFile(m / "mpf.jpeg", test::mpfJpeg(test::readFile(m / "turned.jpg"), test::readFile(m / "wide.jpg")));
        test::writeFile(m / "mpfsmall.jpeg",
                        test::mpfJpeg(test::readFile(m / "turned.jpg"), test::readFile(m / "narrow.jpg"), true));
        test::writeFile(m / "garbage.jpeg", test::randomBytes(200000, 3));
        std::vector<std::uint8_t> fake = test::randomBytes(200000, 4);
        fake[0] = 0xFF, fake[1] = 0xD8, fake[2] = 0xFF;
        test::writeFile(m / "broken.jpeg", fake);
        for (const auto& e : fs::directory_iterator(m)) fs::permissions(e.path(), fs::perms(0644));
    }
    static void TearDownTestSuite() {
        delete media_;
        media_ = nullptr;
    }

    void SetUp() override {
        if (!missing_.empty()) GTEST_SKIP() << "missing tools:" << missing_;
        fs::permissions(out_.path(), fs::perms(0755));
        outDir_ = out_ / "out";
        fs::create_directory(outDir_);
        // The tool runs as another user when we are root; it writes here.
        fs::permissions(outDir_, fs::perms(0777));
        options_.toolPath = test::binPath("tessarine-thumb");
    }

    static fs::path media(const std::string& name) { return media_->path() / name; }

    bool make(const std::string& source, const std::string& output, int side = 200, ThumbnailRunInfo* info = nullptr) {
        ThumbnailJob job;
        job.source = media(source);
        job.output = outDir_ / output;
        job.longestSide = side;
        return runThumbnailTool(job, options_, info);
    }

    std::vector<std::string> outputNames() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(outDir_)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    static inline test::TempDir* media_ = nullptr;
    static inline std::string missing_;
    test::TempDir out_;
    fs::path outDir_;
    ThumbnailOptions options_;
};

// Every kind of file, run one process per file and served (the scanner's way: one
// long-lived tool per worker, the files handed over as descriptors).
TEST_F(ThumbnailTool, EveryFormatBecomesASmallJpegEitherWay) {
    const struct {
        const char* file;
        int side;
        std::optional<Size> expected;  // nothing: no thumbnail
    } cases[] = {
        {"big.jpeg", 200, Size{200, 133}}, {"big.jpeg", 800, Size{800, 533}},  // the preview's size
        {"base.png", 200, Size{200, 150}}, {"photo.gif", 200, Size{200, 150}}, {"photo.tif", 200, Size{200, 150}},
        {"photo.ppm", 200, Size{200, 150}}, {"photo.bmp", 200, Size{200, 150}}, {"photo.webp", 200, Size{200, 150}},
        {"photo.heic", 200, Size{200, 150}}, {"photo.avif", 200, Size{200, 150}}, {"base.jpg", 200, Size{200, 150}},
        {"small.png", 200, Size{120, 90}},  // never enlarged; its transparency is flattened
        {"clip.mp4", 200, Size{200, 113}}, {"clip.mts", 200, Size{200, 150}},
        {"clip.mov", 200, Size{113, 200}},  // turned a quarter by its display matrix
        // A raw preview at least half the size asked for is taken as it is, never enlarged;
        // a smaller one loses to a half-size decode of the sensor data (320 x 240).
        {"photo.dng", 800, Size{600, 450}}, {"photo.dng", 200, Size{200, 150}},
        {"tinypreview.dng", 200, Size{200, 150}}, {"tinypreview.dng", 800, Size{320, 240}},
        // The 2:1 preview of an MPF index, turned by the photo's orientation, unless it is
        // smaller than asked for: then the 4:3 photo itself.
        {"mpf.jpeg", 200, Size{100, 200}}, {"mpfsmall.jpeg", 200, Size{150, 200}},
        {"garbage.jpeg", 200, std::nullopt}, {"broken.jpeg", 200, std::nullopt}, {"missing.jpeg", 200, std::nullopt},
    };
    // Served, into a folder only root may enter: the unprivileged tool needs no way in.
    const fs::path closed = outDir_ / "closed";
    fs::create_directory(closed);
    fs::permissions(closed, fs::perms(0700));
    for (const bool served : {false, true}) {
        SCOPED_TRACE(served ? "served" : "one run per file");
        options_.reuseProcesses = served;
        const fs::path dir = served ? closed : outDir_;
        std::vector<std::optional<bool>> ok(std::size(cases));
        {
            ThumbnailQueue queue(options_, 1);
            for (std::size_t i = 0; i < std::size(cases); ++i)
                queue.submit({media(cases[i].file), dir / (cases[i].file + std::to_string(cases[i].side) + ".jpg"),
                              cases[i].side, 60},
                             [&ok, i](const ThumbnailJob&, bool good) { ok[i] = good; });
        }
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const fs::path out = dir / (cases[i].file + std::to_string(cases[i].side) + ".jpg");
            SCOPED_TRACE(out.filename());
            EXPECT_EQ(ok[i], cases[i].expected.has_value());
            EXPECT_EQ(jpegSize(out), cases[i].expected);
            struct stat st {};
            if (cases[i].expected && ::stat(out.c_str(), &st) == 0) {
                EXPECT_EQ(st.st_mode & 07777, 0644u);
                if (served) {
                    EXPECT_EQ(st.st_uid, ::geteuid()) << "the folder's owner";
                }
            }
        }
        for (const auto& e : fs::directory_iterator(dir))
            EXPECT_NE(e.path().filename().string().front(), '.') << "a temporary was left: " << e.path();
    }
}

// The key frame at or before one second in, wherever the next key frame is
// and whatever follows the clip, as in a carved file.
TEST_F(ThumbnailTool, ClipsShowTheirKeyFrameAboutASecondIn) {
    std::vector<std::uint8_t> carved = test::readFile(media("colours.mp4"));
    const std::vector<std::uint8_t> junk = test::randomBytes(1 << 20, 9);
    carved.insert(carved.end(), junk.begin(), junk.end());
    test::writeFile(outDir_ / "carved.mp4", carved);
    fs::permissions(outDir_ / "carved.mp4", fs::perms(0644));
    const struct {
        fs::path source;
        const char* rgb;
    } cases[] = {
        {media("colours.mp4"), "010"},  // key frames each second
        {outDir_ / "carved.mp4", "010"},
        {media("onekey.mp4"), "100"},   // only the first
        {media("colours.avi"), "010"},  // every frame a key frame
        // MPEG-TS seeks by timestamps alone and lands past the only key frame.
        {media("onekey.mts"), "100"},
    };
    for (const auto& c : cases) {
        const fs::path out = outDir_ / (c.source.filename().string() + ".jpg");
        ThumbnailJob job{c.source, out, 200, 60};
        EXPECT_TRUE(runThumbnailTool(job, options_)) << c.source;
        EXPECT_EQ(jpegSize(out), (Size{160, 90})) << c.source << ": never enlarged";
        EXPECT_EQ(colourOf(out), c.rgb) << c.source;
    }
}

// Carved clips are often damaged past some point.
TEST_F(ThumbnailTool, DamagedClipsGiveTheirFirstKeyFrameThatDecodesOrNothing) {
    auto write = [&](const std::string& name, const std::vector<std::uint8_t>& bytes) {
        test::writeFile(outDir_ / name, bytes);
        fs::permissions(outDir_ / name, fs::perms(0644));
        return outDir_ / name;
    };
    // Noise from its third kilobyte on: only the first key frame survives.
    std::vector<std::uint8_t> ts = test::readFile(media("colours.mts"));
    ASSERT_GT(ts.size(), 20000u);
    const std::vector<std::uint8_t> noise = test::randomBytes(ts.size() - 3000, 11);
    std::copy(noise.begin(), noise.end(), ts.begin() + 3000);
    const fs::path damaged = write("damaged.mts", ts);
    ThumbnailRunInfo info;
    ThumbnailJob job{damaged, outDir_ / "damaged.jpg", 200, 60};
    EXPECT_TRUE(runThumbnailTool(job, options_, &info));
    EXPECT_EQ(colourOf(job.output), "100");

    // A sound header over frames of noise: no thumbnail, and no hang.
    std::vector<std::uint8_t> mp4 = test::readFile(media("colours.mp4"));
    auto box = [&](std::string_view type) {  // its offset, or the size when absent
        return static_cast<std::size_t>(std::search(mp4.begin(), mp4.end(), type.begin(), type.end()) - mp4.begin());
    };
    const std::size_t mdat = box("mdat"), moov = box("moov");  // ffmpeg writes the frames first
    ASSERT_LT(mdat + 8, moov);
    ASSERT_LT(moov, mp4.size());
    const std::vector<std::uint8_t> frames = test::randomBytes(moov - 4 - (mdat + 4), 12);
    std::copy(frames.begin(), frames.end(), mp4.begin() + static_cast<std::ptrdiff_t>(mdat + 4));
    job = {write("noise.mp4", mp4), outDir_ / "noise.jpg", 200, 60};
    EXPECT_FALSE(runThumbnailTool(job, options_, &info));
    EXPECT_FALSE(info.timedOut);
    EXPECT_EQ(info.exitStatus, 1);
    EXPECT_FALSE(fs::exists(job.output));
}

TEST_F(ThumbnailTool, LargeJpegsAreTurnedAndMirroredByTheirOrientation) {
    ASSERT_TRUE(make("halves.jpg", "halves.thumb.jpg"));
    ASSERT_EQ(jpegSize(outDir_ / "halves.thumb.jpg"), (Size{150, 200}));
    // A quarter turn clockwise brings the left half to the top.
    const std::string thumb = (outDir_ / "halves.thumb.jpg").string();
    ASSERT_EQ(run("convert '" + thumb + "' -crop 150x80+0+0 '" + thumb + ".top.png' && convert '" + thumb +
                  "' -crop 150x80+0+120 '" + thumb + ".bottom.png'").status, 0);
    EXPECT_EQ(colourOf(thumb + ".top.png"), "100");
    EXPECT_EQ(colourOf(thumb + ".bottom.png"), "001");
    // Mirrored left to right: blue on the left.
    ASSERT_TRUE(make("mirrored.jpg", "mirrored.thumb.jpg"));
    ASSERT_EQ(jpegSize(outDir_ / "mirrored.thumb.jpg"), (Size{200, 150}));
    const std::string mirrored = (outDir_ / "mirrored.thumb.jpg").string();
    ASSERT_EQ(run("convert '" + mirrored + "' -crop 80x150+0+0 '" + mirrored + ".left.png'").status, 0);
    EXPECT_EQ(colourOf(mirrored + ".left.png"), "001");
}

TEST_F(ThumbnailTool, JpegsAtTheEighthsReachLookLikeTheirFullDecode) {
    for (const char* file : {"eighth.jpg", "quarter.jpg"}) {
        const std::string out = std::string(file) + ".thumb.jpg";
        ASSERT_TRUE(make(file, out)) << file;
        EXPECT_EQ(jpegSize(outDir_ / out), (Size{200, 150})) << file;
        const std::string thumb = (outDir_ / out).string(), reference = thumb + ".ref.png";
        ASSERT_EQ(run("convert '" + media(file).string() + "' -filter Lanczos -resize '200x150!' '" + reference + "'")
                      .status, 0);
        // Both ways give about 24 dB on this sharp pattern at quality 60; a picture one pixel off gives 18.
        const auto psnr = run("compare -metric PSNR '" + thumb + "' '" + reference + "' null:");
        EXPECT_GT(std::atof(psnr.output.c_str()), 21.0) << file << ": " << psnr.output;
    }
}

TEST_F(ThumbnailTool, BadInputFailsWithoutLeavingAnything) {
    ThumbnailRunInfo info;
    EXPECT_FALSE(make("garbage.jpeg", "garbage.jpg", 200, &info));
    EXPECT_EQ(info.exitStatus, 1);
    EXPECT_FALSE(make("missing.jpeg", "missing.jpg", 200, &info));
    EXPECT_EQ(info.exitStatus, 3);
    // A FIFO would block a reader for ever; it is refused at once.
    const fs::path fifo = outDir_ / "pipe.jpeg";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(runThumbnailTool({fifo, outDir_ / "pipe.jpg"}, options_, &info));
    EXPECT_EQ(info.exitStatus, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    fs::remove(fifo);
    // Bad arguments never reach the tool.
    EXPECT_FALSE(make("base.png", "zero.jpg", 0, &info));
    EXPECT_FALSE(info.started);
    EXPECT_EQ(outputNames(), std::vector<std::string>{});  // no output and no temporary
}

TEST_F(ThumbnailTool, ExistingNamesAreNeverReplacedNorFollowed) {
    // Whatever holds the output's name stays as it is: a planted link (and its
    // target), a recovered photo that took the name, the source itself.
    const fs::path target = out_ / "elsewhere.txt";
    test::writeFile(target, {'k', 'e', 'e', 'p'});
    fs::create_symlink(target, outDir_ / "link.jpg");
    fs::copy_file(media("big.jpeg"), outDir_ / "photo.thumb.jpg");
    const fs::path self = outDir_ / "self.png";
    fs::copy_file(media("base.png"), self);
    fs::permissions(self, fs::perms(0666));
    const std::string photoHash = test::sha256(outDir_ / "photo.thumb.jpg"), selfHash = test::sha256(self);
    for (const bool served : {false, true}) {
        SCOPED_TRACE(served ? "served" : "one run per file");
        options_.reuseProcesses = served;
        for (const fs::path& output : {outDir_ / "link.jpg", outDir_ / "photo.thumb.jpg", self}) {
            const ThumbnailJob job{output == self ? self : media("base.png"), output};
            bool ok = true;
            if (served) {
                ThumbnailQueue queue(options_, 1);
                queue.submit(job, [&ok](const ThumbnailJob&, bool good) { ok = good; });
            } else {
                ok = runThumbnailTool(job, options_);
            }
            EXPECT_FALSE(ok) << output;
        }
        EXPECT_TRUE(fs::is_symlink(outDir_ / "link.jpg"));
        EXPECT_EQ(test::readFile(target), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
        EXPECT_EQ(test::sha256(outDir_ / "photo.thumb.jpg"), photoHash);
        EXPECT_EQ(test::sha256(self), selfHash);
        for (const auto& name : outputNames()) EXPECT_NE(name.front(), '.') << "a temporary was left: " << name;
    }
}

TEST_F(ThumbnailTool, RunsAsTheGivenUserWhenRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to change user";
    const struct {
        std::optional<uid_t> uid;
        std::optional<gid_t> gid;
        uid_t owner;
        gid_t group;
    } rows[] = {{{}, {}, 65534, 65534}, {4321, 1234, 4321, 1234}, {0, 0, 65534, 65534}};  // root never decodes
    for (const auto& row : rows) {
        options_.uid = row.uid;
        options_.gid = row.gid;
        const std::string out = "user" + std::to_string(row.owner) + std::to_string(row.uid.value_or(1)) + ".jpg";
        EXPECT_TRUE(make("base.png", out));
        struct stat st {};
        ASSERT_EQ(::stat((outDir_ / out).c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, row.owner);
        EXPECT_EQ(st.st_gid, row.group);
    }
    // A user that may not read the source gets no thumbnail, however the tool runs;
    // served, the user must be able to read the file itself, as if it opened it.
    fs::permissions(media("base.png"), fs::perms(0600));
    options_.uid = 4321;
    for (const bool served : {false, true}) {
        options_.reuseProcesses = served;
        bool made = true;
        {
            ThumbnailQueue queue(options_, 1);
            queue.submit({media("base.png"), outDir_ / "denied.jpg"}, [&](const ThumbnailJob&, bool good) { made = good; });
        }
        EXPECT_FALSE(made) << served;
        EXPECT_FALSE(fs::exists(outDir_ / "denied.jpg"));
    }
    fs::permissions(media("base.png"), fs::perms(0644));
    // A root-owned output folder: the tool writes into a private folder of
    // its own and the result is moved into place with the folder's owner.
    fs::permissions(outDir_, fs::perms(0755));
    options_ = ThumbnailOptions{};
    options_.toolPath = test::binPath("tessarine-thumb");
    EXPECT_TRUE(make("base.png", "private.jpg"));
    struct stat st {};
    ASSERT_EQ(::stat((outDir_ / "private.jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_TRUE(jpegSize(outDir_ / "private.jpg"));
    EXPECT_FALSE(make("missing.png", "none.jpg"));
    for (const auto& name : outputNames()) EXPECT_EQ(name.find(".vf-partial"), std::string::npos) << name;
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
        {"start a program", [] {
             ::execl("/nonexistent/tool", "tool", nullptr);
             return errno != EPERM;
         }, false},
        {"open a socket", [] { return ::socket(AF_UNIX, SOCK_STREAM, 0) >= 0; }, false},
        {"start a thread", [] {
             std::thread t([] {});
             t.join();
             return true;
         }, true},
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
