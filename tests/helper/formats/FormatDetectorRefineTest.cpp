// Telling apart formats that share a header: the ISO media brand, the DNG
// version tag (in the first directory or deeper) and the maker's name.
#include <gtest/gtest.h>

#include <string>

#include "helper/formats/FormatDetector.h"
#include "tests/support/MediaSynthetic.h"

namespace vf {
namespace {

using namespace test;
using F = FileFormat;
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
