// PNG, GIF, BMP and PPM rules on synthetic files.
#include <gtest/gtest.h>

#include <string>

#include "helper/formats/FileSizeCalculator.h"
#include "tests/support/MediaMeasure.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::ByteWriter;
using test::measure;

std::vector<std::uint8_t> bytesOf(const std::string& s) { return {s.begin(), s.end()}; }

// PNG signature and chunks of the given types and data lengths.
std::vector<std::uint8_t> png(const std::vector<std::pair<std::string, std::uint32_t>>& chunks) {
    ByteWriter w(false);
    w.raw(0, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A});
    std::size_t p = 8;
    for (const auto& [type, length] : chunks) {
        w.u32(p, length);
        w.text(p + 4, type);
        const bool big = length > (1u << 20);
        if (!big) w.resize(p + 12 + length);
        p += 12 + (big ? 0 : length);
    }
    return w.bytes;
}

TEST(FileSizeCalculatorPng, WalksToIendAndFallsBackOnHugeOrMissingChunks) {
    const auto file = png({{"IHDR", 13}, {"IDAT", 5000}, {"IDAT", 77}, {"IEND", 0}});
    EXPECT_EQ(measure(FileFormat::png, test::embedAt(file, 1001, 20'000, 1), 1001), file.size());
    EXPECT_EQ(measure(FileFormat::png, test::embedAt(png({{"IHDR", 134'217'729}}), 512, 4096, 1), 512), 4'194'304u);
    // The device ends before IEND.
    auto cut = file;
    cut.resize(3000);
    EXPECT_EQ(measure(FileFormat::png, cut, 0), 4'194'304u);
}

TEST(FileSizeCalculatorGif, WalksTheBlocksPastEarly3BBytesToTheTrailer) {
    const auto file = test::gifWithEarlySemicolons();
    ASSERT_LT(std::find(file.begin(), file.end(), 0x3B) - file.begin(), 20);
    for (std::uint64_t off : {0u, 513u, 4095u})
        EXPECT_EQ(measure(FileFormat::gif, test::embedAt(file, off, 9000, 2), off), file.size());
    // Image data longer than one 64 KiB read.
    std::vector<std::uint8_t> big(file.begin(), file.end() - 1);
    big.push_back(0x2C);  // a second image instead of the trailer
    for (std::uint8_t b : {0, 0, 0, 0, 2, 0, 2, 0, 0, 8}) big.push_back(b);
    for (int i = 0; i < 1000; ++i) {
        big.push_back(255);
        for (int j = 0; j < 255; ++j) big.push_back(0x3B);
    }
    big.push_back(0);
    big.push_back(0x3B);
    EXPECT_EQ(measure(FileFormat::gif, test::embedAt(big, 700, 300'000, 3), 700), big.size());
}

TEST(FileSizeCalculatorGif, UnfollowableStructureGivesTheDefault) {
    auto file = test::gifWithEarlySemicolons();
    file[25] = 0x99;  // where the first block should begin
    EXPECT_EQ(measure(FileFormat::gif, test::embedAt(file, 0, 5000, 4), 0), 2'097'152u);
    file = test::gifWithEarlySemicolons();
    file.pop_back();  // the device ends before the trailer
    EXPECT_EQ(measure(FileFormat::gif, file, 0), 2'097'152u);
}

TEST(FileSizeCalculatorBmp, AValidHeaderGivesItsStatedSize) {
    const auto file = test::bmpFile(101, 37, 5);
    EXPECT_EQ(measure(FileFormat::bmp, test::embedAt(file, 3001, 30'000, 6), 3001), file.size());
    // Size field 0: uncompressed pixels give the size; compressed ones the default.
    auto unsized = file;
    unsized[2] = unsized[3] = unsized[4] = unsized[5] = 0;
    EXPECT_EQ(measure(FileFormat::bmp, unsized, 0), file.size());
    unsized[30] = 1;  // RLE8 ...
    unsized[28] = 8;  // ... at 8 bits
    EXPECT_EQ(measure(FileFormat::bmp, unsized, 0), 2'097'152u);
}

TEST(FileSizeCalculatorBmp, HeadersThatAreNoBmpGiveZero) {
    const auto good = test::bmpFile(64, 64, 7);
    struct Fault {
        const char* what;
        std::size_t at;
        std::uint8_t value;
    };
    const Fault faults[] = {
        {"reserved field", 7, 1},          {"DIB header size 41", 14, 41}, {"two planes", 26, 2},
        {"bit depth 7", 28, 7},            {"pixel data beyond the size", 12, 0x40},
        {"size below the pixels", 3, 0x10},   {"size far above the pixels", 5, 0x10},
        {"zero width", 18, 0},             {"unknown compression", 30, 9},
    };
    for (const Fault& f : faults) {
        auto bad = good;
        if (std::string(f.what) == "zero width") bad[19] = 0;
        bad[f.at] = f.value;
        EXPECT_EQ(measure(FileFormat::bmp, bad, 0), 0u) << f.what;
    }
    // "BM" and random bytes, as found inside compressed video: never a BMP.
    int accepted = 0;
    for (std::uint32_t seed = 0; seed < 20'000; ++seed) {
        auto junk = test::randomBytes(64, seed);
        junk[0] = 'B';
        junk[1] = 'M';
        MemoryDevice device(junk);
        FileSizeCalculator calc(512);
        accepted += calc.calculateSize(FileFormat::bmp, device, 0) != 0;
    }
    EXPECT_EQ(accepted, 0);
}

std::vector<std::uint8_t> ppm(const std::string& header, std::size_t pixelBytes) {
    auto f = bytesOf(header);
    f.resize(f.size() + pixelBytes, 0x80);
    return f;
}

TEST(FileSizeCalculatorPpm, HeaderPlusPixels) {
    const std::string header = "P6\n# made by hand\n640 480\n255\n";
    const auto file = ppm(header, 921'600);
    EXPECT_EQ(measure(FileFormat::ppm, test::embedAt(file, 2049, file.size() + 4096, 8), 2049),
              header.size() + 921'600);
    EXPECT_EQ(measure(FileFormat::ppm, ppm("P6 640 480 1023\n", 10), 0), 16 + 2 * 921'600u);
    EXPECT_EQ(measure(FileFormat::ppm, ppm("P6\r\n+3 2\t255\r\n", 18), 0), 14 + 18u);
}

TEST(FileSizeCalculatorPpm, MalformedHeadersGiveZero) {
    for (const std::string h : {"P5\n640 480\n255\n", "P6\n640 -480\n255\n", "P6\n640 480\n0\n", "P6\n640 480\n65536\n",
                                "P6\n0 480\n255\n", "P6\n640 480\n# to the end", "P6\n640",
                                "P6\n99999999999999999999 2\n255\n", "P6\n4294967296 4294967296\n255\n"}) {
        auto f = bytesOf(h);
        EXPECT_EQ(measure(FileFormat::ppm, f, 0), 0u) << h;
    }
}

}  // namespace
}  // namespace vf
