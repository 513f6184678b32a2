#include "thumbnailer/JpegEighth.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <jpeglib.h>

#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {

// A flat grey picture from libjpeg in that many valid scans, each coefficient in one of
// its own at the coarsest bit and then refined a bit at a time: a progression a decoder
// must follow to its end (cjpeg's scan scripts stop at 100).
std::vector<std::uint8_t> flatJpeg(int side, int components, int scans) {
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
    c.scan_info = script.data();
    c.num_scans = scans;
    jpeg_start_compress(&c, TRUE);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(side * components), 128);
    for (JSAMPROW line = row.data(); c.next_scanline < c.image_height;) jpeg_write_scanlines(&c, &line, 1);
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<std::uint8_t> out(data, data + size);
    std::free(data);
    return out;
}

namespace {

using Bytes = std::vector<std::uint8_t>;

// A file of tools/make-test-media's JPEG set: pictures encoded by cjpeg, and their eighths
// as libjpeg decodes them (djpeg -scale 1/8).
Bytes media(const std::string& name) {
    static const test::TempDir dir;
    static std::string why;
    static const bool made = test::testMedia("thumbnail", dir.path(), &why);
    EXPECT_TRUE(made) << why;
    return test::readFile(dir / "jpeg" / name);
}

// The offset of the first marker from `from` whose code lies in [lo, hi].
std::size_t marker(const Bytes& b, int lo, int hi, std::size_t from = 2) {
    for (std::size_t i = from; i + 9 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] >= lo && b[i + 1] <= hi) return i;
    ADD_FAILURE() << "no marker " << lo;
    return 0;
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
        const std::optional<EighthPicture> got = decodeJpegEighth(media(name + std::string(".jpg")), kMany);
        ASSERT_TRUE(got);
        // libjpeg's own eighth as a PPM or PGM: the same header, then the same pixels.
        const Bytes pnm = media(name + std::string(".eighth.pnm"));
        const std::string want(pnm.begin(), pnm.end());
        const std::string header = (got->bands == 3 ? "P6\n" : "P5\n") + std::to_string(got->width) + " " +
                                   std::to_string(got->height) + "\n255\n";
        ASSERT_EQ(want.substr(0, header.size()), header);
        ASSERT_EQ(want.size(), header.size() + got->pixels.size());
        int worst = 0;
        for (std::size_t i = 0; i < got->pixels.size(); ++i)
            worst = std::max(worst, std::abs(got->pixels[i] - static_cast<std::uint8_t>(want[header.size() + i])));
        EXPECT_LE(worst, tolerance);
    }
}

TEST(JpegEighth, LeavesWhatItDoesNotReadToTheFullDecoder) {
    for (const char* name : {"progressive", "arithmetic", "cmyk", "icc"})
        EXPECT_FALSE(decodeJpegEighth(media(name + std::string(".jpg")), kMany)) << name;

    const Bytes good = media("restart4.jpg");
    ASSERT_TRUE(decodeJpegEighth(good, kMany));
    const Bytes cut(good.begin(), good.begin() + std::ssize(good) / 2);
    const std::size_t restart = marker(good, 0xD0, 0xD7, good.size() / 2), scan = marker(good, 0xDA, 0xDA);
    const std::pair<const char*, Bytes> damaged[] = {
        {"cut in the scan", cut},
        {"cut, with an end marker", test::with(cut, cut.size() - 2, {0xFF, 0xD9})},
        {"a restart marker out of turn",
         test::with(good, restart + 1, {static_cast<std::uint8_t>(0xD0 + ((good[restart + 1] - 0xD0 + 3) & 7))})},
        {"Huffman counts of more codes than fit", test::with(good, marker(good, 0xC4, 0xC4) + 5, {3})},  // 3 of one bit
        {"components scanned in another order than the frame's",
         test::with(good, scan + 5, {good[scan + 7], good[scan + 8], good[scan + 5], good[scan + 6]})},
        {"noise", test::randomBytes(4096, 3)},
        {"nothing", {}},
    };
    for (const auto& [name, bytes] : damaged) EXPECT_FALSE(decodeJpegEighth(bytes, kMany)) << name;
}

TEST(JpegEighth, KnowsFromTheHeaderWhetherThePictureIsWanted) {
    const Bytes jpeg = media("420.jpg");  // 640 x 480: an eighth is 80 x 60
    EXPECT_TRUE(decodeJpegEighth(jpeg, 640 * 480, 80));
    EXPECT_FALSE(decodeJpegEighth(jpeg, 640 * 480 - 1, 80));
    EXPECT_FALSE(decodeJpegEighth(jpeg, kMany, 81));
}

// Counted as libjpeg reads them; the work is scans times the pixels the frame claims.
TEST(JpegWork, ScansAndPixelsBoundTheFullDecode) {
    auto claimingLarge = [](const Bytes& jpeg) {
        return test::with(jpeg, marker(jpeg, 0xC2, 0xC2) + 5, {0x20, 0, 0x20, 0});
    };
    const struct {
        Bytes file;
        int scans;
        std::uint64_t pixels;
        bool allowed;
    } rows[] = {
        {media("420.jpg"), 1, 640 * 480, true},
        {media("progressive.jpg"), 10, 640 * 480, true},  // the usual progression for colour
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

}  // namespace
}  // namespace vf
