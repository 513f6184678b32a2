// The calculator's reads, and the rules over data that is no file at all.
#include "helper/formats/FileSizeCalculator.h"

#include <gtest/gtest.h>

#include "tests/support/LogCapture.h"
#include "tests/support/MediaMeasure.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::LogCapture;

bool holds(const std::optional<FileSizeCalculator::Chunk>& c, const std::vector<std::uint8_t>& image, std::size_t at,
           std::size_t n) {
    return c && c->available() == n && std::equal(image.begin() + at, image.begin() + at + n, c->bytes.begin() + c->start);
}

TEST(FileSizeCalculatorReadChunk, HintAlignedReadsAndTheDeviceEnd) {
    const auto image = test::randomBytes(10'000, 1);
    test::FaultyDevice device(image);
    FileSizeCalculator calc(512);
    calc.setHint(std::span<const std::uint8_t>(image).subspan(4096, 4096), 4096);
    EXPECT_TRUE(holds(calc.readChunk(5000, 100, device), image, 5000, 100));
    EXPECT_TRUE(device.reads.empty());  // served by the hint
    EXPECT_TRUE(holds(calc.readChunk(8100, 100, device), image, 8100, 100));  // past the hint's end
    calc.clearHint();
    EXPECT_TRUE(holds(calc.readChunk(1000, 700, device), image, 1000, 700));
    EXPECT_EQ(device.reads, (std::vector<std::pair<std::uint64_t, std::size_t>>{{7680, 1024}, {512, 1536}}));
    // The device ends 1,000 bytes in: those bytes are data, not a failure.
    EXPECT_TRUE(holds(calc.readChunk(9000, 4096, device), image, 9000, 1000));
    EXPECT_FALSE(calc.readChunk(10'000, 10, device));  // no byte at the offset
    EXPECT_FALSE(calc.readChunk(0, 0, device));
    EXPECT_FALSE(calc.readChunk(0, 1ull << 40, device));
    // A failed read is a failure even with bytes before it.
    device.failRange(6144, 6656);
    EXPECT_FALSE(calc.readChunk(5000, 2000, device));
}

// Every rule over random data and over a planted signature: reads start at
// multiples of the block size, the walks end, and the hint changes nothing.
TEST(FileSizeCalculatorRules, EveryRuleReadsAlignedAndAgreesWithTheHint) {
    const auto image = test::randomBytes(3 << 19, 4);
    for (std::uint64_t blockSize : {512u, 4096u}) {
        for (FileFormat f : allFormats()) {
            for (std::uint64_t off : {0u, 4099u, 1'000'001u}) {
                test::FaultyDevice device(image);
                FileSizeCalculator calc(blockSize);
                (void)calc.calculateSize(f, device, off);
                (void)calc.plausibleStart(f, device, off);
                for (const auto& [at, n] : device.reads) {
                    ASSERT_EQ(at % blockSize, 0u) << displayName(f) << " read at " << at;
                    ASSERT_GT(n, 0u);
                }
                test::measure(f, image, off, blockSize);
            }
        }
    }
}

TEST(FileSizeCalculatorJpeg, GivesUpWithAWarningOrOnAFailedRead) {
    // A 1-byte block makes the search 1024 chunks of 1,024 bytes.
    auto far = test::jpegOfSize(1'100'000, 11);
    const auto near = test::jpegOfSize(1'000'000, 11);
    LogCapture log;
    EXPECT_EQ(test::measure(FileFormat::jpeg, near, 0, 1), near.size());
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(test::measure(FileFormat::jpeg, far, 0, 1), 0u);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.back(), "⚠️ JPEG EOI not found within 512 MB — treating as false positive");
    far.resize(50'000);  // cut before its end marker by the end of the device
    EXPECT_EQ(test::measure(FileFormat::jpeg, far, 0), 0u);

    test::FaultyDevice faulty(near);
    faulty.failRange(200'000, 200'512);
    FileSizeCalculator calc(512);
    EXPECT_EQ(calc.calculateSize(FileFormat::jpeg, faulty, 0), 0u);
}

}  // namespace
}  // namespace vf
