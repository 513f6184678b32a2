#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <tuple>

#include "helper/formats/FormatDetector.h"

namespace vf {
namespace {

using Bytes = std::vector<std::uint8_t>;
using F = FileFormat;
constexpr std::uint16_t kDng = 50706;

// A TIFF stream in memory: header, then directories placed where the test says.
class Tiff {
public:
    struct Entry {
        std::uint16_t tag, type;
        std::uint32_t count, value;
    };
    explicit Tiff(bool little = true, std::size_t size = 4096, std::uint32_t firstIfd = 8)
        : bytes(size, 0), little_(little) {
        bytes[0] = bytes[1] = little ? 'I' : 'M';
        put16(2, 42);
        put32(4, firstIfd);
    }
    void put16(std::size_t at, std::uint32_t v) { put(at, v, 2); }
    void put32(std::size_t at, std::uint32_t v) { put(at, v, 4); }
    void ifd(std::size_t at, const std::vector<Entry>& entries, std::uint32_t next = 0) {
        put16(at, static_cast<std::uint32_t>(entries.size()));
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::size_t e = at + 2 + 12 * i;
            put16(e, entries[i].tag);
            put16(e + 2, entries[i].type);
            put32(e + 4, entries[i].count);
            put32(e + 8, entries[i].value);
        }
        put32(at + 2 + 12 * entries.size(), next);
    }
    void text(std::size_t at, std::string_view s) { std::copy(s.begin(), s.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at)); }
    Bytes bytes;

private:
    void put(std::size_t at, std::uint32_t v, std::size_t n) {
        if (at + n > bytes.size()) bytes.resize(at + n, 0);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t shift = 8 * (little_ ? i : n - 1 - i);
            bytes[at + i] = static_cast<std::uint8_t>(v >> shift);
        }
    }
    bool little_;
};

const Tiff::Entry kWidth{256, 3, 1, 4000};

FileFormat refine(F format, const Bytes& bytes, std::uint64_t offset = 0, std::uint64_t block = 512) {
    MemoryDevice device(bytes);
    return FormatDetector().refineFormat(format, device, offset, block);
}

Bytes isoFile(std::string_view brand, std::size_t size = 4096) {
    Bytes b(std::max<std::size_t>(size, 12), 0);
    const std::string_view head("\0\0\0\x20" "ftyp", 8);
    std::copy(head.begin(), head.end(), b.begin());
    std::copy(brand.begin(), brand.end(), b.begin() + 8);
    b.resize(size);
    return b;
}

TEST(FormatDetectorRefine, IsoMediaMajorBrand) {
    const std::vector<std::pair<std::string, F>> cases = {
        {"heic", F::heic}, {"msf1", F::heic}, {"mif1", F::heic}, {"avis", F::avif}, {"crx ", F::cr3},
        {"qt  ", F::mov},  {"isom", F::mp4},  {"he\xE9" "c", F::mp4}};  // not ASCII: no brand
    for (const auto& [brand, want] : cases) EXPECT_EQ(refine(F::mp4, isoFile(brand)), want) << brand;
    EXPECT_EQ(refine(F::mp4, isoFile("heic", 12)), F::heic);
    EXPECT_EQ(refine(F::mp4, isoFile("heic", 11)), F::mp4);  // the brand does not fit
    EXPECT_EQ(refine(F::mov, isoFile("heic")), F::mov);      // only an mp4 match is branded
    Bytes nikon = isoFile("isom");
    nikon[100] = 'N', nikon[101] = 'I', nikon[102] = 'K', nikon[103] = 'O', nikon[104] = 'N';
    EXPECT_EQ(refine(F::mp4, nikon), F::mp4);  // no maker rules for ISO media
}

TEST(FormatDetectorRefine, DngVersionInFirstDirectory) {
    Tiff le;
    le.ifd(8, {kWidth, {kDng, 1, 4, 0x01040000}});
    EXPECT_TRUE(hasDngVersionInIfd0(le.bytes, true));
    EXPECT_FALSE(hasDngVersionInIfd0(le.bytes, false));  // wrong byte order
    Tiff be(false);
    be.ifd(8, {kWidth, {kDng, 1, 4, 0x01040000}});
    EXPECT_TRUE(hasDngVersionInIfd0(be.bytes, false));
    const std::span<const std::uint8_t> all(le.bytes);
    EXPECT_FALSE(hasDngVersionInIfd0(all.first(8), true));
    EXPECT_TRUE(hasDngVersionInIfd0(all.first(8 + 2 + 12 + 2), true));   // second tag just inside
    EXPECT_FALSE(hasDngVersionInIfd0(all.first(8 + 2 + 12 + 1), true));  // cut inside the tag
    std::vector<Tiff::Entry> entries(500, kWidth);
    entries[1] = {kDng, 1, 4, 0};
    le.ifd(8, entries);  // 500 entries: implausible
    EXPECT_FALSE(hasDngVersionInIfd0(le.bytes, true));
    EXPECT_FALSE(hasDngVersionInIfd0(Tiff(true, 64, 62).bytes, true));  // no room for a count
}

