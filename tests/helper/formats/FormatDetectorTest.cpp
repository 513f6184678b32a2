#include "helper/formats/FormatDetector.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Search = FormatDetector::Search;

const FormatSet kTiffFamily = FormatSet::of({FileFormat::tiff, FileFormat::cr2, FileFormat::nef, FileFormat::nrw,
                                             FileFormat::arw, FileFormat::srf, FileFormat::sr2, FileFormat::pef,
                                             FileFormat::dng, FileFormat::rwl, FileFormat::orf, FileFormat::dcr,
                                             FileFormat::kdc, FileFormat::erf, FileFormat::srw, FileFormat::_3fr});

// The search as defined, position by position, written from the table alone.
class Reference {
public:
    explicit Reference(const FormatSet& enabled) {
        const bool tiffFamily = enabled.intersects(kTiffFamily);
        for (const FormatSignature& s : allSignatures()) {
            if (s.magic.empty()) continue;
            if (!enabled.contains(s.format) && !(s.format == FileFormat::tiff && tiffFamily)) continue;
            const bool keyed = s.offset == 0 && (!s.mask || s.mask->empty() || (*s.mask)[0] != 0);
            (keyed ? byFirstByte_[s.magic[0]] : any_).push_back(&s);
        }
    }

    Match at(std::span<const std::uint8_t> buf, std::size_t end, std::size_t p) const {
        if (p >= std::min(end, buf.size())) return {};
        for (const FormatSignature* s : byFirstByte_[buf[p]])
            if (matches(*s, buf, end, p)) return {s->format, p};
        for (const FormatSignature* s : any_)
            if (matches(*s, buf, end, p)) return {s->format, p};
        return {};
    }

    Match first(std::span<const std::uint8_t> buf, std::size_t end, std::size_t start) const {
        for (std::size_t p = start; p < end; ++p)
            if (Match m = at(buf, end, p); m.format) return m;
        return {};
    }

private:
    static bool matches(const FormatSignature& s, std::span<const std::uint8_t> buf, std::size_t end, std::size_t p) {
        const std::size_t from = p + static_cast<std::size_t>(s.offset);
        if (from + s.magic.size() > std::min(end, buf.size())) return false;
        for (std::size_t i = 0; i < s.magic.size(); ++i) {
            const std::uint8_t m = s.mask ? (*s.mask)[i] : 0xFF;
            if (((s.magic[i] ^ buf[from + i]) & m) != 0) return false;
        }
        return true;
    }

    std::vector<const FormatSignature*> byFirstByte_[256];
    std::vector<const FormatSignature*> any_;
};

std::vector<Search> searchKinds() {
    std::vector<Search> kinds;
    for (Search s : {Search::plain, Search::vector16, Search::vector32})
        if (FormatDetector::searchAvailable(s)) kinds.push_back(s);
    return kinds;
}

// Writes a row of the table at p, keeping the buffer's bytes where the row leaves
// them free and cutting the row off at the buffer's end. Sometimes one demanded
// byte is spoiled, for a near miss.
void plant(Bytes& buf, std::size_t p, const FormatSignature& s, std::mt19937& rng) {
    const std::size_t from = p + static_cast<std::size_t>(s.offset);
    const std::size_t spoil = rng() % 4 == 0 ? rng() % s.magic.size() : s.magic.size();
    for (std::size_t i = 0; i < s.magic.size() && from + i < buf.size(); ++i) {
        const std::uint8_t m = s.mask ? (*s.mask)[i] : 0xFF;
        std::uint8_t b = static_cast<std::uint8_t>((buf[from + i] & ~m) | (s.magic[i] & m));
        if (i == spoil && m != 0) b ^= 0x01;
        buf[from + i] = b;
    }
}

