#include "app/EXIFReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>

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
    if (!tags.empty()) r = test::run("exiftool -q -m -overwrite_original " + tags + " '" + path.string() + "'");
    EXPECT_EQ(r.status, 0) << r.output;
    return path;
}

// The fields the file gave, each as "name=text; ".
std::string describe(const EXIFData& d) {
    std::ostringstream s;
    const auto add = [&](const char* name, const auto& v) {
        if (v) s << name << '=' << *v << "; ";
    };
    add("make", d.make), add("model", d.model), add("date", d.dateTaken), add("aperture", d.aperture);
    add("shutter", d.shutterSpeed), add("iso", d.iso), add("focal", d.focalLength), add("bias", d.exposureBias);
    add("flash", d.flash), add("wb", d.whiteBalance), add("w", d.width), add("h", d.height);
    add("colour", d.colorSpace);
    return s.str();
}

std::string read(const std::filesystem::path& file) { return describe(EXIFReader().read(file)); }

TEST(EXIFReader, TextFormsOfTaggedPictures) {
    if (!test::haveTool("exiftool")) GTEST_SKIP() << "exiftool missing";
    const TempDir dir;
    const std::string jpeg = "convert -size 64x48 plasma: -quality 80";
    const struct {
        const char* name;
        std::string make, tags, want;
    } rows[] = {
        {"full.jpg", jpeg,
         "-Make=Canon '-Model=Canon EOS R6' '-DateTimeOriginal=2019:07:04 18:00:00' -FNumber=2.8 "
         "-ExposureTime=1/250 -ISO=400 -FocalLength=50 -ExposureCompensation=0.7 -EXIF:Flash#=1 -WhiteBalance#=0",
         "make=Canon; model=Canon EOS R6; date=2019:07:04 18:00:00; aperture=ƒ/2.8; shutter=1/250s; iso=ISO 400; "
         "focal=50mm; bias=+0.7 EV; flash=Flash fired; wb=Auto WB; w=64; h=48; colour=RGB; "},
        // Only the APEX value: f/2.8 is stored as 2.97.
        {"apex.jpg", jpeg,
         "-ApertureValue=2.8 -ExposureTime=1/3 -ExposureCompensation=-0.33 -FocalLength=4.7 -EXIF:Flash#=16 "
         "-WhiteBalance#=1",
         "aperture=ƒ/2.8; shutter=1/3s; focal=4mm; bias=-0.3 EV; flash=No flash; wb=Manual WB; w=64; h=48; colour=RGB; "},
        // A lens without contacts records an F-number of zero: no aperture.
        {"long.jpg", jpeg, "-ExposureTime=2 -FNumber=0 -ExposureCompensation=0",
         "shutter=2s; bias=±0 EV; w=64; h=48; colour=RGB; "},
        {"grey.jpg", "convert -size 40x30 gradient: -colorspace Gray", "", "w=40; h=30; colour=Gray; "},
        {"cmyk.jpg", "convert -size 40x30 plasma: -colorspace CMYK", "-Model=Print -ExposureTime=0",
         "model=Print; w=40; h=30; colour=CMYK; "},
        {"tagged.png", "convert -size 33x17 plasma:", "-EXIF:Make=Nikon", "make=Nikon; w=33; h=17; colour=RGB; "},
        {"grey.png", "convert -size 20x10 gradient: -colorspace Gray -define png:color-type=0", "",
         "w=20; h=10; colour=Gray; "},
        {"lab.tif", "convert -size 24x12 plasma: -colorspace Lab -compress none", "-Make=Scan",
         "make=Scan; w=24; h=12; colour=Lab; "},
        {"a.gif", "convert -size 30x20 plasma:", "", "w=30; h=20; colour=RGB; "},
        {"a.bmp", "convert -size 30x20 plasma: -define bmp:format=bmp2", "", "w=30; h=20; colour=RGB; "},
        {"b.bmp", "convert -size 30x20 plasma: -flip -define bmp:format=bmp3", "", "w=30; h=20; colour=RGB; "},
    };
    std::string tag = "exiftool";  // one run for every picture: each start of it costs a second
    for (const auto& row : rows)
        if (const auto path = tagged(dir, row.name, row.make, ""); !row.tags.empty())
            tag += " " + row.tags + " '" + path.string() + "' -execute";
    const auto tagging = test::run(tag + " -common_args -q -m -overwrite_original");
    ASSERT_EQ(tagging.status, 0) << tagging.output;
    for (const auto& row : rows) EXPECT_EQ(read(dir / row.name), row.want) << row.name;
}

TEST(EXIFReader, CameraFormatsGiveTheFullImageAndDamagedFilesNothing) {
    const TempDir dir;
    std::string why;
    // A raw file's first directory is its preview; the size is the sensor's.
    const auto preview = test::makeMedia(dir, test::MediaKind::jpegWithThumbnail, &why);
    ASSERT_TRUE(preview) << why;
    test::writeFile(dir / "a.dng", test::makeDng(*preview, 640, 480, 320, 240));
    EXPECT_EQ(read(dir / "a.dng"), "make=Velliform; model=Test; w=320; h=240; colour=RGB; ");
    // The encoder carries a tagged JPEG's EXIF into the HEIC, as phones write it; the
    // plain lossy and lossless WebP headers have none.
    const auto jpeg = tagged(dir, "in.jpg", "convert -size 128x96 plasma:", "-EXIF:Make=Apple -EXIF:ISO=80");
    const std::string tags = "make=Apple; iso=ISO 80; w=128; h=96; colour=RGB; ", none = "w=128; h=96; colour=RGB; ";
    const struct {
        const char* name;
        std::string make, tags, want;
    } rows[] = {
        {"a.heic", "heif-enc -q 40 " + jpeg.string() + " -o", "", tags},
        {"a.webp", "cwebp -quiet -q 80 " + jpeg.string() + " -o", "-EXIF:Make=Apple -EXIF:ISO=80", tags},
        {"b.webp", "cwebp -quiet -q 80 " + jpeg.string() + " -o", "", none},
        {"c.webp", "cwebp -quiet -lossless " + jpeg.string() + " -o", "", none},
    };
    for (const auto& row : rows) EXPECT_EQ(read(tagged(dir, row.name, row.make, row.tags)), row.want) << row.name;

    const auto clip = test::makeMedia(dir, test::MediaKind::mp4IndexFirst, &why);
    ASSERT_TRUE(clip) << why;
    test::writeFile(dir / "clip.mp4", *clip);
    const auto whole = test::readFile(jpeg);
    test::writeFile(dir / "cut.jpg", {whole.begin(), whole.begin() + 30});  // inside the EXIF segment
    test::writeFile(dir / "empty.jpg", {});
    test::writeFile(dir / "noise.jpg", test::randomBytes(5000, 7));
    ASSERT_EQ(::mkfifo((dir / "fifo.jpg").c_str(), 0600), 0);
    // Clips and damaged files give no field, nor make the metadata library talk on the terminal.
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    for (const char* name : {"clip.mp4", "cut.jpg", "empty.jpg", "noise.jpg", "missing.jpg", "fifo.jpg", "."})
        EXPECT_EQ(EXIFReader().read(dir / name), EXIFData{}) << name;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace vf
