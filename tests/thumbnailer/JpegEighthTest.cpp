#include "thumbnailer/JpegEighth.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <sys/stat.h>
#include <jpeglib.h>
#include <string>
#include <vector>

#include "platform/Thumbnailer.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

struct Encoding {
    int width = 640, height = 480;
    int components = 3;             // 1 grey, 3 colour, 4 CMYK
    int h = 2, v = 2;               // the first component's sampling; the others 1x1
    unsigned restartUnits = 0;      // MCUs per restart interval
    bool progressive = false, arithmetic = false, optimize = false, adobeRgb = false, icc = false;
    bool flat = false;  // one grey all over: cheap to encode at any size
    int scans = 0;      // progressive in this many valid scans, each coefficient alone, when more than 0
    int quality = 90;
};

// Noise and edges in brightness, and a colour of its own for each 16x16
// square: the eighth then has every detail a block's mean can show, and
// half-sampled colour loses nothing to the mean of its blocks.
std::vector<std::uint8_t> picture(const Encoding& e) {
    const int bands = e.components;
    std::vector<std::uint8_t> px(static_cast<std::size_t>(e.width) * e.height * bands, 128);
    if (e.flat) return px;
    std::uint32_t seed = 12345;
    for (int y = 0; y < e.height; ++y)
        for (int x = 0; x < e.width; ++x) {
            seed = seed * 1103515245u + 12345u;
            const int detail = ((x / 5 + y / 3) % 2) * 30 + (x * 3 + y) % 20 + static_cast<int>(seed >> 28) - 27;
            const std::uint32_t square = static_cast<std::uint32_t>(x / 16) * 7919u + static_cast<std::uint32_t>(y / 16) * 104729u;
            for (int b = 0; b < bands; ++b) {
                const int colour = 60 + static_cast<int>((square * (b + 3)) % 130);
                px[(static_cast<std::size_t>(y) * e.width + x) * bands + b] = static_cast<std::uint8_t>(colour + detail);
            }
        }
    return px;
}

std::vector<std::uint8_t> encode(const Encoding& e) {
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* data = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &data, &size);
    c.image_width = static_cast<JDIMENSION>(e.width);
    c.image_height = static_cast<JDIMENSION>(e.height);
    c.input_components = e.components;
    c.in_color_space = e.components == 1 ? JCS_GRAYSCALE : e.components == 4 ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&c);
    if (e.adobeRgb) jpeg_set_colorspace(&c, JCS_RGB);
    jpeg_set_quality(&c, e.quality, TRUE);
    if (e.components == 3 && !e.adobeRgb) {
        c.comp_info[0].h_samp_factor = e.h;
        c.comp_info[0].v_samp_factor = e.v;
    }
    c.restart_interval = e.restartUnits;
    c.optimize_coding = e.optimize;
    c.arith_code = e.arithmetic;
    if (e.progressive) jpeg_simple_progression(&c);
    // Every coefficient of every component in a scan of its own at the coarsest bit,
    // then refined a bit at a time: a progression a decoder must follow to its end.
    std::vector<jpeg_scan_info> script;
    if (e.scans > 0) {
        constexpr int kCoarsest = 10;  // libjpeg's limit for 8 bits
        script.push_back({e.components, {0, 1, 2, 3}, 0, 0, 0, kCoarsest});
        for (int ci = 0; ci < e.components; ++ci)
            for (int k = 1; k < 64; ++k) script.push_back({1, {ci, 0, 0, 0}, k, k, 0, kCoarsest});
        for (int bit = kCoarsest; bit > 0 && static_cast<int>(script.size()) < e.scans; --bit) {
            script.push_back({e.components, {0, 1, 2, 3}, 0, 0, bit, bit - 1});
            for (int ci = 0; ci < e.components; ++ci)
                for (int k = 1; k < 64 && static_cast<int>(script.size()) < e.scans; ++k)
                    script.push_back({1, {ci, 0, 0, 0}, k, k, bit, bit - 1});
        }
        c.scan_info = script.data();
        c.num_scans = static_cast<int>(script.size());
    }
    jpeg_start_compress(&c, TRUE);
    if (e.icc) {
        const std::vector<std::uint8_t> profile(200, 7);
        jpeg_write_icc_profile(&c, profile.data(), static_cast<unsigned>(profile.size()));
    }
    const std::vector<std::uint8_t> px = picture(e);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(px.data() + static_cast<std::size_t>(c.next_scanline) * e.width * e.components);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<std::uint8_t> out(data, data + size);
    std::free(data);
    return out;
}

