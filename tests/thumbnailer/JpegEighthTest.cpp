#include "thumbnailer/JpegEighth.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>
#include <jpeglib.h>
#include <string>
#include <vector>

#include "platform/Thumbnailer.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A picture tools/make-test-media encoded with cjpeg, by name.
Bytes encoded(const std::string& name) {
    static const test::TempDir media;
    static const bool made = [] {
        std::string why;
        const bool ok = test::testMedia("thumbnail", media.path(), &why);
        if (!ok) ADD_FAILURE() << why;
        return ok;
    }();
    return made ? test::readFile(media / "jpeg" / (name + ".jpg")) : Bytes();
}

// One flat grey side x side picture from libjpeg: baseline (scans 1), in the usual
// progression (0), or in that many valid scans, each coefficient in one of its own at
// the coarsest bit and then refined a bit at a time, as a decoder must follow to the end.
Bytes flatJpeg(int side, int components, int scans) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &data, &size);
    c.image_width = c.image_height = static_cast<JDIMENSION>(side);
    c.input_components = components;
    c.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c);
    std::vector<jpeg_scan_info> script;
    for (int bit = 10; bit >= 0; --bit) {  // 10: libjpeg's coarsest for 8 bits
        const int above = bit == 10 ? 0 : bit + 1;
        script.push_back({components, {0, 1, 2, 3}, 0, 0, above, bit});
        for (int ci = 0; ci < components; ++ci)
            for (int k = 1; k < 64; ++k) script.push_back({1, {ci, 0, 0, 0}, k, k, above, bit});
    }
    script.resize(static_cast<std::size_t>(scans));
    if (scans == 0) jpeg_simple_progression(&c);
    if (scans > 1) {
        c.scan_info = script.data();
        c.num_scans = scans;
    }
    jpeg_start_compress(&c, TRUE);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(side * components), 128);
    for (JSAMPROW line = row.data(); c.next_scanline < c.image_height;) jpeg_write_scanlines(&c, &line, 1);
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(data, data + size);
    std::free(data);
    return out;
}


// The offset of the first marker from `from` whose code lies in [lo, hi].
std::size_t marker(const Bytes& b, int lo, int hi, std::size_t from = 2) {
    for (std::size_t i = from; i + 9 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] >= lo && b[i + 1] <= hi) return i;
    ADD_FAILURE() << "no marker " << lo;
    return 0;
}

// libjpeg's own decode at an eighth of the size.
EighthPicture reference(const std::vector<std::uint8_t>& jpeg) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&d, TRUE);
    d.scale_num = 1;
    d.scale_denom = 8;
    d.out_color_space = d.num_components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d);
    EighthPicture p;
    p.width = static_cast<int>(d.output_width);
    p.height = static_cast<int>(d.output_height);
    p.bands = d.output_components;
    p.pixels.resize(static_cast<std::size_t>(p.width) * p.height * p.bands);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = p.pixels.data() + static_cast<std::size_t>(d.output_scanline) * p.width * p.bands;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return p;
}

constexpr std::uint64_t kMany = 400'000'000;

TEST(JpegEighth, GivesWhatTheFullDecoderGivesAtAnEighth) {
    // Half-sampled colour (4:2:0) may differ by 2, as the header says; the rest not at all.
    const std::pair<const char*, int> cases[] = {
        {"420", 2},         {"444", 0},           {"422", 0},       {"411", 0},
        {"grey", 0},        {"odd", 2},           {"restart1", 2},  {"grey-restart7", 0},
        {"optimized", 2},   {"adobe-rgb", 0},     {"q100", 2},      {"q5", 2},
    };
    for (const auto& [name, tolerance] : cases) {
        SCOPED_TRACE(name);
        const Bytes jpeg = encoded(name);
        const EighthPicture want = reference(jpeg);
        const std::optional<EighthPicture> got = decodeJpegEighth(jpeg, kMany);
        ASSERT_TRUE(got);
        ASSERT_EQ(got->width, want.width);
        ASSERT_EQ(got->height, want.height);
        ASSERT_EQ(got->bands, want.bands);
        int worst = 0;
        for (std::size_t i = 0; i < want.pixels.size(); ++i)
            worst = std::max(worst, std::abs(int(got->pixels[i]) - int(want.pixels[i])));
        EXPECT_LE(worst, tolerance);
    }
}

