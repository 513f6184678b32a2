// The catalogue's names and bounds, the signature search, and the telling
// apart of formats that share a header.
#include "helper/formats/FormatDetector.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "helper/formats/FileFormat.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using namespace test;
using F = FileFormat;
using Search = FormatDetector::Search;

// Records and settings store these names: each parses back to its format.
TEST(FileFormat, NamesExtensionsAndFilters) {
    for (FileFormat f : allFormats()) {
        EXPECT_EQ(formatFromName(displayName(f)), f);
        EXPECT_EQ(formatFromLowerName(lowerName(f)), f);
    }
    EXPECT_EQ(lowerName(FileFormat::_3fr), "3fr");
    const std::pair<const char*, std::optional<FileFormat>> extensions[] = {
        {"JPG", FileFormat::jpeg}, {"jpeg", FileFormat::jpeg}, {"MPO", FileFormat::jpeg}, {"HIF", FileFormat::heic},
        {"heif", FileFormat::heic}, {"TIF", FileFormat::tiff}, {"Cr2", FileFormat::cr2}, {"THM", std::nullopt},
        {"", std::nullopt}};
    for (const auto& [ext, format] : extensions) EXPECT_EQ(formatFromExtension(ext), format) << ext;
    EXPECT_EQ(parseFormatFilter("JPEG,,jpeg, PNG"), FormatSet::of({FileFormat::jpeg}));
    EXPECT_EQ(parseFormatFilter(",CR2,MP4,"), FormatSet::of({FileFormat::cr2, FileFormat::mp4}));
    EXPECT_EQ(FormatSet::of({FileFormat::mp4, FileFormat::_3fr, FileFormat::jpeg, FileFormat::webp}).sortedNames(", "),
              "3FR, JPEG, MP4, WebP");
}

TEST(FileFormat, NextFileBoundsALength) {
    constexpr std::uint64_t M = 1 << 20;
    const struct {
        FileFormat format;
        std::uint64_t length, gap, want;
        std::optional<std::uint64_t> reach;
    } cases[] = {  // running into the next file, close behind it, far from it
        {FileFormat::jpeg, 10 * M, 4 * M, 4 * M, 12 * M},       {FileFormat::jpeg, 10 * M, 12 * M, 12 * M, 12 * M},
        {FileFormat::jpeg, 10 * M, 12 * M + 1, 10 * M, 12 * M}, {FileFormat::rw2, 10 * M, 200 * M, 200 * M, std::nullopt},
        {FileFormat::fff, 0, 64 * M, 64 * M, std::nullopt},     {FileFormat::x3f, 10 * M, 11 * M, 10 * M, 10 * M - 1},
        {FileFormat::raf, 10 * M, 4 * M, 4 * M, 10 * M - 1},    {FileFormat::mrw, 0, 4 * M, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(displayName(c.format)) + " gap " + std::to_string(c.gap));
        EXPECT_EQ(boundByNextFile(c.format, c.length, c.gap), c.want);
        EXPECT_EQ(nextFileReach(c.format, c.length), c.reach);
    }
}

// Random bytes (or runs of 00, FF, or pairs that half match many rows) with rows
// of the signature table planted, some spoiled by one bit, often near the end,
// where rows stop fitting and the vector search hands over.
Bytes plantedBuffer(std::mt19937& rng) {
    const std::size_t size = rng() % 3 == 0 ? rng() % 64 : rng() % 1400;
    Bytes buf = randomBytes(size, static_cast<std::uint32_t>(rng()));
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
    const FormatDetector d;
    const Bytes jpeg{0xFF, 0xD8, 0xFF}, buf = with(with(Bytes(64, 0), 10, jpeg), 4, {0x49, 0x49, 0x2A, 0x00});
    EXPECT_EQ(d.findFirstMatch(buf, buf.size(), 0), (Match{F::tiff, 4}));
    EXPECT_EQ(d.findFirstMatch(buf, 12, 5), Match{});  // the JPEG header does not fit
    EXPECT_EQ(d.findFirstMatch(jpeg, 100, 0), (Match{F::jpeg, 0}));  // an end past the buffer reads no further
    EXPECT_EQ(d.matchAt(jpeg, 100, 50), Match{});
    const Bytes cr3{0x00, 0x00, 0x00, 0x18, 'f', 't', 'y', 'p', 'c', 'r', 'x', ' '}, rw2{0x49, 0x49, 0x55, 0x00, 0x18, 0, 0, 0};
    const std::tuple<const char*, Bytes, std::size_t, F> rows[] = {
        {"a keyed row before the any-byte mp4 row", cr3, 12, F::cr3},
        {"before mp4 in table order", with(cr3, 3, {0x20}), 12, F::cr3},
        {"no known brand", with(cr3, 8, {'i'}), 12, F::mp4},
        {"RW2", rw2, 8, F::rw2},
        {"RW2's header cut to a TIFF-like start", rw2, 4, F::fff}};
    for (const auto& [what, bytes, end, want] : rows) EXPECT_EQ(d.matchAt(bytes, end, 0).format, want) << what;
}

