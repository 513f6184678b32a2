// readChunk, the device reads of every rule, and the JPEG rule.
#include "helper/formats/FileSizeCalculator.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/LogCapture.h"
#include "tests/support/MediaMeasure.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::measure;

std::span<const std::uint8_t> dataOf(const FileSizeCalculator::Chunk& c) { return c.bytes.subspan(c.start); }

using test::LogCapture;

TEST(FileSizeCalculatorReadChunk, ServesTheHintWithoutReadingAndFallsBackOutsideIt) {
    const auto image = test::randomBytes(20'000, 1);
    MemoryDevice device(image);
    FileSizeCalculator calc(512);
    const std::span<const std::uint8_t> all(image);
    calc.setHint(all.subspan(4096, 8192), 4096);

    auto c = calc.readChunk(5000, 100, device);
    ASSERT_TRUE(c);
    EXPECT_EQ(device.readCount(), 0u);
    EXPECT_EQ(c->available(), 100u);
    EXPECT_TRUE(std::equal(dataOf(*c).begin(), dataOf(*c).end(), image.begin() + 5000));

    // Reaching past the hint's end: read from the device instead.
    c = calc.readChunk(12'200, 100, device);
    ASSERT_TRUE(c);
    EXPECT_EQ(device.readCount(), 1u);
    EXPECT_TRUE(std::equal(dataOf(*c).begin(), dataOf(*c).end(), image.begin() + 12'200));

    calc.clearHint();
    c = calc.readChunk(5000, 100, device);
    EXPECT_EQ(device.readCount(), 2u);
}

TEST(FileSizeCalculatorReadChunk, ReadsFromAlignedOffsetsAndHandsBackTheBytesAtTheDeviceEnd) {
    test::FaultyDevice device(test::randomBytes(10'000, 2));
    FileSizeCalculator calc(512);
    auto c = calc.readChunk(1000, 700, device);
    ASSERT_TRUE(c);
    EXPECT_EQ(device.reads.back(), (std::pair<std::uint64_t, std::size_t>{512, 1536}));
    EXPECT_EQ(c->start, 488u);
    EXPECT_EQ(c->available(), 700u);

    // The device ends 1,000 bytes in: those bytes are data, not a failure.
    c = calc.readChunk(9000, 4096, device);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->available(), 1000u);
    EXPECT_EQ(device.reads.back().first % 512, 0u);

    EXPECT_FALSE(calc.readChunk(10'000, 10, device));  // no byte at the offset
    EXPECT_FALSE(calc.readChunk(0, 0, device));
    EXPECT_FALSE(calc.readChunk(0, 1ull << 40, device));
}

TEST(FileSizeCalculatorReadChunk, AFailedReadIsAFailureEvenWithBytesBeforeIt) {
    test::FaultyDevice device(test::randomBytes(10'000, 3));
    device.failRange(6144, 6656);
    FileSizeCalculator calc(512);
    EXPECT_FALSE(calc.readChunk(5000, 2000, device));
    EXPECT_TRUE(calc.readChunk(1000, 2000, device));
}

// Every rule over random data and over a planted signature: reads start at
// multiples of the block size, the walks end, and the hint changes nothing.
TEST(FileSizeCalculatorRules, EveryRuleReadsAlignedAndAgreesWithTheHint) {
    auto image = test::randomBytes(3 << 19, 4);
    const std::uint64_t offsets[] = {0, 4096, 4099, 1'000'001};
    for (std::uint64_t blockSize : {512u, 4096u}) {
        for (FileFormat f : allFormats()) {
            for (std::uint64_t off : offsets) {
                test::FaultyDevice device(image);
                FileSizeCalculator calc(blockSize);
                (void)calc.calculateSize(f, device, off);
                (void)calc.plausibleStart(f, device, off);
                for (const auto& [at, n] : device.reads) {
                    ASSERT_EQ(at % blockSize, 0u) << displayName(f) << " read at " << at;
                    ASSERT_GT(n, 0u);
                }
                measure(f, image, off, blockSize);
            }
        }
    }
}

TEST(FileSizeCalculatorJpeg, EndsAtTheMainImageEndNotAtTheThumbnails) {
    // SOI, APP1 holding a complete small JPEG, then the main image.
    const auto thumb = test::jpegOfSize(600, 5);
    const auto main = test::jpegOfSize(5000, 6);
    std::vector<std::uint8_t> file = {0xFF, 0xD8, 0xFF, 0xE1};
    const std::size_t len = 2 + 6 + thumb.size();
    file.push_back(static_cast<std::uint8_t>(len >> 8));
    file.push_back(static_cast<std::uint8_t>(len));
    for (char ch : std::string("Exif\0\0", 6)) file.push_back(static_cast<std::uint8_t>(ch));
    file.insert(file.end(), thumb.begin(), thumb.end());
    file.insert(file.end(), main.begin() + 2, main.end());
    const auto image = test::embedAt(file, 777, file.size() + 3000, 7);
    EXPECT_EQ(measure(FileFormat::jpeg, image, 777), file.size());
}

TEST(FileSizeCalculatorJpeg, EndMarkerSplitAcrossTwoSearchChunks) {
    // The scan data begins at byte 30; with 512-byte blocks a search chunk is
    // 512 KiB, so FF is the first chunk's last byte and D9 the next one's first.
    const std::size_t chunk = 512 * 1024;
    const auto file = test::jpegOfSize(30 + chunk + 1, 8);
    ASSERT_EQ(file[30 + chunk - 1], 0xFF);
    for (std::uint64_t off : {0u, 1024u, 1000u, 333u}) {
        const auto image = test::embedAt(file, off, off + file.size() + 5000, 9);
        EXPECT_EQ(measure(FileFormat::jpeg, image, off), file.size()) << "at " << off;
    }
}

TEST(FileSizeCalculatorJpeg, EndMarkerAfterStuffedAndFillBytesAndAtAChunkEnd) {
    // Entropy data thick with stuffed FF 00 and FF FF fill, ending FF FF D9.
    const std::size_t chunk = 512 * 1024;
    auto file = test::jpegOfSize(30 + 4096, 12);
    file.resize(30);
    for (int i = 0; i < 2000; ++i) file.insert(file.end(), {0xFF, 0x00, 0xFF, 0xFF, 0x12});
    file.insert(file.end(), {0xFF, 0xFF, 0xD9});
    EXPECT_EQ(measure(FileFormat::jpeg, test::embedAt(file, 512, 512 + file.size() + 4000, 13), 512), file.size());
    // FF D9 as the last two bytes of the first search chunk.
    auto edge = test::jpegOfSize(30 + chunk, 14);
    for (std::size_t i = 30; i < edge.size(); ++i)
        if (edge[i] == 0xFF) edge[i] = 0x7F;
    edge[30 + chunk - 2] = 0xFF;
    edge[30 + chunk - 1] = 0xD9;
    EXPECT_EQ(measure(FileFormat::jpeg, test::embedAt(edge, 0, edge.size() + 4000, 15), 0), edge.size());
}

TEST(FileSizeCalculatorJpeg, HeaderFaultsAndTheSmallestFile) {
    EXPECT_EQ(measure(FileFormat::jpeg, test::embedAt({0xFF, 0xD8, 0xFF, 0xD9}, 100, 2000, 1), 100), 4u);
    auto bad = test::jpegOfSize(3000, 10);
    bad[4] = 0;
    bad[5] = 1;  // APP0 length 1
    EXPECT_EQ(measure(FileFormat::jpeg, test::embedAt(bad, 100, 5000, 1), 100), 0u);
    auto notJpeg = test::jpegOfSize(3000, 10);
    notJpeg[1] = 0xD7;
    EXPECT_EQ(measure(FileFormat::jpeg, notJpeg, 0), 0u);
}

TEST(FileSizeCalculatorJpeg, GivesUpWithAWarningWhenNoEndMarkerLiesWithinTheSearch) {
    // A 1-byte block makes the search 1024 chunks of 1,024 bytes.
    auto far = test::jpegOfSize(1'100'000, 11);
    auto near = test::jpegOfSize(1'000'000, 11);
    LogCapture log;
    EXPECT_EQ(measure(FileFormat::jpeg, near, 0, 1), near.size());
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(measure(FileFormat::jpeg, far, 0, 1), 0u);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.back(), "⚠️ JPEG EOI not found within 512 MB — treating as false positive");

    // Cut before its end marker by the end of the device.
    far.resize(50'000);
    EXPECT_EQ(measure(FileFormat::jpeg, far, 0), 0u);
}

TEST(FileSizeCalculatorJpeg, MeasuresAtTheDeviceEndAndFailsOnAFailedRead) {
    const auto file = test::jpegOfSize(300'000, 12);
    // Ends 37 bytes before the end of a device whose size is no block multiple;
    // the first read (2 MiB) and the last search chunk both come back short.
    const std::size_t off = 1'500'003;
    const auto image = test::embedAt(file, off, off + file.size() + 37, 13);
    EXPECT_EQ(measure(FileFormat::jpeg, image, off), file.size());
    EXPECT_EQ(measure(FileFormat::jpeg, image, off, 4096), file.size());

    test::FaultyDevice faulty(image);
    faulty.failRange(off + 200'000, off + 200'512);
    FileSizeCalculator calc(512);
    LogCapture log;
    EXPECT_EQ(calc.calculateSize(FileFormat::jpeg, faulty, off), 0u);
}

TEST(FileSizeCalculatorJpeg, AnMpfPreviewAfterThePrimaryImageBelongsToTheFile) {
    const auto primary = test::jpegOfSize(40'000, 14);
    const auto preview = test::jpegOfSize(25'000, 15);
    for (bool little : {false, true}) {
        const auto file = test::mpfJpeg(primary, preview, little);
        const auto image = test::embedAt(file, 4097, 4097 + file.size() + 10'000, 16);
        EXPECT_EQ(measure(FileFormat::jpeg, image, 4097), file.size()) << (little ? "II" : "MM");
    }
    // An index whose preview does not start with a JPEG marker is not trusted.
    auto broken = test::mpfJpeg(primary, preview);
    broken[primary.size() + 90] = 0x00;
    EXPECT_EQ(measure(FileFormat::jpeg, broken, 0), primary.size() + 90);
    // Nor one whose preview lies beyond the 512 MiB search.
    auto tooFar = test::mpfJpeg(primary, preview);
    const std::size_t previewOffsetField = 20 + 8 + 74;  // APP0, APP2 header, second entry's offset
    tooFar[previewOffsetField] = 0x40;
    EXPECT_EQ(measure(FileFormat::jpeg, tooFar, 0), primary.size() + 90);
}

}  // namespace
}  // namespace vf
