#include "app/EXIFReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/MediaSynthetic.h"
#include "tests/support/MediaTools.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::TempDir;

// Makes a picture with ImageMagick and tags it with exiftool, as cameras do.
std::filesystem::path tagged(const TempDir& dir, const std::string& name, const std::string& make,
                             const std::string& tags) {
    const auto path = dir / name;
    auto r = test::run(make + " '" + path.string() + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    if (!tags.empty()) {
        r = test::run("exiftool -q -m -overwrite_original " + tags + " '" + path.string() + "'");
        EXPECT_EQ(r.status, 0) << r.output;
    }
    return path;
}

std::string describe(const EXIFData& d) {
    std::string s;
    const auto field = [&](const char* name, const auto& v) {
        s += std::string(name) + "=";
        if (!v) s += "-";
        else if constexpr (std::is_same_v<std::decay_t<decltype(*v)>, std::string>) s += *v;
        else s += std::to_string(*v);
        s += " ";
    };
    field("make", d.make), field("model", d.model), field("date", d.dateTaken), field("aperture", d.aperture);
    field("shutter", d.shutterSpeed), field("iso", d.iso), field("focal", d.focalLength);
    field("bias", d.exposureBias), field("flash", d.flash), field("wb", d.whiteBalance);
    field("w", d.width), field("h", d.height), field("colour", d.colorSpace);
    return s;
}

TEST(EXIFReader, TextFormsOfTaggedPictures) {
    if (!test::haveTool("exiftool")) GTEST_SKIP() << "exiftool missing";
    const TempDir dir;
    const std::string jpeg = "convert -size 64x48 plasma: -quality 80";
    struct Row {
        const char* name;
        std::string make;
        std::string tags;
        EXIFData want;
    };
    const Row rows[] = {
        {"full.jpg", jpeg,
         "-Make=Canon '-Model=Canon EOS R6' '-DateTimeOriginal=2019:07:04 18:00:00' -FNumber=2.8 "
         "-ExposureTime=1/250 -ISO=400 -FocalLength=50 -ExposureCompensation=0.7 -EXIF:Flash#=1 -WhiteBalance#=0",
         {"Canon", "Canon EOS R6", "2019:07:04 18:00:00", "ƒ/2.8", "1/250s", "ISO 400", "50mm", "+0.7 EV",
          "Flash fired", "Auto WB", 64, 48, "RGB"}},
        // Only the APEX value: f/2.8 is stored as 2.97.
        {"apex.jpg", jpeg,
         "-ApertureValue=2.8 -ExposureTime=1/3 -ExposureCompensation=-0.33 -FocalLength=4.7 -EXIF:Flash#=16 "
         "-WhiteBalance#=1",
         {{}, {}, {}, "ƒ/2.8", "1/3s", {}, "4mm", "-0.3 EV", "No flash", "Manual WB", 64, 48, "RGB"}},
        // A lens without contacts records an F-number of zero: no aperture.
        {"long.jpg", jpeg, "-ExposureTime=2 -FNumber=0 -ExposureCompensation=0",
         {{}, {}, {}, {}, "2s", {}, {}, "±0 EV", {}, {}, 64, 48, "RGB"}},
        {"grey.jpg", "convert -size 40x30 gradient: -colorspace Gray", "",
         {{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, 40, 30, "Gray"}},
        {"cmyk.jpg", "convert -size 40x30 plasma: -colorspace CMYK", "-Model=Print -ExposureTime=0",
         {{}, "Print", {}, {}, {}, {}, {}, {}, {}, {}, 40, 30, "CMYK"}},
        {"tagged.png", "convert -size 33x17 plasma:", "-EXIF:Make=Nikon",
         {"Nikon", {}, {}, {}, {}, {}, {}, {}, {}, {}, 33, 17, "RGB"}},
        {"grey.png", "convert -size 20x10 gradient: -colorspace Gray -define png:color-type=0", "",
         {{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, 20, 10, "Gray"}},
        {"lab.tif", "convert -size 24x12 plasma: -colorspace Lab -compress none", "-Make=Scan",
         {"Scan", {}, {}, {}, {}, {}, {}, {}, {}, {}, 24, 12, "Lab"}},
        {"a.gif", "convert -size 30x20 plasma:", "", {{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, 30, 20, "RGB"}},
        {"a.bmp", "convert -size 30x20 plasma: -define bmp:format=bmp2", "",
         {{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, 30, 20, "RGB"}},
        {"b.bmp", "convert -size 30x20 plasma: -flip -define bmp:format=bmp3", "",
         {{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, 30, 20, "RGB"}},
    };
    std::string tag = "exiftool";  // one run for every picture: each start of it costs a second
    for (const Row& row : rows)
        if (const auto path = tagged(dir, row.name, row.make, ""); !row.tags.empty())
            tag += " " + row.tags + " '" + path.string() + "' -execute";
    const auto tagging = test::run(tag + " -common_args -q -m -overwrite_original");
    ASSERT_EQ(tagging.status, 0) << tagging.output;
    for (const Row& row : rows) EXPECT_EQ(describe(EXIFReader().read(dir / row.name)), describe(row.want)) << row.name;
}

TEST(EXIFReader, CameraFormatsGiveTheFullImage) {
    const TempDir dir;
    std::string why;
    // A raw file's first directory is its preview; the size is the sensor's.
    const auto preview = test::makeMedia(dir, test::MediaKind::jpegWithThumbnail, &why);
    ASSERT_TRUE(preview) << why;
    test::writeFile(dir / "a.dng", test::makeDng(*preview, 640, 480, 320, 240));
    EXPECT_EQ(describe(EXIFReader().read(dir / "a.dng")),
              describe({"Velliform", "Test", {}, {}, {}, {}, {}, {}, {}, {}, 320, 240, "RGB"}));

    // The encoder carries a tagged JPEG's EXIF into the HEIC, as phones write it.
    const auto jpeg = tagged(dir, "in.jpg", "convert -size 128x96 plasma:", "-EXIF:Make=Apple -EXIF:ISO=80");
    const struct {
        const char* name;
        std::string make, tags;
    } rows[] = {
        {"a.heic", "heif-enc -q 40 " + jpeg.string() + " -o", ""},
        {"a.webp", "cwebp -quiet -q 80 " + jpeg.string() + " -o", "-EXIF:Make=Apple -EXIF:ISO=80"},
    };
    for (const char* kind : {"-q 80", "-lossless"})  // the plain lossy and lossless headers
        EXPECT_EQ(describe(EXIFReader().read(tagged(dir, "b.webp", "cwebp -quiet " + std::string(kind) + " " + jpeg.string() + " -o", ""))),
                  describe({{}, {}, {}, {}, {}, {}, {}, {}, {}, {}, 128, 96, "RGB"})) << kind;
    for (const auto& row : rows)
        EXPECT_EQ(describe(EXIFReader().read(tagged(dir, row.name, row.make, row.tags))),
                  describe({"Apple", {}, {}, {}, {}, "ISO 80", {}, {}, {}, {}, 128, 96, "RGB"}))
            << row.name;
}

TEST(EXIFReader, UnreadableFilesGiveAnEmptyRecord) {
    const TempDir dir;
    std::string why;
    const auto clip = test::makeMedia(dir, test::MediaKind::mp4IndexFirst, &why);
    ASSERT_TRUE(clip) << why;
    test::writeFile(dir / "clip.mp4", *clip);
    const auto photo = tagged(dir, "photo.jpg", "convert -size 64x48 plasma:",
                              "-Make=Canon '-DateTimeOriginal=2019:07:04 18:00:00'");
    auto bytes = test::readFile(photo);
    bytes.resize(30);  // inside the EXIF segment
    test::writeFile(dir / "cut.jpg", bytes);
    test::writeFile(dir / "empty.jpg", {});
    test::writeFile(dir / "noise.jpg", test::randomBytes(5000, 7));
    ASSERT_EQ(::mkfifo((dir / "fifo.jpg").c_str(), 0600), 0);
    // Damaged files must not make the metadata library talk on the terminal.
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    for (const char* name : {"clip.mp4", "cut.jpg", "empty.jpg", "noise.jpg", "missing.jpg", "fifo.jpg", "."})
        EXPECT_EQ(EXIFReader().read(dir / name), EXIFData{}) << name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace vf