Bytes adversarialBuffer(std::mt19937& rng) {
    const std::size_t size = rng() % 3 == 0 ? rng() % 64 : rng() % 1400;
    Bytes buf;
    switch (rng() % 5) {
        case 0: buf.assign(size, 0x00); break;
        case 1: buf.assign(size, 0xFF); break;
        case 2:  // two-byte pairs that half match many rows
            buf.resize(size);
            for (std::size_t i = 0; i < size; ++i) buf[i] = "IIMMFUBRGI\x47\xFF"[rng() % 12];
            break;
        default: buf = test::randomBytes(size, static_cast<std::uint32_t>(rng())); break;
    }
    if (size == 0) return buf;
    const auto& table = allSignatures();
    const std::size_t plants = rng() % 6;
    for (std::size_t k = 0; k < plants; ++k) {
        // Favour the last bytes, where rows stop fitting and the vector search hands over.
        const std::size_t p = rng() % 2 ? size - 1 - rng() % std::min<std::size_t>(size, 400) : rng() % size;
        plant(buf, p, table[rng() % table.size()], rng);
    }
    if (rng() % 3 == 0) {  // transport-stream sync bytes, often cut short by the end
        const std::size_t p = rng() % size;
        for (std::size_t i = p; i < buf.size() && i <= p + 376; i += 188) buf[i] = 0x47;
    }
    return buf;
}

FormatSet randomSet(std::mt19937& rng) {
    FormatSet s;
    for (FileFormat f : allFormats())
        if (rng() % 4 == 0) s.insert(f);
    return s;
}

// Compares every search kind with the reference over random ranges and over the
// scan loop's walk (restart one past each match) through the whole buffer.
void expectSameAsReference(const Bytes& buf, const FormatSet& enabled, std::mt19937& rng) {
    const Reference ref(enabled);
    FormatDetector d;
    d.setEnabledFormats(enabled);
    const std::span<const std::uint8_t> s(buf);
    for (Search kind : searchKinds()) {
        d.setSearch(kind);
        std::size_t i = 0;
        while (true) {
            const Match want = ref.first(s, s.size(), i);
            ASSERT_EQ(d.findFirstMatch(s, s.size(), i), want) << "start " << i << " size " << s.size();
            if (!want.format) break;
            ASSERT_EQ(d.matchAt(s, s.size(), want.index), want);
            i = want.index + 1;
        }
        for (int k = 0; k < 4; ++k) {
            const std::size_t end = s.empty() ? 0 : rng() % (s.size() + 1);
            const std::size_t start = rng() % (end + 2);
            const Match whole = ref.first(s, end, start);
            ASSERT_EQ(d.findFirstMatch(s, end, start), whole)
                << "start " << start << " end " << end << " size " << s.size();
            // Positions cut short of the data: signatures may still reach past stop.
            const std::size_t stop = start + rng() % (end + 2);
            const Match part = whole.format && whole.index < stop ? whole : Match{};
            ASSERT_EQ(d.findFirstMatch(s, end, start, stop), part)
                << "start " << start << " stop " << stop << " end " << end << " size " << s.size();
            // Aligned positions only, for a buffer that sits anywhere on the device.
            const std::size_t alignment = std::size_t{1} << (rng() % 8);
            const std::uint64_t base = rng() % 3 == 0 ? UINT64_MAX - rng() % 1000 : rng();
            Match aligned;
            for (std::size_t p = start; p < std::min(stop, end) && !aligned.format; ++p)
                if ((base + p) % alignment == 0) aligned = d.matchAt(s, end, p);
            ASSERT_EQ(d.findFirstAligned(s, end, start, stop, base, alignment), aligned)
                << "start " << start << " stop " << stop << " end " << end << " base " << base << " alignment "
                << alignment;
        }
    }
}

TEST(FormatDetectorSearch, AgreesWithPositionByPositionDefinition) {
    std::mt19937 rng(20240601);
    const std::vector<FormatSet> fixed = {FormatSet::all(), FormatSet{}, FormatSet::of({FileFormat::nef}),
                                          FormatSet::of({FileFormat::jpeg}), FormatSet::of({FileFormat::mts}),
                                          FormatSet::of({FileFormat::mp4, FileFormat::cr3})};
    for (int round = 0; round < 1500; ++round) {
        const Bytes buf = adversarialBuffer(rng);
        expectSameAsReference(buf, fixed[static_cast<std::size_t>(round) % fixed.size()], rng);
        expectSameAsReference(buf, randomSet(rng), rng);
        if (HasFatalFailure()) return;
    }
}

