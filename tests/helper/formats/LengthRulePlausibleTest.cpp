// plausibleStart: real headers pass, broken ones and signatures that random
// data happens to hold (as inside a compressed clip) do not.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "helper/formats/FileSizeCalculator.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::ByteWriter;

bool plausible(FileFormat f, const std::vector<std::uint8_t>& bytes, std::uint64_t off = 0) {
    MemoryDevice device(bytes);
    FileSizeCalculator calc(512);
    const bool direct = calc.plausibleStart(f, device, off);
    calc.setHint(bytes, 0);
    EXPECT_EQ(calc.plausibleStart(f, device, off), direct) << displayName(f) << ": the hint changes the answer";
    return direct;
}

std::vector<std::uint8_t> padded(std::vector<std::uint8_t> v, std::size_t n = 8192) {
    const auto tail = test::randomBytes(n, 99);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

std::vector<std::uint8_t> tiffHeader(bool little, std::uint16_t version, std::uint32_t ifd, std::uint16_t count,
                                     std::uint16_t type = 3) {
    ByteWriter w(little);
    test::writeTiffHeader(w, version, ifd);
    std::vector<test::TiffEntry> entries(count, {256, type, 1, 100});
    test::writeIfd(w, ifd, entries, 0);
    return padded(w.bytes);
}

std::vector<std::uint8_t> isoStart(const std::vector<std::pair<std::string, std::uint32_t>>& boxes) {
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

TEST(LengthRulePlausible, StillImageHeaders) {
    EXPECT_TRUE(plausible(FileFormat::jpeg, test::jpegOfSize(5000, 1)));
    auto jpeg = test::jpegOfSize(5000, 1);
    jpeg[3] = 0xDA;
    EXPECT_FALSE(plausible(FileFormat::jpeg, jpeg)) << "scan right after the start marker";
    jpeg = test::jpegOfSize(5000, 1);
    jpeg[5] = 0x11;
    EXPECT_FALSE(plausible(FileFormat::jpeg, jpeg)) << "segment not followed by a marker";
    jpeg = test::jpegOfSize(5000, 1);
    jpeg[4] = 0;
    jpeg[5] = 1;
    EXPECT_FALSE(plausible(FileFormat::jpeg, jpeg)) << "segment length 1";

    ByteWriter png(false);
    png.raw(0, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0, 0, 1, 0, 0, 0, 1, 0, 8, 2});
    EXPECT_TRUE(plausible(FileFormat::png, padded(png.bytes)));
    png.u32(8, 14);
    EXPECT_FALSE(plausible(FileFormat::png, padded(png.bytes)));

    const auto gif = test::gifWithEarlySemicolons();
    EXPECT_TRUE(plausible(FileFormat::gif, gif));
    auto badGif = gif;
    badGif[25] = 0x00;
    EXPECT_FALSE(plausible(FileFormat::gif, badGif));
    // An image as the first block lies inside the logical screen (2 x 2 here).
    const struct {
        std::uint16_t left, top, width, height;
        bool plausible;
    } frames[] = {{0, 0, 2, 2, true}, {0, 0, 3, 2, false}, {0, 0, 2, 3, false}, {0, 1, 2, 2, false}, {1, 0, 2, 2, false}};
    for (const auto& f : frames) {
        ByteWriter g(true);
        g.text(0, "GIF89a");
        g.u16(6, 2);
        g.u16(8, 2);
        g.u8(10, 0x81);  // a global table of 4 colours, 12 bytes
        g.u8(25, 0x2C);
        g.u16(26, f.left);
        g.u16(28, f.top);
        g.u16(30, f.width);
        g.u16(32, f.height);
        g.u8(34, 0);
        g.u8(35, 2);  // LZW code size
        EXPECT_EQ(plausible(FileFormat::gif, padded(g.bytes)), f.plausible)
            << f.left << "," << f.top << " " << f.width << "x" << f.height;
    }

    const auto bmp = test::bmpFile(30, 20, 2);
    EXPECT_TRUE(plausible(FileFormat::bmp, bmp));
    auto badBmp = bmp;
    badBmp[26] = 3;  // planes
    EXPECT_FALSE(plausible(FileFormat::bmp, badBmp));

    const std::string ppm = "P6\n4 4\n255\n";
    EXPECT_TRUE(plausible(FileFormat::ppm, padded({ppm.begin(), ppm.end()})));
    const std::string p5 = "P5\n4 4\n255\n";
    EXPECT_FALSE(plausible(FileFormat::ppm, padded({p5.begin(), p5.end()})));
}

TEST(LengthRulePlausible, TiffFamilyAndRawHeaders) {
    EXPECT_TRUE(plausible(FileFormat::tiff, tiffHeader(true, 42, 8, 12)));
    EXPECT_TRUE(plausible(FileFormat::cr2, tiffHeader(false, 42, 8, 12)));
    EXPECT_TRUE(plausible(FileFormat::orf, tiffHeader(true, 0x4F52, 8, 12)));
    EXPECT_TRUE(plausible(FileFormat::tiff, tiffHeader(true, 42, 6000, 12))) << "directory after the data";
    EXPECT_FALSE(plausible(FileFormat::tiff, tiffHeader(true, 43, 8, 12)));
    EXPECT_FALSE(plausible(FileFormat::tiff, tiffHeader(true, 42, 8, 0)));
    EXPECT_FALSE(plausible(FileFormat::tiff, tiffHeader(true, 42, 8, 1000)));
    auto inHeader = tiffHeader(true, 42, 8, 12);
    inHeader[4] = 4;  // a first directory inside the header
    EXPECT_FALSE(plausible(FileFormat::tiff, inHeader));
    for (std::uint16_t type : {0, 14, 99}) EXPECT_FALSE(plausible(FileFormat::tiff, tiffHeader(true, 42, 8, 12, type))) << "field type " << type;

    ByteWriter rw2(true);
    rw2.raw(0, {0x49, 0x49, 0x55, 0x00});
    rw2.u32(4, 24);
    test::writeIfd(rw2, 24, {{256, 4, 1, 5184}, {257, 3, 1, 3888}}, 0);
    EXPECT_TRUE(plausible(FileFormat::rw2, padded(rw2.bytes)));
    rw2.u32(4, 4);
    EXPECT_FALSE(plausible(FileFormat::rw2, padded(rw2.bytes)));

    EXPECT_TRUE(plausible(FileFormat::crw, test::crwFile(1000, 3)));
    EXPECT_TRUE(plausible(FileFormat::x3f, test::x3fFile(100, 1, true, 2640, 1760)));
    EXPECT_FALSE(plausible(FileFormat::x3f, test::x3fFile(100, 1, true, 0, 1760)));

    ByteWriter mrw(false);
    mrw.raw(0, {0x00, 'M', 'R', 'M'});
    mrw.u32(4, 30'000);
    mrw.raw(8, {0x00, 'P', 'R', 'D'});
    mrw.resize(512);
    EXPECT_TRUE(plausible(FileFormat::mrw, mrw.bytes));
    mrw.u32(4, 0);
    EXPECT_FALSE(plausible(FileFormat::mrw, mrw.bytes));

    ByteWriter iiq(true);
    iiq.text(0, "IIII");
    iiq.raw(4, {0x00, 'w', 'a', 'R'});  // "Raw", little-endian
    iiq.u32(8, 45'000'000);
    EXPECT_TRUE(plausible(FileFormat::iiq, padded(iiq.bytes)));
    iiq.text(5, "Raw");
    EXPECT_FALSE(plausible(FileFormat::iiq, padded(iiq.bytes)));

    ByteWriter braw(true);
    braw.text(0, "BRAW");
    braw.u64(8, 100'000'000);
    EXPECT_TRUE(plausible(FileFormat::braw, braw.bytes));
    braw.u64(8, 5);
    EXPECT_FALSE(plausible(FileFormat::braw, braw.bytes));
}

TEST(LengthRulePlausible, ContainerHeaders) {
    EXPECT_TRUE(plausible(FileFormat::mp4, isoStart({{"ftyp", 32}, {"moov", 5000}, {"mvhd", 108}})));
    EXPECT_TRUE(plausible(FileFormat::mov, isoStart({{"moov", 5000}, {"mvhd", 108}})));
    EXPECT_FALSE(plausible(FileFormat::mov, isoStart({{"moov", 5000}, {"zzzz", 108}})));
    EXPECT_FALSE(plausible(FileFormat::mp4, isoStart({{"ftyp", 7}})));
    EXPECT_FALSE(plausible(FileFormat::mp4, isoStart({{"ftyp", 70'000}})));
    EXPECT_TRUE(plausible(FileFormat::mov, isoStart({{"mdat", 1000}, {"moov", 5000}, {"mvhd", 108}})));
    EXPECT_FALSE(plausible(FileFormat::mov, isoStart({{"mdat", 1000}, {"xyzw", 5000}})));

    ByteWriter webp(true);
    webp.text(0, "RIFF");
    webp.u32(4, 5000);
    webp.text(8, "WEBPVP8 ");
    webp.u32(16, 4000);
    EXPECT_TRUE(plausible(FileFormat::webp, padded(webp.bytes)));
    webp.u32(16, 6000);
    EXPECT_FALSE(plausible(FileFormat::webp, padded(webp.bytes)));
    ByteWriter avi(true);
    avi.text(0, "RIFF");
    avi.u32(4, 500'000);
    avi.text(8, "AVI LIST");
    avi.u32(16, 8000);
    avi.text(20, "hdrl");
    EXPECT_TRUE(plausible(FileFormat::avi, padded(avi.bytes)));

    EXPECT_TRUE(plausible(FileFormat::mts, test::tsPackets(11, 4)));
    auto ten = test::tsPackets(11, 4);
    ten[10 * 188] = 0;
    EXPECT_FALSE(plausible(FileFormat::mts, ten));

    const auto mxf = test::mxfFile(1, 100, false);
    EXPECT_TRUE(plausible(FileFormat::mxf, mxf));
    auto shortPack = mxf;
    shortPack[19] = 40;  // a partition pack of 40 bytes
    EXPECT_FALSE(plausible(FileFormat::mxf, shortPack));
}

// Signatures planted at the start of random bytes: the headers behind them
// are never taken for real files.
TEST(LengthRulePlausible, RandomDataBehindASignatureIsNoFile) {
    struct Planted {
        FileFormat format;
        std::vector<std::uint8_t> magic;
        std::size_t at;
    };
    const std::vector<Planted> planted = {
        {FileFormat::bmp, {'B', 'M'}, 0},
        {FileFormat::jpeg, {0xFF, 0xD8, 0xFF}, 0},
        {FileFormat::tiff, {'I', 'I', 0x2A, 0x00}, 0},
        {FileFormat::tiff, {'M', 'M', 0x00, 0x2A}, 0},
        {FileFormat::png, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}, 0},
        {FileFormat::gif, {'G', 'I', 'F', '8', '9', 'a'}, 0},
        {FileFormat::mp4, {'f', 't', 'y', 'p'}, 4},
        {FileFormat::mov, {'m', 'd', 'a', 't'}, 4},
        {FileFormat::mov, {'m', 'o', 'o', 'v'}, 4},
        {FileFormat::webp, {'R', 'I', 'F', 'F', 1, 2, 3, 4, 'W', 'E', 'B', 'P'}, 0},
        {FileFormat::mts, {0x47}, 0},
        {FileFormat::mrw, {0x00, 'M', 'R', 'M'}, 0},
        {FileFormat::iiq, {'I', 'I', 'I', 'I'}, 0},
        {FileFormat::braw, {'B', 'R', 'A', 'W'}, 0},
    };
    for (const Planted& p : planted) {
        int accepted = 0;
        for (std::uint32_t seed = 0; seed < 3000; ++seed) {
            auto bytes = test::randomBytes(12'000, seed);
            std::copy(p.magic.begin(), p.magic.end(), bytes.begin() + static_cast<std::ptrdiff_t>(p.at));
            if (p.format == FileFormat::mts) bytes[188] = bytes[376] = 0x47;
            MemoryDevice device(bytes);
            FileSizeCalculator calc(512);
            accepted += calc.plausibleStart(p.format, device, 0);
        }
        EXPECT_EQ(accepted, 0) << displayName(p.format) << " behind " << p.magic.size() << " magic bytes";
    }
}

}  // namespace
}  // namespace vf
