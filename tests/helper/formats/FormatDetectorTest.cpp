#include "helper/formats/FormatDetector.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Search = FormatDetector::Search;

// Random bytes (or runs of 00, FF, or pairs that half match many rows) with rows
// of the signature table planted, some spoiled by one bit, often near the end,
// where rows stop fitting and the vector search hands over.
Bytes plantedBuffer(std::mt19937& rng) {
    const std::size_t size = rng() % 3 == 0 ? rng() % 64 : rng() % 1400;
    Bytes buf = test::randomBytes(size, static_cast<std::uint32_t>(rng()));
    const int fill = static_cast<int>(rng() % 5);
    for (std::uint8_t& b : buf) b = fill == 0 ? 0x00 : fill == 1 ? 0xFF : fill == 2 ? "IIMMFUBRGI\x47\xFF"[b % 12] : b;
    const auto& table = allSignatures();
    for (std::size_t k = 0, plants = size ? rng() % 6 : 0; k < plants; ++k) {
        const FormatSignature& s = table[rng() % table.size()];
        const std::size_t p = (rng() % 2 ? size - 1 - rng() % std::min<std::size_t>(size, 400) : rng() % size) +
                              static_cast<std::size_t>(s.offset);
        const std::size_t spoil = rng() % 4 == 0 ? rng() % s.magic.size() : s.magic.size();
        for (std::size_t i = 0; i < s.magic.size() && p + i < size; ++i) {
            const std::uint8_t m = s.mask ? (*s.mask)[i] : 0xFF;
            buf[p + i] = static_cast<std::uint8_t>(((buf[p + i] & ~m) | (s.magic[i] & m)) ^ (i == spoil && m ? 1 : 0));
        }
    }
    if (size && rng() % 3 == 0)  // transport-stream sync bytes, often cut short by the end
        for (std::size_t i = rng() % size; i < size; i += 188) buf[i] = 0x47;
    return buf;
}

// The first match in [start, min(stop, end)) on the alignment, position by position.
Match firstByPosition(const FormatDetector& d, std::span<const std::uint8_t> s, std::size_t end, std::size_t start,
                      std::size_t stop, std::uint64_t base = 0, std::size_t alignment = 1) {
    for (std::size_t p = start; p < std::min(stop, end); ++p)
        if ((base + p) % alignment == 0)
            if (const Match m = d.matchAt(s, end, p); m.format) return m;
    return {};
}

TEST(FormatDetectorSearch, EverySearchAgreesWithThePositionByPositionMatch) {
    std::mt19937 rng(20240601);
    const std::vector<FormatSet> fixed = {FormatSet::all(), FormatSet{}, FormatSet::of({FileFormat::mp4, FileFormat::cr3})};
    for (int round = 0; round < 1500; ++round) {
        const Bytes buf = plantedBuffer(rng);
        const std::span<const std::uint8_t> s(buf);
        FormatSet enabled;
        if (round % 3 == 0) enabled = FormatSet::of({allFormats()[static_cast<std::size_t>(round / 3) % kFormatCount]});
        else if (round % 3 == 1) enabled = fixed[static_cast<std::size_t>(round / 3) % fixed.size()];
        else
            for (FileFormat f : allFormats())
                if (rng() % 4 == 0) enabled.insert(f);
        FormatDetector d;
        d.setEnabledFormats(enabled);
        for (Search kind : {Search::plain, Search::vector16, Search::vector32}) {
            if (!FormatDetector::searchAvailable(kind)) continue;
            d.setSearch(kind);
            const std::string where = "round " + std::to_string(round) + " search " + std::to_string(int(kind));
            // The scan loop's walk: restart one past each match.
            for (std::size_t i = 0;;) {
                const Match want = firstByPosition(d, s, s.size(), i, s.size());
                ASSERT_EQ(d.findFirstMatch(s, s.size(), i), want) << where << " start " << i;
                if (!want.format) break;
                i = want.index + 1;
            }
            for (int k = 0; k < 4; ++k) {
                const std::size_t end = rng() % (s.size() + 1), start = rng() % (end + 2);
                const std::size_t stop = start + rng() % (end + 2), alignment = std::size_t{1} << (rng() % 8);
                const std::uint64_t base = rng() % 3 == 0 ? UINT64_MAX - rng() % 1000 : rng();
                const std::string range = where + " start " + std::to_string(start) + " stop " + std::to_string(stop) +
                                          " end " + std::to_string(end);
                ASSERT_EQ(d.findFirstMatch(s, end, start, stop), firstByPosition(d, s, end, start, stop)) << range;
                ASSERT_EQ(d.findFirstAligned(s, end, start, stop, base, alignment),
                          firstByPosition(d, s, end, start, stop, base, alignment))
                    << range << " base " << base << " alignment " << alignment;
            }
        }
    }
}

TEST(FormatDetectorSearch, VectorSearchCoversEveryRowOfTheTable) {
    // Falling back to the plain walk would be correct but far too slow for a scan.
    FormatDetector d;
    EXPECT_NE(d.search(), Search::plain);
    for (FileFormat f : allFormats()) {
        d.setEnabledFormats(FormatSet::of({f}));
        EXPECT_NE(d.search(), Search::plain) << displayName(f);
    }
}

// Where rows overlap, the earliest position wins, then the table's order.
TEST(FormatDetectorSearch, OverlappingRowsGoByPositionThenTableOrder) {
    using F = FileFormat;
    const FormatDetector d;
    const Bytes jpeg{0xFF, 0xD8, 0xFF}, buf = test::with(test::with(Bytes(64, 0), 10, jpeg), 4, {0x49, 0x49, 0x2A, 0x00});
    EXPECT_EQ(d.findFirstMatch(buf, buf.size(), 0), (Match{F::tiff, 4}));
    EXPECT_EQ(d.findFirstMatch(buf, 12, 5), Match{});  // the JPEG header does not fit
    EXPECT_EQ(d.findFirstMatch(jpeg, 100, 0), (Match{F::jpeg, 0}));  // an end past the buffer reads no further
    EXPECT_EQ(d.matchAt(jpeg, 100, 50), Match{});
    const Bytes cr3{0x00, 0x00, 0x00, 0x18, 'f', 't', 'y', 'p', 'c', 'r', 'x', ' '}, rw2{0x49, 0x49, 0x55, 0x00, 0x18, 0, 0, 0};
    const std::tuple<const char*, Bytes, std::size_t, F> rows[] = {
        {"a keyed row before the any-byte mp4 row", cr3, 12, F::cr3},
        {"before mp4 in table order", test::with(cr3, 3, {0x20}), 12, F::cr3},
        {"no known brand", test::with(cr3, 8, {'i'}), 12, F::mp4},
        {"RW2", rw2, 8, F::rw2},
        {"RW2's header cut to a TIFF-like start", rw2, 4, F::fff}};
    for (const auto& [what, bytes, end, want] : rows) EXPECT_EQ(d.matchAt(bytes, end, 0).format, want) << what;
}

}  // namespace
}  // namespace vf