TEST(FormatDetectorRefine, DngTagDecidesBeforeMakerText) {
    Tiff t;
    t.ifd(8, {kWidth, {kDng, 1, 4, 0}});
    t.text(1000, "Nikon and Canon");
    EXPECT_EQ(refine(F::cr2, t.bytes), F::dng);
    t.ifd(8, {kWidth, {kWidth}});
    EXPECT_EQ(refine(F::tiff, t.bytes), F::cr2);  // "Canon" is ruled on before "Nikon"
}

TEST(FormatDetectorRefine, MakerTextRulesInOrder) {
    const std::vector<std::pair<std::string, F>> cases = {
        {"NIKON Canon NRW ", F::nrw},    {"Canon iPhone", F::dng},   {"DJI", F::dng},
        {"FC8482", F::dng},              {"RICOH GR DIGITAL", F::dng}, {"Ricoh GR III", F::pef},
        {"Canon NIKON", F::cr2},         {"NIKON SONY", F::nef},     {"SONY SRF SR2", F::sr2},
        {"Sony SRF", F::srf},            {"SONY", F::arw},           {"Pentax SONY", F::arw},
        {"PENTAX", F::pef},              {"OM SYSTEM", F::orf},      {"Olympus Panasonic", F::orf},
        {"PANASONIC", F::rw2},           {"Leica", F::rwl},          {"KODAK DCS KDC", F::kdc},
        {"Kodak", F::dcr},               {"EPSON", F::erf},          {"Samsung", F::srw},
        {"HASSELBLAD", F::_3fr},         {"nikon canon", F::tiff},   {"", F::tiff},
    };
    for (const auto& [text, want] : cases) {
        Tiff t;
        t.ifd(8, {kWidth});
        t.text(300, text);
        EXPECT_EQ(refine(F::tiff, t.bytes), want) << '"' << text << '"';
    }
    Tiff t;
    t.ifd(8, {kWidth});
    t.text(300, "NIKON");
    EXPECT_EQ(refine(F::fff, t.bytes), F::nef);  // fff is refined by maker text too
    EXPECT_EQ(refine(F::jpeg, t.bytes), F::jpeg);
    EXPECT_EQ(refine(F::mrw, t.bytes), F::mrw);

    Tiff late(true, 70'000);
    late.ifd(8, {kWidth});
    late.text(65'540, "NIKON");  // beyond the 64 KiB window
    EXPECT_EQ(refine(F::tiff, late.bytes), F::tiff);
}

TEST(FormatDetectorRefine, TooFewBytesLeaveTheFormat) {
    EXPECT_EQ(refine(F::cr2, Tiff(true, 8).bytes), F::cr2);
    EXPECT_EQ(refine(F::mp4, isoFile("heic"), 10'000), F::mp4);  // nothing at the offset
}

// The window starts at the match within a block-aligned read; the hint gives the
// same bytes, wherever the lent buffer ends.
TEST(FormatDetectorRefine, HintAndDeviceReadAgree) {
    Tiff sub;  // the DNG tag only in a SubIFD: found on the device
    sub.ifd(8, {kWidth, {330, 4, 1, 200}});
    sub.ifd(200, {{kDng, 1, 4, 0}});
    Tiff sony;
    sony.ifd(8, {kWidth});
    sony.text(2000, "SONY");
    sony.text(3000, "SR2");
    const std::vector<std::tuple<Bytes, F, F>> files = {
        {isoFile("heic"), F::mp4, F::heic}, {sub.bytes, F::tiff, F::dng}, {sony.bytes, F::tiff, F::sr2}};
    for (const auto& [file, format, want] : files) {
        for (std::uint64_t offset : {0u, 1000u, 77'777u, 130'000u}) {
            Bytes image(200'000, 0);
            std::copy(file.begin(), file.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
            if (offset % 512 >= 5) {  // text in the aligned block but before the match is not looked at
                const std::string_view canon = "Canon";
                std::copy(canon.begin(), canon.end(), image.begin() + static_cast<std::ptrdiff_t>(offset - 5));
            }
            MemoryDevice device(image);
            FormatDetector d;
            EXPECT_EQ(d.refineFormat(format, device, offset, 512), want) << offset;
            d.setHint(image, 0);
            EXPECT_EQ(d.refineFormat(format, device, offset, 512), want) << offset;
            for (std::size_t keep : {16u, 2500u}) {  // a lent buffer that ends soon after the match
                d.setHint(std::span<const std::uint8_t>(image).subspan(offset, keep), offset);
                EXPECT_EQ(d.refineFormat(format, device, offset, 512), want) << offset << " " << keep;
            }
        }
    }

    // With the whole window in the hint no device read is needed; a block larger than
    // the window leaves the match outside what an aligned read returns.
    Bytes image(300'000, 0);
    const Bytes heic = isoFile("heic");
    std::copy(heic.begin(), heic.end(), image.begin() + 100'000);
    MemoryDevice device(image);
    FormatDetector d;
    d.setHint(image, 0);
    EXPECT_EQ(d.refineFormat(F::mp4, device, 100'000, 512), F::heic);
    EXPECT_EQ(device.readCount(), 0u);
    EXPECT_EQ(refine(F::mp4, image, 100'000, 1 << 17), F::mp4);
    EXPECT_EQ(refine(F::mp4, image, 100'000, 1 << 15), F::heic);
}

// ---- containsTag

bool contains(const Bytes& b, std::uint16_t tag, std::uint64_t base = 0) {
    MemoryDevice device(b);
    return TiffParser::containsTag(device, base, tag);
}

TEST(TiffParserContainsTag, FindsTagsAlongChainAndSubIfds) {
    for (bool little : {true, false}) {
        Tiff t(little);
        t.ifd(8, {kWidth, {330, 4, 3, 400}}, 100);   // three SubIFDs listed at 400
        t.ifd(100, {{0x0111, 4, 1, 0}}, 0);          // IFD1, end of chain
        t.put32(400, 500);
        t.put32(404, 0);
        t.put32(408, 600);
        t.ifd(500, {{0x9000, 7, 4, 0}});
        t.ifd(600, {{0x9001, 7, 4, 0}, {330, 3, 1, 700}});  // a SubIFD with its own (count 1)
        t.ifd(700, {{0x9002, 7, 4, 0}});
        for (std::uint16_t tag : {256, 330, 0x0111, 0x9000, 0x9001, 0x9002}) EXPECT_TRUE(contains(t.bytes, tag)) << tag;
        EXPECT_FALSE(contains(t.bytes, kDng));
    }
}

TEST(TiffParserContainsTag, RejectsAndSkipsImplausibleStreams) {
    Tiff t;
    t.ifd(8, {kWidth}, 8);  // a chain that points back at itself
    EXPECT_TRUE(contains(t.bytes, 256));
    EXPECT_FALSE(contains(t.bytes, kDng));
    EXPECT_FALSE(contains(Bytes(t.bytes.begin(), t.bytes.begin() + 7), 256));
    t.bytes[0] = 'X';
    EXPECT_FALSE(contains(t.bytes, 256));
    Tiff huge;
    huge.ifd(8, {{kDng, 1, 4, 0}});
    huge.put16(8, 2000);  // more entries than a directory may have
    EXPECT_FALSE(contains(huge.bytes, kDng));
    Tiff cut(true, 8 + 2 + 12);  // the next-directory offset lies past the end of the device
    cut.ifd(8, {{kDng, 1, 4, 0}});
    cut.bytes.resize(8 + 2 + 12);
    EXPECT_FALSE(contains(cut.bytes, kDng));
    Tiff far;
    far.ifd(8, {kWidth, {330, 4, 2, 0xFFFFFFF0u}}, 0xFFFFFFFFu);  // offsets past everything
    EXPECT_FALSE(contains(far.bytes, kDng));
    EXPECT_FALSE(contains(far.bytes, kDng, UINT64_MAX - 4));
}

TEST(TiffParserContainsTag, VisitsAtMostSixtyFourDirectories) {
    for (std::size_t length : {64u, 65u}) {
        Tiff t(true, 8 + 64 * 65);
        for (std::size_t i = 0; i < length; ++i) {
            const auto at = static_cast<std::uint32_t>(8 + 64 * i);
            const bool last = i + 1 == length;
            t.ifd(at, {last ? Tiff::Entry{kDng, 1, 4, 0} : kWidth}, last ? 0 : at + 64);
        }
        EXPECT_EQ(contains(t.bytes, kDng), length == 64) << length;
    }
}

// The walk as defined: a plain stack of every pushed offset and a visited set.
bool literalContainsTag(const Bytes& b, std::uint16_t tag, bool little) {
    auto rd = [&](std::uint64_t at, std::size_t n) -> std::optional<std::uint32_t> {
        if (at + n > b.size()) return std::nullopt;
        std::uint32_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v |= std::uint32_t{b[at + i]} << (8 * (little ? i : n - 1 - i));
        return v;
    };
    if (b.size() < 8) return false;
    std::vector<std::uint32_t> stack{*rd(4, 4)};
    std::set<std::uint32_t> visited;
    while (!stack.empty()) {
        const std::uint32_t o = stack.back();
        stack.pop_back();
        if (o == 0) continue;
        if (visited.size() == 64) return false;
        if (!visited.insert(o).second) continue;
        const auto c = rd(o, 2);
        if (!c || *c == 0 || *c > 1999 || o + 2 + 12ull * *c + 4 > b.size()) continue;
        for (std::uint32_t i = 0; i < *c; ++i) {
            const std::uint64_t e = o + 2 + 12ull * i;
            if (*rd(e, 2) == tag) return true;
            if (*rd(e, 2) != 330) continue;
            const std::uint32_t type = *rd(e + 2, 2), n = *rd(e + 4, 4), v = *rd(e + 8, 4);
            if (n == 1) {
                stack.push_back(v);
            } else if (type == 4 && n > 0 && n < 128 && std::uint64_t{v} + 4ull * n <= b.size()) {
                for (std::uint32_t j = 0; j < n; ++j) stack.push_back(*rd(v + 4ull * j, 4));
            }
        }
        stack.push_back(*rd(o + 2 + 12ull * *c, 4));
    }
    return false;
}

// Tangled directory graphs (shared SubIFDs, cycles, long lists, dead offsets)
// where the bounded walk must still take the same path as the literal one.
TEST(TiffParserContainsTag, AgreesWithLiteralWalkOnTangledGraphs) {
    std::mt19937 rng(11);
    for (int round = 0; round < 300; ++round) {
        const bool little = rng() % 2 == 0;
        const std::size_t dirs = 2 + rng() % 90;
        Tiff t(little, 8 + dirs * 40 + 600, 8);
        auto dirAt = [&](std::size_t i) { return static_cast<std::uint32_t>(8 + 40 * i); };
        auto anyOffset = [&]() -> std::uint32_t {
            switch (rng() % 8) {
                case 0: return 0;
                case 1: return static_cast<std::uint32_t>(rng() % t.bytes.size());
                default: return dirAt(rng() % dirs);
            }
        };
        const std::uint32_t lists = static_cast<std::uint32_t>(8 + dirs * 40);
        for (std::size_t k = 0; k < 600 / 4; ++k) t.put32(lists + 4 * k, anyOffset());
        for (std::size_t i = 0; i < dirs; ++i) {
            std::vector<Tiff::Entry> entries;
            const std::size_t n = 1 + rng() % 2;
            for (std::size_t k = 0; k < n; ++k) {
                if (rng() % 2) {
                    const std::uint32_t count = rng() % 3 == 0 ? 1 : 2 + rng() % 40;
                    entries.push_back({330, static_cast<std::uint16_t>(rng() % 5 == 0 ? 3 : 4), count,
                                       count == 1 ? anyOffset() : static_cast<std::uint32_t>(lists + 4 * (rng() % 100))});
                } else {
                    entries.push_back({static_cast<std::uint16_t>(rng() % 40 == 0 ? kDng : 256 + rng() % 4), 3, 1, 0});
                }
            }
            t.ifd(dirAt(i), entries, anyOffset());
        }
        for (std::uint16_t tag : {kDng, std::uint16_t{257}}) {
            ASSERT_EQ(contains(t.bytes, tag), literalContainsTag(t.bytes, tag, little))
                << "round " << round << " tag " << tag;
        }
    }
}

}  // namespace
}  // namespace vf