using Bytes = std::vector<std::uint8_t>;

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
    const std::pair<const char*, std::function<void(Encoding&)>> cases[] = {
        {"4:2:0", [](Encoding&) {}},
        {"4:4:4", [](Encoding& e) { e.h = e.v = 1; }},
        {"4:2:2", [](Encoding& e) { e.v = 1; }},
        {"4:1:1", [](Encoding& e) { e.h = 4, e.v = 1; }},
        {"grey", [](Encoding& e) { e.components = 1; }},
        {"odd size", [](Encoding& e) { e.width = 1001, e.height = 333; }},
        {"restart every unit", [](Encoding& e) { e.restartUnits = 1; }},
        {"restart every 7 units, grey", [](Encoding& e) { e.restartUnits = 7, e.components = 1; }},
        {"optimized tables", [](Encoding& e) { e.optimize = true; }},
        {"RGB with the Adobe marker", [](Encoding& e) { e.adobeRgb = true; }},
        {"highest quality", [](Encoding& e) { e.quality = 100; }},
        {"lowest quality", [](Encoding& e) { e.quality = 5; }},
    };
    for (const auto& [name, tweak] : cases) {
        SCOPED_TRACE(name);
        Encoding e;
        tweak(e);
        const std::vector<std::uint8_t> jpeg = encode(e);
        const EighthPicture want = reference(jpeg);
        const std::optional<EighthPicture> got = decodeJpegEighth(jpeg, kMany);
        ASSERT_TRUE(got);
        ASSERT_EQ(got->width, want.width);
        ASSERT_EQ(got->height, want.height);
        ASSERT_EQ(got->bands, want.bands);
        int worst = 0;
        for (std::size_t i = 0; i < want.pixels.size(); ++i)
            worst = std::max(worst, std::abs(int(got->pixels[i]) - int(want.pixels[i])));
        EXPECT_LE(worst, e.h == 2 && e.v == 2 && e.components == 3 && !e.adobeRgb ? 2 : 0);  // see the header
    }
}

TEST(JpegEighth, LeavesWhatItDoesNotReadToTheFullDecoder) {
    Encoding progressive, arithmetic, cmyk, icc;
    progressive.progressive = true;
    arithmetic.arithmetic = true;
    cmyk.components = 4;
    icc.icc = true;
    for (const Encoding* e : {&progressive, &arithmetic, &cmyk, &icc}) EXPECT_FALSE(decodeJpegEighth(encode(*e), kMany));

    Encoding withRestarts;
    withRestarts.restartUnits = 4;
    const Bytes good = encode(withRestarts);
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
    Encoding e;  // 640 x 480: an eighth is 80 x 60
    const std::vector<std::uint8_t> jpeg = encode(e);
    EXPECT_TRUE(decodeJpegEighth(jpeg, 640 * 480, 80));
    EXPECT_FALSE(decodeJpegEighth(jpeg, 640 * 480 - 1, 80));
    EXPECT_FALSE(decodeJpegEighth(jpeg, kMany, 81));
}

// Counted as libjpeg reads them; the work is scans times the pixels the frame claims.
TEST(JpegWork, ScansAndPixelsBoundTheFullDecode) {
    auto scans = [](int n, bool claimLarge = false) {
        Encoding e;
        e.width = e.height = 64;
        e.components = 1, e.flat = true;
        e.progressive = n == 6;  // the usual progression for grey
        if (n > 6) e.scans = n;
        std::vector<std::uint8_t> jpeg = encode(e);
        if (claimLarge) {
            const std::size_t frame = marker(jpeg, 0xC2, 0xC2);
            jpeg[frame + 5] = 0x20, jpeg[frame + 6] = 0x00, jpeg[frame + 7] = 0x20, jpeg[frame + 8] = 0x00;  // 8192 x 8192
        }
        return jpeg;
    };
    const struct {
        std::vector<std::uint8_t> file;
        int scans;
        std::uint64_t pixels;
        bool allowed;
    } rows[] = {
        {scans(1), 1, 64 * 64, true},           {scans(6), 6, 64 * 64, true},
        {scans(500), 500, 64 * 64, true},       {scans(501), 501, 64 * 64, false},
        {scans(149, true), 149, 8192 * 8192, true}, {scans(150, true), 150, 8192 * 8192, false},
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
    Encoding many, few;
    many.width = many.height = few.width = few.height = 1024;
    many.flat = few.flat = true;
    many.scans = 1500;
    few.progressive = true;
    const test::TempDir dir;
    ::chmod(dir.path().c_str(), 0777);  // the tool runs as nobody when we are root
    test::writeFile(dir / "many.jpeg", encode(many));
    test::writeFile(dir / "few.jpeg", encode(few));
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
