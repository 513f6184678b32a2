// The TIFF directory walk, RW2, and the raw formats with their own headers.
#include <gtest/gtest.h>

#include "helper/formats/FileSizeCalculator.h"
#include "tests/support/MediaMeasure.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::ByteWriter;
using test::measure;
using test::TiffEntry;
using test::writeIfd;
using test::writeTiffHeader;

constexpr std::uint16_t kShort = 3, kLong = 4, kAscii = 2;

// Header and one directory at 8; the file is grown to `size` bytes.
ByteWriter tiff(bool little, std::uint16_t version, const std::vector<TiffEntry>& entries, std::size_t size,
                std::uint32_t next = 0) {
    ByteWriter w(little);
    writeTiffHeader(w, version, 8);
    writeIfd(w, 8, entries, next);
    w.resize(size);
    return w;
}

std::uint64_t tiffLength(const std::vector<std::uint8_t>& file, FileFormat f = FileFormat::tiff) {
    return measure(f, test::embedAt(file, 1234, file.size() + 8192, 1), 1234);
}

TEST(FileSizeCalculatorTiff, OneStripSetsTheLength) {
    const auto w = tiff(true, 42, {{256, kShort, 1, 100}, {273, kLong, 1, 1000}, {279, kLong, 1, 50'000}}, 51'000);
    EXPECT_EQ(tiffLength(w.bytes), 51'000u);
    // Every TIFF-family format uses the walk.
    for (FileFormat f : {FileFormat::cr2, FileFormat::nef, FileFormat::dng, FileFormat::fff, FileFormat::raw})
        EXPECT_EQ(tiffLength(w.bytes, f), 51'000u) << displayName(f);
}

TEST(FileSizeCalculatorTiff, SmallFilesVersionsAndByteOrder) {
    EXPECT_EQ(tiffLength(tiff(true, 42, {{273, kLong, 1, 100}, {279, kLong, 1, 300}}, 400).bytes), 0u);
    for (std::uint16_t v : {0x4F52, 0x5352, 85})
        EXPECT_EQ(tiffLength(tiff(true, v, {{273, kLong, 1, 600}, {279, kLong, 1, 400}}, 1000).bytes), 1000u) << v;
    EXPECT_EQ(tiffLength(tiff(true, 43, {{273, kLong, 1, 600}, {279, kLong, 1, 400}}, 1000).bytes), 0u);
    // Big-endian count-1 SHORT: the value is in the field's first two bytes.
    EXPECT_EQ(tiffLength(tiff(false, 42, {{273, kLong, 1, 2000}, {279, kShort, 1, 3000}}, 5000).bytes), 5000u);
    // Two SHORT counts stand in the field itself; the two LONG offsets at 200.
    ByteWriter two = tiff(true, 42, {{273, kLong, 2, 200}, {279, kShort, 2, 1500 | (2500u << 16)}}, 5000);
    two.u32(200, 1000);
    two.u32(204, 1500);
    EXPECT_EQ(tiffLength(two.bytes), 4000u);
}

TEST(FileSizeCalculatorTiff, StripLists) {
    // 20,000 strips of 100 bytes from 200,000 on, offsets and counts as arrays.
    const std::uint32_t n = 20'000;
    ByteWriter w = tiff(true, 42, {{273, kLong, n, 1000}, {279, kShort, n, 1000 + 4 * n}}, 0);
    for (std::uint32_t i = 0; i < n; ++i) {
        w.u32(1000 + 4 * i, 200'000 + 100 * i);
        w.u16(1000 + 4 * n + 2 * i, 100);
    }
    w.resize(200'000 + 100 * n);
    EXPECT_EQ(tiffLength(w.bytes), 200'000u + 100 * n);
    // Counts no file has: the list is not read (and nothing is allocated for it).
    auto huge = tiff(true, 42, {{273, kLong, 0xFFFFFFFF, 1000}, {279, kLong, 0xFFFFFFFF, 2000}, {270, kAscii, 30, 900}},
                     3000);
    EXPECT_EQ(tiffLength(huge.bytes), 930u);
}

TEST(FileSizeCalculatorTiff, SubIfdsCyclesOutOfLineDataAndTheDirectories) {
    // Main directory with a small preview, SubIFD with the raw strip, chain ends with 0.
    ByteWriter sub = tiff(true, 42, {{273, kLong, 1, 600}, {279, kLong, 1, 100}, {330, kLong, 1, 800}}, 0);
    writeIfd(sub, 800, {{273, kLong, 1, 10'000}, {279, kLong, 1, 90'000}}, 0);
    sub.resize(100'000);
    EXPECT_EQ(tiffLength(sub.bytes), 100'000u);

    // IFD0 -> IFD1 -> IFD0: each is walked once, and the walk ends.
    ByteWriter cycle = tiff(false, 42, {{273, kLong, 1, 2000}, {279, kLong, 1, 1000}}, 0, 500);
    writeIfd(cycle, 500, {{273, kLong, 1, 3000}, {279, kLong, 1, 7000}}, 8);
    cycle.resize(10'000);
    EXPECT_EQ(tiffLength(cycle.bytes), 10'000u);

    // A maker string ending after the last strip extends the length.
    auto text = tiff(true, 42, {{273, kLong, 1, 1000}, {279, kLong, 1, 1000}, {271, kAscii, 500, 2000}}, 2500);
    EXPECT_EQ(tiffLength(text.bytes), 2500u);
    // An entry that claims data beyond what classic TIFF can address does not.
    auto wild = tiff(true, 42, {{273, kLong, 1, 1000}, {279, kLong, 1, 1000}, {50000, 12, 0x40000000, 5}}, 2000);
    EXPECT_EQ(tiffLength(wild.bytes), 2000u);

    // A directory written after the image data, as many writers do, is part of the file.
    ByteWriter last(true);
    writeTiffHeader(last, 42, 3000);
    writeIfd(last, 3000, {{273, kLong, 1, 8}, {279, kLong, 1, 2992}}, 0);
    EXPECT_EQ(last.bytes.size(), 3000u + 2 + 24 + 4);
    EXPECT_EQ(tiffLength(last.bytes), last.bytes.size());
}

TEST(FileSizeCalculatorTiff, UnreadableDirectoriesAreSkipped) {
    // Entry count 0, then above 999: skipped, the strip from the good one counts.
    ByteWriter w = tiff(true, 42, {{273, kLong, 1, 4000}, {279, kLong, 1, 1000}, {330, kLong, 2, 600}}, 0);
    w.u32(600, 700);
    w.u32(604, 710);
    w.u16(700, 0);
    w.u16(710, 1000);
    w.resize(5000);
    EXPECT_EQ(tiffLength(w.bytes), 5000u);
    // A directory cut off by the device's end.
    ByteWriter cut(true);
    writeTiffHeader(cut, 42, 8);
    writeIfd(cut, 8, {{273, kLong, 1, 600}, {279, kLong, 1, 100}}, 0);
    cut.bytes.resize(20);
    EXPECT_EQ(measure(FileFormat::tiff, cut.bytes, 0), 0u);
}

std::vector<std::uint8_t> rw2(const std::vector<TiffEntry>& entries, std::uint32_t ifd = 24) {
    ByteWriter w(true);
    w.raw(0, {0x49, 0x49, 0x55, 0x00});
    w.u32(4, ifd);
    if (!entries.empty()) writeIfd(w, ifd, entries, 0);
    w.resize(4096);
    return w.bytes;
}

TEST(FileSizeCalculatorRw2, EstimateFromTheFirstDirectory) {
    EXPECT_EQ(measure(FileFormat::rw2, rw2({{256, kLong, 1, 5184}, {257, kShort, 1, 3888}, {258, kShort, 1, 12}}), 0),
              34'427'392u);
    EXPECT_EQ(measure(FileFormat::rw2, rw2({{257, kShort, 1, 3888}, {258, kShort, 1, 12}}), 0), 20'971'520u);
    EXPECT_EQ(measure(FileFormat::rw2, rw2({}, 4), 0), 20'971'520u);
    // A directory reaching past the first 512 bytes.
    std::vector<TiffEntry> many(45, {1, kShort, 1, 0});
    EXPECT_EQ(measure(FileFormat::rw2, rw2(many), 0), 20'971'520u);
    // Only the block cannot be read: 0.
    EXPECT_EQ(measure(FileFormat::rw2, {0x49, 0x49, 0x55, 0x00, 0x18}, 0), 0u);
    // Where the file lies in its block does not matter.
    const auto f = rw2({{256, kLong, 1, 5184}, {257, kShort, 1, 3888}, {258, kShort, 1, 12}});
    EXPECT_EQ(measure(FileFormat::rw2, test::embedAt(f, 3000, 10'000, 2), 3000, 4096), 34'427'392u);
}

TEST(FileSizeCalculatorCrw, LengthFromTheRootHeapDirectory) {
    const auto file = test::crwFile(300'000, 3);
    for (std::uint64_t off : {0u, 4100u})
        EXPECT_EQ(measure(FileFormat::crw, test::embedAt(file, off, off + file.size() + 50'000, 4), off), file.size());
    // Raw data that spans several 4 MiB reads.
    const auto big = test::crwFile(9'000'000, 5);
    EXPECT_EQ(measure(FileFormat::crw, test::embedAt(big, 512, big.size() + 1000, 6), 512), big.size());
    // No root directory to be found: the default.
    auto broken = file;
    broken[broken.size() - 1] ^= 0x40;
    EXPECT_EQ(measure(FileFormat::crw, test::embedAt(broken, 0, broken.size() + 1000, 7), 0), 12'582'912u);
    EXPECT_EQ(measure(FileFormat::crw, std::vector<std::uint8_t>(file.begin(), file.begin() + 10), 0), 0u);
}

TEST(FileSizeCalculatorRaf, LargerOfJpegAndRawEnds) {
    ByteWriter w(false);
    w.text(0, "FUJIFILMCCD-RAW 0201FF383501");
    w.u32(84, 148);
    w.u32(88, 1'000'000);
    w.u32(100, 1'100'000);
    w.u32(104, 2'000'000);
    w.resize(512);
    EXPECT_EQ(measure(FileFormat::raf, w.bytes, 0), 31'457'280u);
    w.u32(104, 20'000'000);
    EXPECT_EQ(measure(FileFormat::raf, w.bytes, 0), 21'100'000u);
    EXPECT_EQ(measure(FileFormat::raf, test::embedAt(w.bytes, 3000, 8192, 8), 3000, 4096), 21'100'000u);
    w.bytes.resize(100);
    EXPECT_EQ(measure(FileFormat::raf, w.bytes, 0), 0u);
}

TEST(FileSizeCalculatorIiq, SizeFieldOrDefault) {
    ByteWriter w(true);
    w.text(0, "IIII");
    w.u32(8, 45'000'000);
    EXPECT_EQ(measure(FileFormat::iiq, w.bytes, 0), 45'000'000u);
    w.u32(8, 0);
    EXPECT_EQ(measure(FileFormat::iiq, w.bytes, 0), 83'886'080u);
    w.bytes.resize(10);
    EXPECT_EQ(measure(FileFormat::iiq, w.bytes, 0), 0u);
}

TEST(FileSizeCalculatorX3f, DirectorySearchAndFallback) {
    const auto file = test::x3fFile(100'000, 3, true, 2640, 1760);
    EXPECT_EQ(measure(FileFormat::x3f, test::embedAt(file, 4099, file.size() + 9000, 9), 4099), file.size());
    // A directory across the boundary of two 4 MiB reads.
    const auto split = test::x3fFile(4'194'304 - 40 - 6, 2, true, 2640, 1760);
    EXPECT_EQ(measure(FileFormat::x3f, test::embedAt(split, 0, split.size() + 100, 10), 0), split.size());
    // The pointer does not give the directory's position: the dimensions.
    const auto wrong = test::x3fFile(100'000, 3, false, 2640, 1760);
    EXPECT_EQ(measure(FileFormat::x3f, wrong, 0), 2640u * 1760 * 9 + 4'194'304);
    EXPECT_EQ(measure(FileFormat::x3f, test::x3fFile(1000, 3, false, 100, 1760), 0), 20'971'520u);
}

TEST(FileSizeCalculatorMrw, OuterBlockAndPrdDimensions) {
    ByteWriter w(false);
    w.raw(0, {0x00, 'M', 'R', 'M'});
    w.u32(4, 0);
    w.resize(512);
    EXPECT_EQ(measure(FileFormat::mrw, w.bytes, 0), 16'777'216u);
    w.u32(4, 30'000);
    w.raw(8, {0x00, 'P', 'R', 'D'});
    w.u16(24, 3000);
    w.u16(26, 4000);
    w.u8(32, 12);
    EXPECT_EQ(measure(FileFormat::mrw, w.bytes, 0), 30'000u + 18'000'000 + 8);
    w.raw(8, {0x00, 'T', 'T', 'W'});
    EXPECT_EQ(measure(FileFormat::mrw, w.bytes, 0), 30'000u + 16'777'224);
}

}  // namespace
}  // namespace vf