TEST(FormatDetectorSearch, AgreesOnLargeBuffersForEverySingleFormat) {
    std::mt19937 rng(7);
    Bytes buf = test::randomBytes(1 << 16, 99);
    for (int k = 0; k < 300; ++k) plant(buf, rng() % buf.size(), allSignatures()[rng() % 30], rng);
    expectSameAsReference(buf, FormatSet::all(), rng);
    for (FileFormat f : allFormats()) expectSameAsReference(buf, FormatSet::of({f}), rng);
}

TEST(FormatDetectorSearch, AlignedSearchSeesOnlyBoundariesOfTheDevice) {
    Bytes buf(5 * 4096, 0);
    const Bytes jpeg{0xFF, 0xD8, 0xFF};
    for (std::size_t at : {std::size_t{4096 + 3}, std::size_t{3 * 4096}}) std::copy(jpeg.begin(), jpeg.end(), buf.begin() + at);
    const std::span<const std::uint8_t> s(buf);
    const FormatDetector d;
    EXPECT_EQ(d.findFirstAligned(s, s.size(), 0, s.size(), 0, 4096).index, 3u * 4096);
    // The buffer starts 3 bytes before a boundary: the first copy lies on it.
    EXPECT_EQ(d.findFirstAligned(s, s.size(), 0, s.size(), 4093, 4096).index, 4096u + 3);
    EXPECT_FALSE(d.findFirstAligned(s, s.size(), 4096 + 4, s.size(), 4093, 4096).format);
    // A signature cut off by the end of the data does not count, aligned or not.
    EXPECT_FALSE(d.findFirstAligned(s, 3 * 4096 + 2, 0, s.size(), 0, 4096).format);
}

TEST(FormatDetectorSearch, VectorSearchCoversEveryRowOfTheTable) {
    // Falling back to the plain walk would be correct but far too slow for a scan.
    FormatDetector d;
    EXPECT_NE(d.search(), Search::plain);
    for (FileFormat f : allFormats()) {
        d.setEnabledFormats(FormatSet::of({f}));
        EXPECT_NE(d.search(), Search::plain) << displayName(f);
    }
    d.setSearch(Search::plain);
    EXPECT_EQ(d.search(), Search::plain);
}

// Where rows overlap, the table's order decides.
TEST(FormatDetectorSearch, OverlappingRowsGoByPositionThenTableOrder) {
    using F = FileFormat;
    const FormatDetector d;
    Bytes buf(64, 0x00);
    const Bytes jpeg{0xFF, 0xD8, 0xFF}, tiff{0x49, 0x49, 0x2A, 0x00};
    std::copy(jpeg.begin(), jpeg.end(), buf.begin() + 10);
    std::copy(tiff.begin(), tiff.end(), buf.begin() + 4);
    EXPECT_EQ(d.findFirstMatch(buf, buf.size(), 0), (Match{F::tiff, 4}));  // the earliest position wins
    EXPECT_EQ(d.findFirstMatch(buf, 12, 5), Match{});                       // the JPEG header does not fit
    Bytes cr3{0x00, 0x00, 0x00, 0x18, 'f', 't', 'y', 'p', 'c', 'r', 'x', ' '};
    EXPECT_EQ(d.matchAt(cr3, cr3.size(), 0).format, F::cr3);  // keyed row 7 before any-byte mp4
    cr3[3] = 0x20;
    EXPECT_EQ(d.matchAt(cr3, cr3.size(), 0).format, F::cr3);  // row 8, before mp4 in table order
    cr3[8] = 'i';
    EXPECT_EQ(d.matchAt(cr3, cr3.size(), 0).format, F::mp4);
    const Bytes rw2{0x49, 0x49, 0x55, 0x00, 0x18, 0x00, 0x00, 0x00};
    EXPECT_EQ(d.matchAt(rw2, rw2.size(), 0).format, F::rw2);
    EXPECT_EQ(d.matchAt(rw2, 4, 0).format, F::fff);
    EXPECT_EQ(d.findFirstMatch(jpeg, 100, 0), (Match{F::jpeg, 0}));  // an end past the buffer reads no further
    EXPECT_EQ(d.matchAt(jpeg, 100, 50), Match{});
}

}  // namespace
}  // namespace vf
