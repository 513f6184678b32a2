// ISO media boxes, RIFF, transport streams, MXF and BRAW on synthetic files.
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

struct Box {
    std::string type;
    std::uint64_t size;
    bool extended = false;
};

// Box headers at their positions; payloads are zeros, or absent beyond `keep`.
std::vector<std::uint8_t> boxes(const std::vector<Box>& list, std::size_t keep = SIZE_MAX) {
    ByteWriter w(false);
    std::uint64_t p = 0;
    for (const Box& b : list) {
        if (p + 16 > keep) break;
        const std::size_t at = static_cast<std::size_t>(p);
        if (b.extended) {
            w.u32(at, 1);
            w.u64(at + 8, b.size);
        } else {
            w.u32(at, static_cast<std::uint32_t>(b.size));
        }
        w.text(at + 4, b.type);
        if (b.type == "ftyp") w.text(at + 8, "isom");
        p += b.size == 0 ? 16 : b.size;
    }
    w.resize(static_cast<std::size_t>(std::min<std::uint64_t>(p, keep)));
    return w.bytes;
}

TEST(FileSizeCalculatorIso, EndsWithTheSecondOfMoovAndMdat) {
    const auto index = boxes({{"ftyp", 32}, {"moov", 5000}, {"mdat", 10'000'000}}, 6000);
    EXPECT_EQ(measure(FileFormat::mp4, index, 0), 10'005'032u);
    const auto last = boxes({{"ftyp", 32}, {"mdat", 10'000'000}, {"moov", 5000}});
    EXPECT_EQ(measure(FileFormat::mov, last, 0), 10'005'032u);
    const auto wide = boxes({{"ftyp", 32}, {"moov", 5000}, {"mdat", 5'000'000'000, true}}, 6000);
    EXPECT_EQ(measure(FileFormat::mp4, wide, 0), 5'000'005'032u);
    EXPECT_EQ(measure(FileFormat::cr3, test::embedAt(index, 999, 9000, 1), 999), 10'005'032u);
}

TEST(FileSizeCalculatorIso, SizeZeroUnreadableHeadersAndJunk) {
    EXPECT_EQ(measure(FileFormat::mp4, boxes({{"ftyp", 32}, {"free", 0}}), 0), 32u);
    EXPECT_EQ(measure(FileFormat::mp4, boxes({{"mdat", 0}}), 0), 33'554'432u);
    EXPECT_EQ(measure(FileFormat::mp4, {0, 0, 0}, 0), 33'554'432u);
    // A HEIC image ("ftyp", "meta", "mdat") ends at "mdat" whatever follows it.
    const auto heic = boxes({{"ftyp", 24}, {"meta", 900}, {"mdat", 30'000}});
    std::vector<std::uint8_t> zeros = heic;
    zeros.resize(heic.size() + 8192);
    EXPECT_EQ(measure(FileFormat::heic, zeros, 0), heic.size());
    for (std::uint32_t seed = 0; seed < 8; ++seed)
        EXPECT_EQ(measure(FileFormat::avif, test::embedAt(heic, 4100, heic.size() + 70'000, seed), 4100),
                  heic.size());
    // Burst shots lie back to back: the next image's boxes are not this one's, whichever
    // of "meta" and "mdat" comes first.
    const auto mdatFirst = boxes({{"ftyp", 24}, {"mdat", 30'000}, {"meta", 900}});
    for (const auto* image : {&heic, &mdatFirst}) {
        std::vector<std::uint8_t> burst = *image;
        burst.insert(burst.end(), image->begin(), image->end());
        EXPECT_EQ(measure(FileFormat::heic, burst, 0), image->size());
        EXPECT_EQ(measure(FileFormat::avif, burst, 0), image->size());
    }
    // A movie with only "mdat" is summed while headers look like boxes.
    auto junk = boxes({{"ftyp", 24}, {"mdat", 3000}});
    for (std::uint8_t b : {0x00, 0x00, 0x10, 0x00, 0x01, 0x02, 0x03, 0x04}) junk.push_back(b);
    EXPECT_EQ(measure(FileFormat::mp4, junk, 0), 3024u);
    auto tiny = boxes({{"ftyp", 24}, {"mdat", 3000}});
    for (std::uint8_t b : {0, 0, 0, 4}) tiny.push_back(b);
    for (char c : std::string("free")) tiny.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(measure(FileFormat::mp4, tiny, 0), 3024u);
}

TEST(FileSizeCalculatorIso, BoundsAndOverflowEndTheWalk) {
    // Past 64 GiB the sum so far is the answer.
    const auto huge = boxes({{"ftyp", 32}, {"mdat", 70'000'000'000, true}}, 64);
    EXPECT_EQ(measure(FileFormat::mp4, huge, 0), 70'000'000'032u);
    // A size that would pass 64 bits ends the walk without failing.
    const auto wrap = boxes({{"ftyp", 32}, {"free", 1000}, {"mdat", UINT64_MAX - 100, true}}, 2000);
    EXPECT_EQ(measure(FileFormat::mp4, wrap, 0), 1032u);
    // 2,000 boxes at most.
    std::vector<Box> many(2500, {"free", 8});
    EXPECT_EQ(measure(FileFormat::mov, boxes(many), 0), 16'000u);
}

TEST(FileSizeCalculatorRiff, SizeFieldAndAviExtensions) {
    ByteWriter w(true);
    w.text(0, "RIFF");
    w.u32(4, 0);
    w.text(8, "WEBP");
    EXPECT_EQ(measure(FileFormat::webp, w.bytes, 0), 8u);
    w.u32(4, 5000);
    w.resize(5008);
    EXPECT_EQ(measure(FileFormat::webp, test::embedAt(w.bytes, 3, 9000, 2), 3), 5008u);
    // OpenDML: two "AVIX" lists follow the first RIFF of a large AVI.
    ByteWriter avi(true);
    avi.text(0, "RIFF");
    avi.u32(4, 992);
    avi.text(8, "AVI LIST");
    for (std::size_t at : {1000u, 3000u}) {
        avi.text(at, "RIFF");
        avi.u32(at + 4, 1992);
        avi.text(at + 8, "AVIX");
    }
    avi.resize(5000);
    EXPECT_EQ(measure(FileFormat::avi, test::embedAt(avi.bytes, 700, 9000, 3), 700), 5000u);
    EXPECT_EQ(measure(FileFormat::avi, {'R', 'I', 'F', 'F', 1}, 0), 0u);
}

TEST(FileSizeCalculatorTs, RunsOfSyncBytes) {
    auto ten = test::tsPackets(10, 4);
    ten.push_back(0x12);
    EXPECT_EQ(measure(FileFormat::mts, test::embedAt(ten, 4096, 9000, 5), 4096), 0u);
    auto eleven = test::tsPackets(11, 4);
    auto image = test::embedAt(eleven, 4096, 9000, 5);
    image[4096 + 11 * 188] = 0x00;
    EXPECT_EQ(measure(FileFormat::mts, image, 4096), 2068u);
    EXPECT_EQ(measure(FileFormat::m2ts, image, 4096), 2068u);
    // Longer than one read, and ending at the device end.
    const auto run = test::tsPackets(10'000, 6);
    const auto end = test::embedAt(run, 1001, 1001 + run.size(), 7);
    EXPECT_EQ(measure(FileFormat::mts, end, 1001), 1'880'000u);
}

TEST(FileSizeCalculatorTs, RunsAsLongAsItsPacketsContinue) {
    const auto run = test::tsPackets(500'100, 8);  // past 94 MB, where a cap would split the clip
    EXPECT_EQ(measure(FileFormat::mts, run, 0, 4096), 500'100u * 188);
}

TEST(FileSizeCalculatorMxf, FooterPartitionAndWhatBelongsToIt) {
    // The footer partition ends with its index segment, fill and random index pack.
    const auto whole = test::mxfFile(5, 3000, true);
    EXPECT_EQ(measure(FileFormat::mxf, test::embedAt(whole, 5000, whole.size() + 9000, 9), 5000), whole.size());
    // Without them, the footer partition pack's own packet ends the file, also
    // when random bytes follow; the sound elements' byte 13 (04) is no footer.
    const auto bare = test::mxfFile(5, 3000, false);
    EXPECT_EQ(measure(FileFormat::mxf, test::embedAt(bare, 0, bare.size() + 9000, 10), 0), bare.size());
    // Another file's header partition right after the footer is not this file's.
    auto two = bare;
    const auto next = test::mxfFile(1, 10, false);
    two.insert(two.end(), next.begin(), next.end());
    EXPECT_EQ(measure(FileFormat::mxf, two, 0), bare.size());
}

TEST(FileSizeCalculatorMxf, BerLengthsBoundsAndDefaults) {
    auto f = test::mxfFile(2, 100, false);
    const std::size_t second = 108 + 121;  // header pack (20 + 88), first element (21 + 100)
    ASSERT_EQ(f[second + 16], 0x84);
    f[second + 16] = 0x89;  // n = 9: the walk ends before this packet
    EXPECT_EQ(measure(FileFormat::mxf, f, 0), second);
    f[second + 16] = 0x80;
    EXPECT_EQ(measure(FileFormat::mxf, f, 0), second);
    // An eight-byte length that passes 64 bits in the sum.
    f[second + 16] = 0x88;
    for (int i = 0; i < 8; ++i) f[second + 17 + i] = 0xFF;
    EXPECT_EQ(measure(FileFormat::mxf, f, 0), second);
    EXPECT_EQ(measure(FileFormat::mxf, std::vector<std::uint8_t>(10, 6), 0), 4'294'967'296u);
}

TEST(FileSizeCalculatorBraw, SizeFieldOrDefault) {
    ByteWriter w(true);
    w.text(0, "BRAW");
    w.u64(8, 123'456'789'012ull);
    EXPECT_EQ(measure(FileFormat::braw, w.bytes, 0), 123'456'789'012ull);
    w.u64(8, 0);
    EXPECT_EQ(measure(FileFormat::braw, w.bytes, 0), 4'294'967'296u);
    EXPECT_EQ(measure(FileFormat::braw, {'B', 'R', 'A', 'W'}, 0), 0u);
}

}  // namespace
}  // namespace vf