// Telling apart formats that share a header: the ISO media brand, the DNG
// version tag (in the first directory or deeper) and the maker's name.

constexpr std::uint16_t kDng = 50706;
const TiffEntry kWidth{256, 4, 1, 4000};

// A TIFF header pointing at `firstIfd`, grown to `size` bytes.
ByteWriter tiff(bool little = true, std::size_t size = 4096, std::uint32_t firstIfd = 8) {
    ByteWriter w(little);
    writeTiffHeader(w, 42, firstIfd);
    w.resize(size);
    return w;
}
// A TIFF whose one directory holds `entries`, with `text` at `at`.
Bytes tiffWith(const std::vector<TiffEntry>& entries, std::string_view text = "", std::size_t at = 300, bool little = true,
               std::size_t size = 4096) {
    auto t = tiff(little, size);
    writeIfd(t, 8, entries, 0);
    t.text(at, text);
    return t.bytes;
}

FileFormat refine(F format, const Bytes& bytes, std::uint64_t offset = 0, std::uint64_t block = 512) {
    MemoryDevice device(bytes);
    return FormatDetector().refineFormat(format, device, offset, block);
}

Bytes isoFile(std::string_view brand, std::size_t size = 4096) {
    Bytes b = layout(false, "    ftyp" + std::string(brand), {{0, 32}}, size);
    b.resize(size);
    return b;
}

using Row = std::tuple<std::string, F, Bytes, F>;  // what, the match, the file, its format

std::vector<Row> rows() {
    std::vector<Row> r;
    const std::pair<std::string, F> brands[] = {
        {"heic", F::heic}, {"msf1", F::heic}, {"mif1", F::heic}, {"avis", F::avif}, {"crx ", F::cr3},
        {"qt  ", F::mov},  {"isom", F::mp4},  {"he\xE9" "c", F::mp4}};  // not ASCII: no brand
    for (const auto& [brand, want] : brands) r.push_back({"brand " + brand, F::mp4, isoFile(brand), want});
    r.push_back({"a mov match is not branded", F::mov, isoFile("heic"), F::mov});
    r.push_back({"no maker rules for ISO media", F::mp4, with(isoFile("isom"), 100, {'N', 'I', 'K', 'O', 'N'}), F::mp4});
    for (bool little : {true, false})
        r.push_back({"DNG tag before the maker text", F::cr2, tiffWith({kWidth, {kDng, 1, 4, 0}}, "Nikon and Canon", 1000, little),
                     F::dng});
    auto sub = tiff();  // the DNG tag only in a SubIFD: found on the device
    writeIfd(sub, 8, {kWidth, {330, 4, 1, 200}}, 0);
    writeIfd(sub, 200, {{kDng, 1, 4, 0}}, 0);
    r.push_back({"DNG tag in a SubIFD", F::tiff, sub.bytes, F::dng});
    const std::pair<std::string, F> makers[] = {
        {"NIKON Canon NRW ", F::nrw},    {"Canon iPhone", F::dng},   {"DJI", F::dng},
        {"FC8482", F::dng},              {"RICOH GR DIGITAL", F::dng}, {"Ricoh GR III", F::pef},
        {"Canon NIKON", F::cr2},         {"NIKON SONY", F::nef},     {"SONY SRF SR2", F::sr2},
        {"Sony SRF", F::srf},            {"SONY", F::arw},           {"Pentax SONY", F::arw},
        {"PENTAX", F::pef},              {"OM SYSTEM", F::orf},      {"Olympus Panasonic", F::orf},
        {"PANASONIC", F::rw2},           {"Leica", F::rwl},          {"KODAK DCS KDC", F::kdc},
        {"Kodak", F::dcr},               {"EPSON", F::erf},          {"Samsung", F::srw},
        {"HASSELBLAD", F::_3fr},         {"nikon canon", F::tiff},   {"", F::tiff},
    };
    for (const auto& [text, want] : makers) r.push_back({'"' + text + '"', F::tiff, tiffWith({kWidth}, text), want});
    r.push_back({"maker text past a short lent buffer", F::tiff, tiffWith({kWidth}, "SONY SR2", 3000), F::sr2});
    r.push_back({"fff is refined by maker text too", F::fff, tiffWith({kWidth}, "NIKON"), F::nef});
    r.push_back({"a JPEG match is not", F::jpeg, tiffWith({kWidth}, "NIKON"), F::jpeg});
    r.push_back({"maker text beyond the 64 KiB window", F::tiff, tiffWith({kWidth}, "NIKON", 65'540, true, 70'000), F::tiff});
    return r;
}

