// The calculator's reads, and every length rule on files laid out byte by byte:
// the corner cases of each structure, broken and hostile fields, the file at
// odd offsets and at the device's end, measured with and without the scan
// loop's hint; and data that is no file at all.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "common/ByteReader.h"
#include "helper/formats/FileSizeCalculator.h"
#include "helper/formats/FormatDetector.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/MediaTools.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using namespace test;
using namespace std::literals;
using F = FileFormat;
constexpr std::uint64_t kWhole = UINT64_MAX;  // the file's own size
constexpr std::uint64_t kAny = UINT64_MAX - 1;  // a header check's row: any length
constexpr std::uint64_t M = 1 << 20;
constexpr std::uint16_t kShort = 3, kLong = 4, kAscii = 2;

// Measures four ways, which must agree: no hint, a hint holding the whole image,
// a hint that ends inside the file (as a scan buffer does), and on a device that
// lends no views, so that every byte is read, in whole blocks.
std::uint64_t measure(F format, const Bytes& image, std::uint64_t offset, std::uint64_t blockSize = 512) {
    MemoryDevice device(image);
    test::FaultyDevice reader(image);
    FileSizeCalculator plain(blockSize), whole(blockSize), part(blockSize);
    const std::uint64_t a = plain.calculateSize(format, device, offset);
    EXPECT_EQ(FileSizeCalculator(blockSize).calculateSize(format, reader, offset), a) << displayName(format) << " read";
    // Block sizes are powers of two: `at | n` is a multiple of one when both are.
    for (const auto& [at, n] : reader.reads) EXPECT_TRUE(n > 0 && (at | n) % blockSize == 0) << displayName(format) << " read at " << at;
    whole.setHint(image, 0);
    const std::uint64_t base = alignDown(std::min<std::uint64_t>(offset, image.size()), blockSize);
    part.setHint(std::span<const std::uint8_t>(image).subspan(base, std::min<std::uint64_t>(image.size() - base, 4096)), base);
    EXPECT_EQ(whole.calculateSize(format, device, offset), a) << displayName(format) << " at " << offset << ": whole-image hint";
    EXPECT_EQ(part.calculateSize(format, device, offset), a) << displayName(format) << " at " << offset << ": partial hint";
    return a;
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// An uncompressed 24-bit BMP with a 40-byte info header.
Bytes bmpFile(std::uint32_t width, std::uint32_t height) {
    const std::uint32_t pixels = (width * 3 + 3) / 4 * 4 * height;
    return cat(layout(true, "BM", {{2, 54 + pixels}, {10, 54}, {14, 40}, {18, width}, {22, height}, {26, 1 | 24 << 16}, {34, pixels}}, 54),
               test::randomBytes(pixels, width));
}

struct Box {
    std::string type;
    std::uint64_t size;
    bool extended = false;
};
// ISO box headers at their positions; payloads are zeros, or absent beyond `keep`.
Bytes boxes(const std::vector<Box>& list, std::size_t keep = SIZE_MAX) {
    ByteWriter w(false);
    std::uint64_t p = 0;
    for (const Box& b : list) {
        if (p + 16 > keep) break;
        const std::size_t at = static_cast<std::size_t>(p);
        w.u32(at, b.extended ? 1 : static_cast<std::uint32_t>(b.size));
        if (b.extended) w.u64(at + 8, b.size);
        w.text(at + 4, b.type);
        if (b.type == "ftyp") w.text(at + 8, "isom");
        p += b.size == 0 ? 16 : b.size;
    }
    w.resize(static_cast<std::size_t>(std::min<std::uint64_t>(p, keep)));
    return w.bytes;
}

// A TIFF header (version as given; 0x55 is RW2's) with one directory at `at`, grown to `size` bytes.
ByteWriter tiff(bool little, std::uint16_t version, const std::vector<TiffEntry>& entries, std::size_t size,
                std::uint32_t next = 0, std::uint32_t at = 8) {
    ByteWriter w(little);
    test::writeTiffHeader(w, version, at);
    test::writeIfd(w, at, entries, next);
    w.resize(size);
    return w;
}
Bytes rw2(const std::vector<TiffEntry>& entries) { return tiff(true, 0x55, entries, 4096, 0, 24).bytes; }

// A GIF whose first block is an image at (left, top) of width x height on a 2 x 2
// screen, after a global table of 4 colours; LZW code size 2.
Bytes gifFrame(std::uint32_t left, std::uint32_t top, std::uint32_t width, std::uint32_t height) {
    return layout(true, "GIF89a", {{6, 2 | 2 << 16}, {10, 0x81}, {24, 0x2C00}, {26, left | top << 16}, {30, width | height << 16}, {34, 0x200}});
}

struct Case {
    std::string what;
    F format;
    Bytes file;
    std::uint64_t want;        // kWhole: the file's size
    std::uint64_t offset = 0;  // where the file starts on the device
    std::size_t after = 0;     // random bytes after it; 0: the device ends with it
    std::uint64_t block = 512;
    std::optional<bool> plausible = {};  // what plausibleStart says of it
};

std::vector<Case> stillImages() {
    std::vector<Case> c;
    // The scan data begins at byte 30; a search chunk is 512 KiB, so FF is the
    // first chunk's last byte and D9 the next one's first.
    const Bytes split = test::jpegOfSize(30 + 512 * 1024 + 1, 8);
    c.push_back({"JPEG: end marker split across chunks", F::jpeg, split, kWhole, 0, 5000});
    c.push_back({"JPEG: end marker split across chunks, unaligned start", F::jpeg, split, kWhole, 1000, 5000});
    Bytes stuffed = test::jpegOfSize(30 + 4096, 12);
    stuffed.resize(30);
    for (int i = 0; i < 2000; ++i) stuffed.insert(stuffed.end(), {0xFF, 0x00, 0xFF, 0xFF, 0x12});
    c.push_back({"JPEG: stuffed and fill bytes, then FF FF D9", F::jpeg, cat(stuffed, {0xFF, 0xFF, 0xD9}), kWhole, 512, 4000});
    // Its entropy bytes hold no FF.
    c.push_back({"JPEG: FF D9 ending the first chunk", F::jpeg, test::jpegOfSize(30 + 512 * 1024, 14), kWhole, 0, 4000});
    c.push_back({"JPEG: no scan", F::jpeg, {0xFF, 0xD8, 0xFF, 0xD9}, 4, 100, 2000});
    c.push_back({"JPEG: segment length 1", F::jpeg, with(test::jpegOfSize(3000, 10), 4, {0, 1}), 0, 100, 2000, 512, false});
    c.push_back({"JPEG: cut before its end marker by the device end", F::jpeg, Bytes(split.begin(), split.begin() + 50'000), 0});
    c.push_back({"JPEG: no start marker", F::jpeg, with(test::jpegOfSize(3000, 10), 1, {0xD7}), 0});
    // Metadata segments that end the marker walk's 2 MiB window with the scan header.
    ByteWriter big(false, 2 * M - 10);
    big.u16(0, 0xFFD8);
    for (std::size_t at = 2; at < 2 * M - 10; at += 65537)  // the last one shorter, up to the scan header
        big.put({{at, 2, 0xFFE1}, {at + 2, 2, std::min<std::size_t>(65535, 2 * M - 12 - at)}});
    const Bytes scan = test::jpegOfSize(5000, 3);
    c.push_back({"JPEG: scan header ending at the 2 MiB window", F::jpeg, cat(big.bytes, Bytes(scan.begin() + 20, scan.end())),
                 kWhole, 0, 3000});
    // A camera's preview after the primary image, joined by an MPF index.
    const Bytes primary = test::jpegOfSize(40'000, 14), preview = test::jpegOfSize(25'000, 15);
    for (bool little : {false, true})
        c.push_back({little ? "MPF: II" : "MPF: MM", F::jpeg, test::mpfJpeg(primary, preview, little), kWhole, 4097, 10'000});
    Bytes mpf = test::mpfJpeg(primary, preview);
    c.push_back({"MPF: preview without a start marker", F::jpeg, with(mpf, primary.size() + 90, {0}), primary.size() + 90});
    // APP0, APP2 header, second entry's offset: beyond the 512 MiB search.
    c.push_back({"MPF: preview too far", F::jpeg, with(mpf, 20 + 8 + 74, {0x40}), primary.size() + 90});

    const Bytes png = layout(false, "\x89PNG\r\n\x1A\n\0\0\0\rIHDR"sv, {}, 3000);
    c.push_back({"PNG: chunk above 128 MiB", F::png, with(png, 8, {8, 0, 0, 1}), 4 * M, 512, 4096});
    c.push_back({"PNG: device ends before IEND", F::png, with(png, 33, {0, 0, 0x13, 0x88, 'I', 'D', 'A', 'T'}), 4 * M});

    const Bytes gif = with(gifFrame(0, 0, 2, 2), 37, {0x3B});
    Bytes frames(gif.begin(), gif.end() - 1);  // a second image with data longer than one 64 KiB read
    frames = cat(frames, {0x2C, 0, 0, 0, 0, 2, 0, 2, 0, 0, 8});
    for (int i = 0; i < 1000; ++i) frames = cat(frames, with(Bytes(256, 0x3B), 0, {255}));
    c.push_back({"GIF: long image data", F::gif, cat(frames, {0, 0x3B}), kWhole, 700, 3000});
    c.push_back({"GIF: no block where one begins", F::gif, with(gif, 25, {0x99}), 2 * M, 0, 5000});
    c.push_back({"GIF: device ends before the trailer", F::gif, Bytes(gif.begin(), gif.end() - 1), 2 * M});

    const Bytes bmp = bmpFile(101, 37);
    const Bytes unsized = with(bmp, 2, {0, 0, 0, 0});
    c.push_back({"BMP: size 0, uncompressed", F::bmp, unsized, bmp.size()});
    c.push_back({"BMP: size 0, RLE8", F::bmp, with(with(unsized, 28, {8}), 30, {1}), 2 * M});
    const Bytes square = bmpFile(64, 64);
    const std::tuple<const char*, std::size_t, std::uint8_t> faults[] = {
        {"reserved field", 7, 1},        {"DIB header size 41", 14, 41}, {"two planes", 26, 2},
        {"bit depth 7", 28, 7},          {"pixels beyond the size", 12, 0x40}, {"size below the pixels", 3, 0x10},
        {"size far above the pixels", 5, 0x10}, {"unknown compression", 30, 9}};
    for (const auto& [what, at, value] : faults) c.push_back({std::string("BMP: ") + what, F::bmp, with(square, at, {value}), 0});
    c.push_back({"BMP: zero width", F::bmp, with(square, 18, {0, 0}), 0});
    // Compressed, so no pixel count to check: only the offset tells there are none.
    c.push_back({"BMP: pixels start at its end", F::bmp, with(with(with(square, 28, {8}), 30, {1}), 10, {0x36, 0x30}), 0});

    // One white-space byte ends the header: pixels may look like white space (here LF).
    c.push_back({"PPM: CR LF and tabs", F::ppm, layout(false, "P6\r\n+3 2\t255\r\n"), 13 + 18u});
    c.push_back({"PPM: pixels that look like white space", F::ppm, layout(false, "P6\n1 1\n255\n\n \t"), 14});
    for (const char* h : {"P5\n640 480\n255\n", "P6\n640 -480\n255\n", "P6\n640 480\n0\n", "P6\n640 480\n65536\n",
                          "P6\n0 480\n255\n", "P6\n640 480\n# to the end", "P6\n640", "P6\n99999999999999999999 2\n255\n",
                          "P6\n4294967296 4294967296\n255\n"})
        c.push_back({std::string("PPM: ") + h, F::ppm, layout(false, h), 0});
    return c;
}

std::vector<Case> containers() {
    std::vector<Case> c;
    const Bytes index = boxes({{"ftyp", 32}, {"moov", 5000}, {"mdat", 10'000'000}}, 6000);
    c.push_back({"ISO: moov, then mdat", F::mp4, index, 10'005'032});
    c.push_back({"ISO: 64-bit size", F::mp4, boxes({{"ftyp", 32}, {"moov", 5000}, {"mdat", 5'000'000'000, true}}, 6000),
                 5'000'005'032});
    c.push_back({"ISO: CR3 inside other bytes", F::cr3, index, 10'005'032, 999, 3000});
    c.push_back({"ISO: size 0 ends the walk", F::mp4, boxes({{"ftyp", 32}, {"free", 0}}), 32});
    c.push_back({"ISO: only an mdat of size 0", F::mp4, boxes({{"mdat", 0}}), 32 * M});
    c.push_back({"ISO: no box header", F::mp4, {0, 0, 0}, 32 * M});
    // A HEIC ("ftyp", "meta", "mdat") ends at "mdat" whatever follows it; burst
    // shots lie back to back, whichever of "meta" and "mdat" comes first.
    const Bytes heic = boxes({{"ftyp", 24}, {"meta", 900}, {"mdat", 30'000}});
    const Bytes mdatFirst = boxes({{"ftyp", 24}, {"mdat", 30'000}, {"meta", 900}});
    c.push_back({"HEIC: zeros after it", F::heic, cat(heic, Bytes(8192, 0)), heic.size()});
    c.push_back({"HEIC: burst", F::heic, cat(heic, heic), heic.size()});
    c.push_back({"AVIF: burst, mdat first", F::avif, cat(mdatFirst, mdatFirst), mdatFirst.size()});
    // A movie with only "mdat" is summed while headers look like boxes.
    const Bytes movie = boxes({{"ftyp", 24}, {"mdat", 3000}});
    c.push_back({"ISO: junk after mdat", F::mp4, cat(movie, {0, 0, 0x10, 0, 1, 2, 3, 4}), 3024});
    c.push_back({"ISO: box smaller than its header", F::mp4, cat(movie, {0, 0, 0, 4, 'f', 'r', 'e', 'e'}), 3024});
    c.push_back({"ISO: past 64 GiB", F::mp4, boxes({{"ftyp", 32}, {"mdat", 70'000'000'000, true}}, 64), 70'000'000'032});
    c.push_back({"ISO: size past 64 bits", F::mp4,
                 boxes({{"ftyp", 32}, {"free", 1000}, {"mdat", UINT64_MAX - 100, true}}, 2000), 1032});
    c.push_back({"ISO: 2,000 boxes at most", F::mov, boxes(std::vector<Box>(2500, {"free", 8})), 16'000});

    c.push_back({"RIFF: size 0", F::webp, layout(true, "RIFF    WEBP", {{4, 0}}), 8});
    // OpenDML: two "AVIX" lists of 1,992 bytes follow the first RIFF of a large AVI.
    const Bytes avix = {'R', 'I', 'F', 'F', 0xC8, 0x07, 0, 0, 'A', 'V', 'I', 'X'};
    const Bytes avi = with(with(layout(true, "RIFF    AVI LIST", {{4, 992}}, 5000), 1000, avix), 3000, avix);
    c.push_back({"RIFF: AVIX lists", F::avi, avi, kWhole, 700, 4000});
    c.push_back({"RIFF: no size", F::avi, {'R', 'I', 'F', 'F', 1}, 0});

    c.push_back({"TS: ten packets are too few", F::mts, cat(test::tsPackets(10, 4), {0x12}), 0, 4096, 4000, 512, false});
    const Bytes eleven = cat(test::tsPackets(11, 4), {0});
    c.push_back({"TS: eleven packets", F::mts, eleven, 2068, 4096, 4000});
    c.push_back({"M2TS: eleven packets", F::m2ts, eleven, 2068, 4096, 4000});
    c.push_back({"TS: longer than one read, to the device end", F::mts, test::tsPackets(10'000, 6), kWhole, 1001});
    c.push_back({"TS: past 94 MB, where a cap would split the clip", F::mts, test::tsPackets(500'100, 8), kWhole, 0, 0, 4096});

    // The footer partition ends with its index segment, fill and random index pack;
    // without them, the footer partition pack's own packet ends the file.
    const Bytes bare = test::mxfFile(5, 3000);
    c.push_back({"MXF: footer pack alone", F::mxf, bare, kWhole, 0, 9000});
    c.push_back({"MXF: another file's header after the footer", F::mxf, cat(bare, test::mxfFile(1, 10)), bare.size()});
    const Bytes two = test::mxfFile(2, 100);
    const std::size_t second = 108 + 121;  // header pack (20 + 88), first element (21 + 100)
    c.push_back({"MXF: BER length of 9 bytes", F::mxf, with(two, second + 16, {0x89}), second});
    c.push_back({"MXF: BER length 0x80", F::mxf, with(two, second + 16, {0x80}), second});
    c.push_back({"MXF: length past 64 bits in the sum", F::mxf,
                 with(two, second + 16, {0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), second});
    c.push_back({"MXF: no packet", F::mxf, Bytes(10, 6), 4096 * M});

    c.push_back({"BRAW: size field", F::braw, layout(true, "BRAW", {{8, 0xBE991A14}, {12, 0x1C}}), 123'456'789'012ull, 0, 0, 512, true});
    c.push_back({"BRAW: size 0", F::braw, layout(true, "BRAW", {}, 16), 4096 * M});
    c.push_back({"BRAW: header cut", F::braw, layout(false, "BRAW"), 0});
    return c;
}

std::vector<Case> raws() {
    std::vector<Case> c;
    const auto t = [&](std::string what, const Bytes& file, std::uint64_t want) {
        c.push_back({"TIFF: " + what, F::tiff, file, want, 1234, 8192});
    };
    // A little-endian TIFF whose one directory holds `entries`, of `size` bytes.
    const auto one = [](const std::vector<TiffEntry>& entries, std::size_t size) { return tiff(true, 42, entries, size).bytes; };
    const Bytes strip = one({{256, kShort, 1, 100}, {273, kLong, 1, 1000}, {279, kLong, 1, 50'000}}, 51'000);
    t("one strip", strip, kWhole);
    t("ending within 512 bytes", one({{273, kLong, 1, 100}, {279, kLong, 1, 300}}, 400), 0);
    for (std::uint16_t v : {0x4F52, 0x5352, 85})
        t("version " + std::to_string(v), tiff(true, v, {{273, kLong, 1, 600}, {279, kLong, 1, 400}}, 1000).bytes, kWhole);
    t("BigTIFF", tiff(true, 43, {{273, kLong, 1, 600}, {279, kLong, 1, 400}}, 1000).bytes, 0);
    // Big-endian count-1 SHORT: the value is in the field's first two bytes.
    t("big-endian SHORT", tiff(false, 42, {{273, kLong, 1, 2000}, {279, kShort, 1, 3000}}, 5000).bytes, kWhole);
    // Two SHORT counts stand in the field itself; the two LONG offsets at 200.
    ByteWriter two = tiff(true, 42, {{273, kLong, 2, 200}, {279, kShort, 2, 1500 | (2500u << 16)}}, 5000);
    two.put({{200, 4, 1000}, {204, 4, 1500}});
    t("two strips in the field", two.bytes, 4000);
    const std::uint32_t n = 20'000;  // strips of 100 bytes from 200,000 on
    ByteWriter list = tiff(true, 42, {{273, kLong, n, 1000}, {279, kShort, n, 1000 + 4 * n}}, 200'000 + 100 * n);
    for (std::uint32_t i = 0; i < n; ++i) list.put({{1000 + 4 * i, 4, 200'000 + 100 * i}, {1000 + 4 * n + 2 * i, 2, 100}});
    t("20,000 strips", list.bytes, kWhole);
    // Counts no file has: the list is not read (and nothing is allocated for it).
    t("strip counts of 2^32 - 1", one({{273, kLong, 0xFFFFFFFF, 1000}, {279, kLong, 0xFFFFFFFF, 2000}, {270, kAscii, 30, 900}}, 3000), 930);
    ByteWriter sub = tiff(true, 42, {{273, kLong, 1, 600}, {279, kLong, 1, 100}, {330, kLong, 1, 800}}, 100'000);
    test::writeIfd(sub, 800, {{273, kLong, 1, 10'000}, {279, kLong, 1, 90'000}}, 0);
    t("raw strip in a SubIFD", sub.bytes, kWhole);
    ByteWriter cycle = tiff(false, 42, {{273, kLong, 1, 2000}, {279, kLong, 1, 1000}}, 10'000, 500);
    test::writeIfd(cycle, 500, {{273, kLong, 1, 3000}, {279, kLong, 1, 7000}}, 8);  // back to the first
    t("directory cycle", cycle.bytes, kWhole);
    t("maker string after the strip", one({{273, kLong, 1, 1000}, {279, kLong, 1, 1000}, {271, kAscii, 500, 2000}}, 2500), kWhole);
    t("data beyond what TIFF can address", one({{273, kLong, 1, 1000}, {279, kLong, 1, 1000}, {50000, 12, 0x40000000, 5}}, 2000), kWhole);
    // Entry count 0, then above 999: skipped; the strip from the good one counts.
    ByteWriter skip = tiff(true, 42, {{273, kLong, 1, 4000}, {279, kLong, 1, 1000}, {330, kLong, 2, 600}}, 5000);
    skip.put({{600, 4, 700}, {604, 4, 710}, {700, 2, 0}, {710, 2, 1000}});
    t("unreadable SubIFDs", skip.bytes, kWhole);
    c.push_back({"TIFF: directory cut by the device end", F::tiff, Bytes(strip.begin(), strip.begin() + 20), 0});

    const std::vector<TiffEntry> dims = {{256, kLong, 1, 5184}, {257, kShort, 1, 3888}, {258, kShort, 1, 12}};
    c.push_back({"RW2: from the dimensions", F::rw2, rw2(dims), 34'427'392, 0, 0, 512, true});
    c.push_back({"RW2: no width", F::rw2, rw2({dims[1], dims[2]}), 20 * M});
    c.push_back({"RW2: directory inside the header", F::rw2, layout(true, "IIU\0"sv, {{4, 4}}, 4096), 20 * M, 0, 0, 512, false});
    c.push_back({"RW2: directory past the first 512 bytes", F::rw2, rw2(std::vector<TiffEntry>(45, {1, kShort, 1, 0})), 20 * M});
    c.push_back({"RW2: header cut", F::rw2, {0x49, 0x49, 0x55, 0x00, 0x18}, 0});
    c.push_back({"RW2: anywhere in its block", F::rw2, rw2(dims), 34'427'392, 3000, 3000, 4096});

    const Bytes crw = test::crwFile(300'000, 3);
    c.push_back({"CRW: root heap directory", F::crw, crw, kWhole, 4100, 50'000, 512, true});
    c.push_back({"CRW: raw data across 4 MiB reads", F::crw, test::crwFile(9'000'000, 5), kWhole, 512, 1000});
    c.push_back({"CRW: no root directory", F::crw, with(crw, crw.size() - 1, {static_cast<std::uint8_t>(crw.back() ^ 0x40)}),
                 12 * M, 0, 1000});
    c.push_back({"CRW: heap starting past 4 KiB", F::crw, test::crwFile(300'000, 3, 5000), 12 * M, 0, 1000, 512, false});
    c.push_back({"CRW: header cut", F::crw, Bytes(crw.begin(), crw.begin() + 10), 0});

    const auto raf = [](std::uint32_t rawLength) {
        return layout(false, "FUJIFILMCCD-RAW 0201FF383501", {{84, 148}, {88, 1'000'000}, {100, 1'100'000}, {104, rawLength}}, 512);
    };
    c.push_back({"RAF: ends below 4 MiB", F::raf, raf(2'000'000), 30 * M});
    c.push_back({"RAF: raw data's end", F::raf, raf(20'000'000), 21'100'000});
    c.push_back({"RAF: anywhere in its block", F::raf, raf(20'000'000), 21'100'000, 3000, 4000, 4096});
    c.push_back({"RAF: header cut", F::raf, Bytes(100, 'F'), 0});

    c.push_back({"IIQ: size field", F::iiq, layout(true, "IIII", {{8, 45'000'000}}), 45'000'000});
    c.push_back({"IIQ: size 0", F::iiq, layout(true, "IIII", {{8, 0}}), 80 * M});
    c.push_back({"IIQ: header cut", F::iiq, layout(false, "IIIIxxxxxx"), 0});

    c.push_back({"X3F: directory", F::x3f, test::x3fFile(100'000, 3, true, 2640, 1760), kWhole, 4099, 9000, 512, true});
    c.push_back({"X3F: directory across two 4 MiB reads", F::x3f, test::x3fFile(4 * M - 46, 2, true, 2640, 1760), kWhole, 0, 100});
    c.push_back({"X3F: pointer elsewhere, the dimensions", F::x3f, test::x3fFile(100'000, 3, false, 2640, 1760),
                 2640u * 1760 * 9 + 4 * M});
    c.push_back({"X3F: implausible dimensions", F::x3f, test::x3fFile(1000, 3, false, 100, 1760), 20 * M});

    c.push_back({"MRW: outer block 0", F::mrw, layout(false, "\0MRM"sv, {}, 512), 16 * M, 0, 0, 512, false});
    const auto mrw = [](std::string_view block) {  // a 3000 x 4000 picture at 12 bits
        return layout(false, block, {{4, 30'000}, {24, 3000u << 16 | 4000}, {32, 12u << 24}}, 512);
    };
    c.push_back({"MRW: PRD dimensions", F::mrw, mrw("\0MRM\0\0\0\0\0PRD"sv), 30'000u + 18'000'000 + 8, 0, 0, 512, true});
    c.push_back({"MRW: PRD of no dimensions", F::mrw, layout(false, "\0MRM\0\0\0\0\0PRD"sv, {{4, 30'000}}, 512), 30'000u + 16 * M + 8});
    c.push_back({"MRW: no PRD block", F::mrw, mrw("\0MRM\0\0\0\0\0TTW"sv), 30'000u + 16 * M + 8});
    return c;
}

Bytes tiffHeader(bool little, std::uint16_t version, std::uint32_t at, std::uint16_t count, std::uint16_t type = 3) {
    return tiff(little, version, std::vector<TiffEntry>(count, {256, type, 1, 100}), 0, 0, at).bytes;
}

Bytes isoStart(const std::vector<std::pair<std::string, std::uint32_t>>& boxes) {
    ByteWriter w(false);
    std::size_t p = 0;
    for (const auto& [type, size] : boxes) {
        w.u32(p, size);
        w.text(p + 4, type);
        if (type == "ftyp") w.text(p + 8, "isom");
        p += type == "moov" ? 8 : size;  // moov's first child follows its header
    }
    w.resize(p + 64);
    return w.bytes;
}

// A row for plausibleStart alone, the file followed by `after` random bytes.
Case check(std::string what, F format, Bytes file, bool plausible, std::size_t after = 8192) {
    return {std::move(what), format, std::move(file), kAny, 0, after, 512, plausible};
}

std::vector<Case> headers() {
    const Bytes jpeg = test::jpegOfSize(5000, 1);
    const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 1, 0, 0, 0, 1, 0, 8, 2};
    const Bytes gif = with(gifFrame(0, 0, 2, 2), 37, {0x3B}), bmp = bmpFile(30, 20);
    // Read at 4, the header's own bytes would pass for four entries of type 3.
    const Bytes inHeader = layout(true, "II*\0"sv, {{4, 4}, {8, 3}, {20, 3}, {32, 3}, {44, 3}});
    return {
        check("JPEG: scan right after the start marker", F::jpeg, with(jpeg, 3, {0xDA}), false, 0),
        check("JPEG: segment not followed by a marker", F::jpeg, with(jpeg, 5, {0x11}), false, 0),
        check("PNG: IHDR of 14 bytes", F::png, with(png, 11, {14}), false),
        check("GIF: no block after the colour table", F::gif, with(gif, 25, {0}), false, 0),
        check("GIF: frame inside the screen", F::gif, gifFrame(0, 0, 2, 2), true),
        check("GIF: frame too wide", F::gif, gifFrame(0, 0, 3, 2), false),
        check("GIF: frame too high", F::gif, gifFrame(0, 0, 2, 3), false),
        check("GIF: frame below the screen", F::gif, gifFrame(0, 1, 2, 2), false),
        check("GIF: frame right of the screen", F::gif, gifFrame(1, 0, 2, 2), false),
        check("BMP: three planes", F::bmp, with(bmp, 26, {3}), false, 0),
        check("PPM: P5", F::ppm, layout(false, "P5\n4 4\n255\n", {}), false),
        check("CR2 big-endian", F::cr2, tiffHeader(false, 42, 8, 12), true),
        check("ORF", F::orf, tiffHeader(true, 0x4F52, 8, 12), true),
        check("TIFF: directory after the data", F::tiff, tiffHeader(true, 42, 6000, 12), true),
        check("TIFF: version 43", F::tiff, tiffHeader(true, 43, 8, 12), false),
        check("TIFF: no entries", F::tiff, tiffHeader(true, 42, 8, 0), false),
        check("TIFF: 1000 entries", F::tiff, tiffHeader(true, 42, 8, 1000), false),
        check("TIFF: field type 0", F::tiff, tiffHeader(true, 42, 8, 12, 0), false),
        check("TIFF: field type 14", F::tiff, tiffHeader(true, 42, 8, 12, 14), false),
        check("TIFF: first directory inside the header", F::tiff, inHeader, false),
        check("X3F: width 0", F::x3f, test::x3fFile(100, 1, true, 0, 1760), false, 0),
        check("IIQ", F::iiq, layout(true, "IIII\0waR"sv, {{8, 45'000'000}}), true),  // "Raw", little-endian
        check("IIQ: Raw in the wrong order", F::iiq, layout(true, "IIII\0Raw"sv, {{8, 45'000'000}}), false),
        check("BRAW: size 5", F::braw, layout(true, "BRAW", {{8, 5}}, 16), false, 0),
        check("MOV from moov", F::mov, isoStart({{"moov", 5000}, {"mvhd", 108}}), true, 0),
        check("MOV: moov of no known child", F::mov, isoStart({{"moov", 5000}, {"zzzz", 108}}), false, 0),
        check("MP4: ftyp of 7 bytes", F::mp4, isoStart({{"ftyp", 7}}), false, 0),
        check("MP4: ftyp of 70,000 bytes", F::mp4, isoStart({{"ftyp", 70'000}}), false, 0),
        check("MOV from mdat", F::mov, isoStart({{"mdat", 1000}, {"moov", 5000}, {"mvhd", 108}}), true, 0),
        check("MOV: mdat followed by no box", F::mov, isoStart({{"mdat", 1000}, {"xyzw", 5000}}), false, 0),
        check("WebP: first chunk past the size", F::webp, layout(true, "RIFF    WEBPVP8 ", {{4, 5000}, {16, 6000}}), false),
        check("AVI", F::avi, layout(true, "RIFF    AVI LIST    hdrl", {{4, 500'000}, {16, 8000}}), true),
        check("MXF: partition pack of 40 bytes", F::mxf, with(test::mxfFile(1, 100), 19, {40}), false, 0),
    };
}

void measureAll(const std::vector<Case>& cases) {
    std::uint32_t seed = 0;
    for (const Case& c : cases) {
        const Bytes image = test::embedAt(c.file, c.offset, c.offset + c.file.size() + c.after, ++seed);
        const std::uint64_t length = measure(c.format, image, c.offset, c.block);
        if (c.want != kAny) {
            EXPECT_EQ(length, c.want == kWhole ? c.file.size() : c.want) << c.what;
        }
        if (!c.plausible) continue;
        MemoryDevice device(image);
        FileSizeCalculator calc(c.block);
        EXPECT_EQ(calc.plausibleStart(c.format, device, c.offset), *c.plausible) << c.what;
        calc.setHint(image, 0);
        EXPECT_EQ(calc.plausibleStart(c.format, device, c.offset), *c.plausible) << c.what << " with the hint";
    }
}

TEST(LengthRules, EveryCase) {
    for (const auto& cases : {stillImages(), containers(), raws(), headers()}) measureAll(cases);
}

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
    // Unless the caller takes the blocks before the bad one.
    const auto cut = calc.readChunk(5000, 2000, device, FileSizeCalculator::Unreadable::cut);
    EXPECT_TRUE(holds(cut, image, 5000, 1144) && cut->cut);
}

TEST(FileSizeCalculatorJpeg, GivesUpWithAWarningOrOnAFailedRead) {
    // A 1-byte block makes the search 1024 chunks of 1,024 bytes.
    const auto far = test::jpegOfSize(1'100'000, 11);
    const auto near = test::jpegOfSize(1'000'000, 11);
    LogCapture log;
    EXPECT_EQ(measure(FileFormat::jpeg, near, 0, 1), near.size());
    EXPECT_TRUE(log.lines.empty());
    EXPECT_EQ(measure(FileFormat::jpeg, far, 0, 1), 0u);
    EXPECT_EQ(log.lines.empty() ? "" : log.lines.back(), "⚠️ JPEG EOI not found within 512 MB — treating as false positive");

    test::FaultyDevice faulty(near);
    faulty.failRange(200'000, 200'512);
    FileSizeCalculator calc(512);
    EXPECT_EQ(calc.calculateSize(FileFormat::jpeg, faulty, 0), 0u);
    // A bad block past the photo's end but inside its 2 MiB marker window costs nothing.
    auto padded = near;
    padded.resize(near.size() + (1 << 21));
    test::FaultyDevice later(padded);
    later.failRange(1'500'000, 1'500'512);
    EXPECT_EQ(calc.calculateSize(FileFormat::jpeg, later, 0), near.size());
}

// Each signature planted in random bytes: the header behind it is never taken
// for a file, and the rules read whole blocks only, end, and agree with the hint.
TEST(LengthRules, RandomDataBehindASignature) {
    std::vector<Bytes> noise;
    for (std::uint32_t seed = 0; seed < 1500; ++seed) noise.push_back(test::randomBytes(seed < 2 ? 3 << 19 : 12'000, seed));
    for (const FormatSignature& s : allSignatures()) {
        int accepted = 0;
        for (std::size_t k = 0; k < noise.size(); ++k) {
            Bytes bytes = noise[k];
            const std::size_t at = k < 2 ? 4099 : 0, block = k == 1 ? 4096 : 512;
            for (std::size_t i = 0; i < s.magic.size(); ++i) {
                const std::uint8_t m = s.mask ? (*s.mask)[i] : 0xFF;
                std::uint8_t& b = bytes[at + static_cast<std::size_t>(s.offset) + i];
                b = static_cast<std::uint8_t>((b & ~m) | (s.magic[i] & m));
            }
            test::FaultyDevice device(bytes);
            FileSizeCalculator calc(block);
            accepted += calc.plausibleStart(s.format, device, at);
            if (k < 2) measure(s.format, bytes, at, block);
        }
        const bool wholeCheck = s.format == F::crw || s.format == F::cr3 || s.format == F::raf;  // signature says it all
        if (!wholeCheck) {
            EXPECT_EQ(accepted, 0) << displayName(s.format);
        }
    }
    for (FileFormat f : allFormats()) {  // nor are random bytes without one
        MemoryDevice device(noise[2]);
        EXPECT_FALSE(FileSizeCalculator(512).plausibleStart(f, device, 0)) << displayName(f);
        measure(f, noise[2], 0);
    }
}

// Real files made by the installed tools, measured inside random bytes and
// ending in the last bytes of a device read through FdDevice, as a card is.
TEST(LengthRules, RealFilesAreMeasuredToTheirTrueSize) {
    for (const char* tool : {"convert", "exiftool", "cwebp", "heif-enc", "ffmpeg"})
        if (!test::haveTool(tool)) GTEST_SKIP() << "needs convert, exiftool, cwebp, heif-enc and ffmpeg";
    using test::MediaKind;
    const std::pair<MediaKind, F> kinds[] = {
        {MediaKind::jpegWithThumbnail, F::jpeg}, {MediaKind::png, F::png},     {MediaKind::gifFlat, F::gif},
        {MediaKind::gifPlasma, F::gif},          {MediaKind::bmp3, F::bmp},    {MediaKind::bmp5, F::bmp},
        {MediaKind::ppm, F::ppm},                {MediaKind::tiff, F::tiff},   {MediaKind::tiffLzw, F::tiff},
        {MediaKind::webp, F::webp},              {MediaKind::heic, F::heic},   {MediaKind::avif, F::avif},
        {MediaKind::mp4IndexFirst, F::mp4},      {MediaKind::mp4IndexLast, F::mp4}, {MediaKind::mov, F::mov},
        {MediaKind::avi, F::avi},                {MediaKind::ts, F::mts},      {MediaKind::mxf, F::mxf},
    };
    test::TempDir dir;
    std::vector<std::tuple<std::string, F, Bytes>> files = {{"2.5 MB JPEG", F::jpeg, test::jpegOfSize(2'500'000, 5)}};
    for (const auto& [kind, format] : kinds) {
        std::string why;
        auto file = test::makeMedia(dir, kind, &why);
        ASSERT_TRUE(file) << why;
        files.emplace_back(test::mediaName(kind), format, std::move(*file));
        if (kind == MediaKind::jpegWithThumbnail)  // a camera's preview joined by an MPF index
            files.emplace_back("MPF photo", format, test::mpfJpeg(std::get<2>(files.back()), test::jpegOfSize(60'000, 3)));
    }
    std::uint32_t seed = 100;
    for (const auto& [name, format, file] : files) {
        ++seed;
        // Inside random bytes, and ending 1 to 4,000 bytes before the end of a device whose size is no block multiple.
        const std::tuple<std::size_t, std::size_t, std::uint64_t> places[] = {
            {12'345 + 7 * seed, 300'000, 512}, {12'345 + 7 * seed, 300'000, 4096}, {3'000'001 + seed, 1u << (seed % 13), 512u << (seed % 4)}};
        for (const auto& [off, after, blockSize] : places) {
            SCOPED_TRACE(name + " at " + std::to_string(off) + " in blocks of " + std::to_string(blockSize));
            auto image = test::embedAt(file, off, off + file.size() + after, seed);
            image[off + file.size()] = 0;  // a sync byte right after a stream would make the packet run longer
            EXPECT_EQ(measure(format, image, off, blockSize), file.size()) << after << " bytes after it";
            MemoryDevice device(image);
            EXPECT_TRUE(FileSizeCalculator(blockSize).plausibleStart(format, device, off));
        }
    }
}

}  // namespace
}  // namespace vf
