// plausibleStart: real headers pass, broken ones and signatures that random
// data happens to hold (as inside a compressed clip) do not.
#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "helper/formats/FileSizeCalculator.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using Bytes = std::vector<std::uint8_t>;
using F = FileFormat;
using test::ByteWriter;
using namespace std::literals;

Bytes padded(Bytes v) {
    const auto tail = test::randomBytes(8192, 99);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}
Bytes with(Bytes b, std::size_t at, std::initializer_list<std::uint8_t> v) {
    std::copy(v.begin(), v.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}

Bytes tiffHeader(bool little, std::uint16_t version, std::uint32_t ifd, std::uint16_t count, std::uint16_t type = 3) {
    ByteWriter w(little);
    test::writeTiffHeader(w, version, ifd);
    test::writeIfd(w, ifd, std::vector<test::TiffEntry>(count, {256, type, 1, 100}), 0);
    return padded(w.bytes);
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

// A GIF whose first block is an image at (left, top) of width x height on a 2 x 2 screen.
Bytes gifFrame(std::uint16_t left, std::uint16_t top, std::uint16_t width, std::uint16_t height) {
    ByteWriter g(true);
    g.text(0, "GIF89a");
    g.u16(6, 2);
    g.u16(8, 2);
    g.u8(10, 0x81);  // a global table of 4 colours, 12 bytes
    g.u8(25, 0x2C);
    g.u16(26, left);
    g.u16(28, top);
    g.u16(30, width);
    g.u16(32, height);
    g.u8(34, 0);
    g.u8(35, 2);  // LZW code size
    return padded(g.bytes);
}

// `text` at 0 and 32-bit fields in the given byte order, padded.
Bytes header(std::string_view text, std::initializer_list<std::pair<std::size_t, std::uint32_t>> fields, bool little) {
    ByteWriter w(little);
    w.text(0, text);
    for (const auto& [at, v] : fields) w.u32(at, v);
    return padded(w.bytes);
}

TEST(LengthRulePlausible, HeadersOfEachFormat) {
    const Bytes jpeg = test::jpegOfSize(5000, 1);
    const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 1, 0, 0, 0, 1, 0, 8, 2};
    const Bytes gif = test::gifWithEarlySemicolons(), bmp = test::bmpFile(30, 20, 2);
    ByteWriter rw2(true);
    rw2.raw(0, {0x49, 0x49, 0x55, 0x00});
    rw2.u32(4, 24);
    test::writeIfd(rw2, 24, {{256, 4, 1, 5184}, {257, 3, 1, 3888}}, 0);
    ByteWriter mrw(false);
    mrw.text(0, "\0MRM\0\0\0\0\0PRD"sv);
    mrw.u32(4, 30'000);
    mrw.resize(512);
    // Read at 4, the header's own bytes would pass for four entries of type 3.
    ByteWriter inHeader(true);
    test::writeTiffHeader(inHeader, 42, 4);
    for (std::size_t at : {8u, 20u, 32u, 44u}) inHeader.u16(at, 3);
    ByteWriter braw(true);
    braw.text(0, "BRAW");
    braw.u64(8, 100'000'000);
    const Bytes mxf = test::mxfFile(1, 100, false), ts = test::tsPackets(11, 4);
    const struct {
        const char* what;
        F format;
        Bytes bytes;
        bool plausible;
    } cases[] = {
        {"JPEG", F::jpeg, jpeg, true},
        {"JPEG: scan right after the start marker", F::jpeg, with(jpeg, 3, {0xDA}), false},
        {"JPEG: segment not followed by a marker", F::jpeg, with(jpeg, 5, {0x11}), false},
        {"JPEG: segment length 1", F::jpeg, with(jpeg, 4, {0, 1}), false},
        {"PNG", F::png, padded(png), true},
        {"PNG: IHDR of 14 bytes", F::png, padded(with(png, 11, {14})), false},
        {"GIF", F::gif, gif, true},
        {"GIF: no block after the colour table", F::gif, with(gif, 25, {0}), false},
        {"GIF: frame inside the screen", F::gif, gifFrame(0, 0, 2, 2), true},
        {"GIF: frame too wide", F::gif, gifFrame(0, 0, 3, 2), false},
        {"GIF: frame too high", F::gif, gifFrame(0, 0, 2, 3), false},
        {"GIF: frame below the screen", F::gif, gifFrame(0, 1, 2, 2), false},
        {"GIF: frame right of the screen", F::gif, gifFrame(1, 0, 2, 2), false},
        {"BMP", F::bmp, bmp, true},
        {"BMP: three planes", F::bmp, with(bmp, 26, {3}), false},
        {"PPM", F::ppm, header("P6\n4 4\n255\n", {}, false), true},
        {"PPM: P5", F::ppm, header("P5\n4 4\n255\n", {}, false), false},
        {"TIFF", F::tiff, tiffHeader(true, 42, 8, 12), true},
        {"CR2 big-endian", F::cr2, tiffHeader(false, 42, 8, 12), true},
        {"ORF", F::orf, tiffHeader(true, 0x4F52, 8, 12), true},
        {"TIFF: directory after the data", F::tiff, tiffHeader(true, 42, 6000, 12), true},
        {"TIFF: version 43", F::tiff, tiffHeader(true, 43, 8, 12), false},
        {"TIFF: no entries", F::tiff, tiffHeader(true, 42, 8, 0), false},
        {"TIFF: 1000 entries", F::tiff, tiffHeader(true, 42, 8, 1000), false},
        {"TIFF: field type 0", F::tiff, tiffHeader(true, 42, 8, 12, 0), false},
        {"TIFF: field type 14", F::tiff, tiffHeader(true, 42, 8, 12, 14), false},
        {"TIFF: first directory inside the header", F::tiff, padded(inHeader.bytes), false},
        {"RW2", F::rw2, padded(rw2.bytes), true},
        {"RW2: directory inside the header", F::rw2, padded(with(rw2.bytes, 4, {4})), false},
        {"CRW", F::crw, test::crwFile(1000, 3), true},
        {"CRW: heap past 4 KiB", F::crw, test::crwFile(1000, 3, 5000), false},
        {"X3F", F::x3f, test::x3fFile(100, 1, true, 2640, 1760), true},
        {"X3F: width 0", F::x3f, test::x3fFile(100, 1, true, 0, 1760), false},
        {"MRW", F::mrw, mrw.bytes, true},
        {"MRW: outer block 0", F::mrw, with(mrw.bytes, 4, {0, 0, 0, 0}), false},
        {"IIQ", F::iiq, header("IIII\0waR"sv, {{8, 45'000'000}}, true), true},  // "Raw", little-endian
        {"IIQ: Raw in the wrong order", F::iiq, header("IIII\0Raw"sv, {{8, 45'000'000}}, true), false},
        {"BRAW", F::braw, braw.bytes, true},
        {"BRAW: size 5", F::braw, with(braw.bytes, 8, {5, 0, 0, 0, 0, 0, 0, 0}), false},
        {"MP4", F::mp4, isoStart({{"ftyp", 32}, {"moov", 5000}, {"mvhd", 108}}), true},
        {"MOV from moov", F::mov, isoStart({{"moov", 5000}, {"mvhd", 108}}), true},
        {"MOV: moov of no known child", F::mov, isoStart({{"moov", 5000}, {"zzzz", 108}}), false},
        {"MP4: ftyp of 7 bytes", F::mp4, isoStart({{"ftyp", 7}}), false},
        {"MP4: ftyp of 70,000 bytes", F::mp4, isoStart({{"ftyp", 70'000}}), false},
        {"MOV from mdat", F::mov, isoStart({{"mdat", 1000}, {"moov", 5000}, {"mvhd", 108}}), true},
        {"MOV: mdat followed by no box", F::mov, isoStart({{"mdat", 1000}, {"xyzw", 5000}}), false},
        {"WebP", F::webp, header("RIFF    WEBPVP8 ", {{4, 5000}, {16, 4000}}, true), true},
        {"WebP: first chunk past the size", F::webp, header("RIFF    WEBPVP8 ", {{4, 5000}, {16, 6000}}, true), false},
        {"AVI", F::avi, header("RIFF    AVI LIST    hdrl", {{4, 500'000}, {16, 8000}}, true), true},
        {"TS", F::mts, ts, true},
        {"TS: ten packets", F::mts, with(ts, 10 * 188, {0}), false},
        {"MXF", F::mxf, mxf, true},
        {"MXF: partition pack of 40 bytes", F::mxf, with(mxf, 19, {40}), false},
    };
    for (const auto& c : cases) {
        MemoryDevice device(c.bytes);
        FileSizeCalculator calc(512);
        EXPECT_EQ(calc.plausibleStart(c.format, device, 0), c.plausible) << c.what;
        calc.setHint(c.bytes, 0);
        EXPECT_EQ(calc.plausibleStart(c.format, device, 0), c.plausible) << c.what << " with the hint";
    }
}

// Signatures planted at the start of random bytes: the headers behind them
// are never taken for real files.
TEST(LengthRulePlausible, RandomDataBehindASignatureIsNoFile) {
    const std::tuple<F, Bytes, std::size_t> planted[] = {
        {F::bmp, {'B', 'M'}, 0},
        {F::jpeg, {0xFF, 0xD8, 0xFF}, 0},
        {F::tiff, {'I', 'I', 0x2A, 0x00}, 0},
        {F::tiff, {'M', 'M', 0x00, 0x2A}, 0},
        {F::png, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, 0},
        {F::gif, {'G', 'I', 'F', '8', '9', 'a'}, 0},
        {F::mp4, {'f', 't', 'y', 'p'}, 4},
        {F::mov, {'m', 'd', 'a', 't'}, 4},
        {F::mov, {'m', 'o', 'o', 'v'}, 4},
        {F::webp, {'R', 'I', 'F', 'F', 1, 2, 3, 4, 'W', 'E', 'B', 'P'}, 0},
        {F::mts, {0x47}, 0},
        {F::mrw, {0x00, 'M', 'R', 'M'}, 0},
        {F::iiq, {'I', 'I', 'I', 'I'}, 0},
        {F::braw, {'B', 'R', 'A', 'W'}, 0},
    };
    for (const auto& [format, magic, at] : planted) {
        int accepted = 0;
        for (std::uint32_t seed = 0; seed < 3000; ++seed) {
            auto bytes = test::randomBytes(12'000, seed);
            std::copy(magic.begin(), magic.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
            if (format == F::mts) bytes[188] = bytes[376] = 0x47;
            MemoryDevice device(bytes);
            FileSizeCalculator calc(512);
            accepted += calc.plausibleStart(format, device, 0);
        }
        EXPECT_EQ(accepted, 0) << displayName(format) << " behind " << magic.size() << " magic bytes";
    }
}

}  // namespace
}  // namespace vf