// The window starts at the match within a block-aligned read; the hint gives the
// same bytes, wherever the lent buffer ends.
TEST(FormatDetectorRefine, BrandDngTagAndMakerTextFromDeviceOrHint) {
    for (const auto& [what, format, file, want] : rows()) {
        for (std::uint64_t offset : {0u, 1000u, 77'777u, 130'000u}) {
            SCOPED_TRACE(what + " at " + std::to_string(offset));
            Bytes image = with(Bytes(200'000, 0), offset, file);
            if (offset % 512 >= 5)  // text in the aligned block but before the match is not looked at
                std::copy_n("Canon", 5, image.begin() + static_cast<std::ptrdiff_t>(offset - 5));
            MemoryDevice device(image);
            FormatDetector d;
            EXPECT_EQ(d.refineFormat(format, device, offset, 512), want);
            d.setHint(image, 0);
            EXPECT_EQ(d.refineFormat(format, device, offset, 512), want);
            for (std::size_t keep : {16u, 2500u}) {  // a lent buffer that ends soon after the match
                d.setHint(std::span<const std::uint8_t>(image).subspan(offset, keep), offset);
                EXPECT_EQ(d.refineFormat(format, device, offset, 512), want) << keep;
            }
        }
    }
    // Where the device ends: the brand must fit, and too few bytes leave the format.
    EXPECT_EQ(refine(F::mp4, isoFile("heic", 12)), F::heic);
    EXPECT_EQ(refine(F::mp4, isoFile("heic", 11)), F::mp4);
    EXPECT_EQ(refine(F::cr2, tiff(true, 8).bytes), F::cr2);
    // With the whole window in the hint no device read is needed; a block larger than
    // the window leaves the match outside what an aligned read returns.
    const Bytes image = with(Bytes(300'000, 0), 100'000, isoFile("heic"));
    MemoryDevice device(image);
    FormatDetector d;
    d.setHint(image, 0);
    EXPECT_EQ(d.refineFormat(F::mp4, device, 100'000, 512), F::heic);
    EXPECT_EQ(device.readCount(), 0u);
    EXPECT_EQ(refine(F::mp4, image, 100'000, 1 << 17), F::mp4);
    EXPECT_EQ(refine(F::mp4, image, 100'000, 1 << 15), F::heic);
}

TEST(FormatDetectorRefine, DngVersionInFirstDirectory) {
    const Bytes le = tiffWith({kWidth, {kDng, 1, 4, 0}}), be = tiffWith({kWidth, {kDng, 1, 4, 0}}, "", 300, false);
    std::vector<TiffEntry> many(500, kWidth);  // 500 entries: implausible
    many[1] = {kDng, 1, 4, 0};
    const Bytes manyEntries = tiffWith(many);
    const std::span<const std::uint8_t> all(le);
    const struct {
        const char* what;
        std::span<const std::uint8_t> bytes;
        bool little, want;
    } cases[] = {{"II", le, true, true},
                 {"MM", be, false, true},
                 {"wrong byte order", le, false, false},
                 {"header only", all.first(8), true, false},
                 {"second tag just inside", all.first(8 + 2 + 12 + 2), true, true},
                 {"cut inside the tag", all.first(8 + 2 + 12 + 1), true, false},
                 {"500 entries", manyEntries, true, false}};
    for (const auto& c : cases) EXPECT_EQ(hasDngVersionInIfd0(c.bytes, c.little), c.want) << c.what;
    EXPECT_FALSE(hasDngVersionInIfd0(tiff(true, 64, 62).bytes, true));  // no room for a count
}

bool contains(const Bytes& b, std::uint16_t tag, std::uint64_t base = 0) {
    MemoryDevice device(b);
    return TiffParser::containsTag(device, base, tag);
}

TEST(TiffParserContainsTag, FindsTagsAlongChainAndSubIfds) {
    for (bool little : {true, false}) {
        auto t = tiff(little);
        writeIfd(t, 8, {kWidth, {330, 4, 3, 400}}, 100);  // three SubIFDs listed at 400
        writeIfd(t, 100, {{0x0111, 4, 1, 0}}, 0);          // IFD1, end of chain
        t.put({{400, 4, 500}, {404, 4, 0}, {408, 4, 600}});
        writeIfd(t, 500, {{0x9000, 7, 4, 0}}, 0);
        writeIfd(t, 600, {{0x9001, 7, 4, 0}, {330, 4, 1, 700}}, 0);  // a SubIFD with its own
        writeIfd(t, 700, {{0x9002, 7, 4, 0}}, 0);
        for (std::uint16_t tag : {256, 330, 0x0111, 0x9000, 0x9001, 0x9002}) EXPECT_TRUE(contains(t.bytes, tag)) << tag;
        EXPECT_FALSE(contains(t.bytes, kDng));
    }
}

TEST(TiffParserContainsTag, RejectsAndSkipsImplausibleStreams) {
    // One directory at 8 holding `entries` and pointing at `next`.
    const auto ifd = [](const std::vector<TiffEntry>& entries, std::uint32_t next) {
        auto t = tiff();
        writeIfd(t, 8, entries, next);
        return t.bytes;
    };
    const auto first = [](const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); };
    const Bytes loop = ifd({kWidth}, 8), far = ifd({kWidth, {330, 4, 2, 0xFFFFFFF0u}}, 0xFFFFFFFFu);
    // At most 64 directories are visited.
    const auto chain = [](std::size_t length) {
        auto t = tiff(true, 8 + 64 * 65);
        for (std::uint32_t i = 1, at = 8; i <= length; ++i, at += 64)
            writeIfd(t, at, {i < length ? kWidth : TiffEntry{kDng, 1, 4, 0}}, i < length ? at + 64 : 0);
        return t.bytes;
    };
    const struct {
        const char* what;
        Bytes bytes;
        std::uint16_t tag;
        bool want;
        std::uint64_t base = 0;
    } cases[] = {{"a chain back to itself", loop, 256, true},
                 {"a chain back to itself, no DNG tag", loop, kDng, false},
                 {"cut inside the header", first(loop, 7), 256, false},
                 {"no byte order", with(loop, 0, {'X'}), 256, false},
                 {"more entries than a directory may have", with(ifd({{kDng, 1, 4, 0}}, 0), 8, {0xD0, 0x07}), kDng, false},
                 {"next offset past the device end", first(ifd({{kDng, 1, 4, 0}}, 0), 8 + 2 + 12), kDng, false},
                 {"offsets past everything", far, kDng, false},
                 {"offsets past everything from far in", far, kDng, false, UINT64_MAX - 4},
                 {"64 directories", chain(64), kDng, true},
                 {"65 directories", chain(65), kDng, false}};
    for (const auto& c : cases) EXPECT_EQ(contains(c.bytes, c.tag, c.base), c.want) << c.what;
}

}  // namespace
}  // namespace vf