TEST(JpegEighth, LeavesWhatItDoesNotReadToTheFullDecoder) {
    for (const char* name : {"progressive", "arithmetic", "cmyk", "icc"})
        EXPECT_FALSE(decodeJpegEighth(encoded(name), kMany)) << name;

    const Bytes good = encoded("restart4");
    ASSERT_TRUE(decodeJpegEighth(good, kMany));
    Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2)), ended = cut;
    ended.insert(ended.end(), {0xFF, 0xD9});
    Bytes misnumbered = good, overfull = good, reordered = good;
    const std::size_t restart = marker(good, 0xD0, 0xD7, good.size() / 2);
    misnumbered[restart + 1] = static_cast<std::uint8_t>(0xD0 + ((good[restart + 1] - 0xD0 + 3) & 7));
    overfull[marker(good, 0xC4, 0xC4) + 5] = 3;  // three codes of one bit
    const std::size_t scan = marker(good, 0xDA, 0xDA);
    std::swap(reordered[scan + 5], reordered[scan + 7]);
    std::swap(reordered[scan + 6], reordered[scan + 8]);
    const std::pair<const char*, const Bytes*> damaged[] = {
        {"cut in the scan", &cut}, {"cut, with an end marker", &ended}, {"a restart marker out of turn", &misnumbered},
        {"Huffman counts of more codes than fit", &overfull},
        {"components scanned in another order than the frame's", &reordered}};
    for (const auto& [name, bytes] : damaged) EXPECT_FALSE(decodeJpegEighth(*bytes, kMany)) << name;
    EXPECT_FALSE(decodeJpegEighth(test::randomBytes(4096, 3), kMany));
    EXPECT_FALSE(decodeJpegEighth({}, kMany));
}

TEST(JpegEighth, KnowsFromTheHeaderWhetherThePictureIsWanted) {
    const Bytes jpeg = encoded("420");  // 640 x 480: an eighth is 80 x 60
    EXPECT_TRUE(decodeJpegEighth(jpeg, 640 * 480, 80));
    EXPECT_FALSE(decodeJpegEighth(jpeg, 640 * 480 - 1, 80));
    EXPECT_FALSE(decodeJpegEighth(jpeg, kMany, 81));
}

// Counted as libjpeg reads them; the work is scans times the pixels the frame claims.
TEST(JpegWork, ScansAndPixelsBoundTheFullDecode) {
    auto claimingLarge = [](Bytes jpeg) {
        const std::size_t frame = marker(jpeg, 0xC2, 0xC2);
        jpeg[frame + 5] = 0x20, jpeg[frame + 6] = 0x00, jpeg[frame + 7] = 0x20, jpeg[frame + 8] = 0x00;  // 8192 x 8192
        return jpeg;
    };
    const struct {
        Bytes file;
        int scans;
        std::uint64_t pixels;
        bool allowed;
    } rows[] = {
        {flatJpeg(64, 1, 1), 1, 64 * 64, true},
        {flatJpeg(64, 1, 0), 6, 64 * 64, true},  // the usual progression for grey
        {flatJpeg(64, 1, 500), 500, 64 * 64, true},
        {flatJpeg(64, 1, 501), 501, 64 * 64, false},
        {claimingLarge(flatJpeg(64, 1, 149)), 149, 8192 * 8192, true},
        {claimingLarge(flatJpeg(64, 1, 150)), 150, 8192 * 8192, false},
    };
    for (const auto& row : rows) {
        const JpegWork work = measureJpeg(row.file, kMaxJpegScans);
        EXPECT_EQ(work.scans, row.scans);
        EXPECT_EQ(work.pixels, row.pixels) << row.scans;
        EXPECT_EQ(fullDecodeAllowed(work), row.allowed) << row.scans;
    }
}

// A picture whose progression runs through 1,500 valid, nearly empty scans:
// each is a pass over all its blocks (10 s of CPU at 8192 x 8192 pixels, where
// the refusal takes no time). The tool says no at once, as its own answer, not
// when its CPU allowance runs out; a picture of a few scans is still made.
TEST(JpegWork, TheToolRefusesAPictureOfThousandsOfScans) {
    const test::TempDir dir;
    ::chmod(dir.path().c_str(), 0777);  // the tool runs as nobody when we are root
    test::writeFile(dir / "many.jpeg", flatJpeg(1024, 3, 1500));
    test::writeFile(dir / "few.jpeg", encoded("progressive"));
    ThumbnailOptions options;
    options.toolPath = test::binPath("tessarine-thumb");
    options.cpuSeconds = options.wallSeconds = 120;  // the refusal must be the tool's own, not the limit's
    for (const std::string name : {"many", "few"}) {
        ThumbnailRunInfo info;
        const bool made = runThumbnailTool({dir / (name + ".jpeg"), dir / (name + ".thumb.jpg")}, options, &info);
        EXPECT_EQ(made, name == "few") << name;
        EXPECT_EQ(info.exitStatus, made ? 0 : 1) << name;  // exited, not killed
    }
}

}  // namespace
}  // namespace vf
