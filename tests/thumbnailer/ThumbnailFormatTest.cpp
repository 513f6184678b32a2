#include "thumbnailer/ThumbnailFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vf {
namespace {

using D = ThumbnailDecoder;
using namespace std::string_view_literals;

std::vector<std::uint8_t> bytes(std::string_view text, std::size_t padTo = 64) {
    std::vector<std::uint8_t> b(text.begin(), text.end());
    if (b.size() < padTo) b.resize(padTo, 0xAA);
    return b;
}

D first(const std::vector<std::uint8_t>& head, std::string_view ext = "") { return planThumbnail(head, ext).decoders[0]; }

std::vector<std::uint8_t> ftyp(std::string_view major, std::string_view compatible) {
    std::string box = std::string("\0\0\0", 3) + static_cast<char>(16 + compatible.size()) + "ftyp" +
                      std::string(major) + std::string("\0\0\0\0", 4) + std::string(compatible);
    return bytes(box);
}

TEST(ThumbnailFormat, ContentDecidesOverTheName) {
    const auto png = bytes("\x89PNG\r\n\x1A\n"sv);
    EXPECT_EQ(first(png, ".jpeg"), D::png);  // a directory entry may name other data
    EXPECT_EQ(first(bytes("\xFF\xD8\xFF\xE1"sv), ".JPG"), D::jpeg);
    EXPECT_EQ(first(bytes("GIF89a"sv), ""), D::gif);
    EXPECT_EQ(first(bytes("RIFF\x10\0\0\0WEBPVP8 "sv, 64)), D::webp);
    EXPECT_EQ(first(bytes("RIFF\x10\0\0\0AVI LIST"sv, 64)), D::video);
    EXPECT_EQ(first(bytes("RIFF\x10\0\0\0WAVEfmt "sv, 64)), D::none);
    EXPECT_TRUE(planThumbnail(bytes("hello world"sv), ".jpeg").empty());
    EXPECT_TRUE(planThumbnail({}, ".png").empty());
    EXPECT_TRUE(planThumbnail(bytes("\xFF\xD8"sv, 2), ".jpeg").empty());  // cut before the third byte
}

TEST(ThumbnailFormat, TiffHeadersTryTheNameFirst) {
    const auto ii = bytes("II*\0\x08\0\0\0"sv);
    const auto mm = bytes("MM\0*\0\0\0\x08"sv);
    for (const auto& head : {ii, mm}) {
        EXPECT_EQ(planThumbnail(head, ".tif").decoders, (std::array{D::tiff, D::raw}));
        EXPECT_EQ(planThumbnail(head, "TIFF").decoders, (std::array{D::tiff, D::raw}));
        EXPECT_EQ(planThumbnail(head, ".cr2").decoders, (std::array{D::raw, D::tiff}));
        EXPECT_EQ(planThumbnail(head, ".NEF").decoders, (std::array{D::raw, D::tiff}));
        EXPECT_EQ(planThumbnail(head, "").decoders, (std::array{D::raw, D::tiff}));
        EXPECT_EQ(planThumbnail(head, ".tiffx").decoders, (std::array{D::raw, D::tiff}));
    }
    // Raw formats with their own headers need no name.
    EXPECT_EQ(first(bytes("IIRO\x08\0\0\0"sv)), D::raw);
    EXPECT_EQ(first(bytes("IIU\0\x18\0\0\0"sv)), D::raw);
    EXPECT_EQ(first(bytes("FUJIFILMCCD-RAW 0201"sv)), D::raw);
    EXPECT_EQ(first(bytes("II\x1A\0\0\0HEAPCCDR"sv)), D::raw);
    EXPECT_EQ(first(bytes("\0MRM\0\0"sv)), D::raw);
    EXPECT_EQ(planThumbnail(bytes("IIRO"sv), ".orf").decoders[1], D::none);
}

TEST(ThumbnailFormat, IsoMediaBrands) {
    EXPECT_EQ(first(ftyp("heic", "mif1heic")), D::heif);
    EXPECT_EQ(first(ftyp("avif", "avifmif1")), D::heif);
    EXPECT_EQ(first(ftyp("crx ", "crx isom")), D::raw);
    EXPECT_EQ(first(ftyp("isom", "isomheic")), D::heif);  // compatible brand decides
    EXPECT_EQ(first(ftyp("qt  ", "qt  ")), D::video);
    EXPECT_EQ(first(ftyp("mp42", "isommp42")), D::video);
    EXPECT_EQ(first(ftyp("XAVC", "XAVCmp42")), D::video);
    // Brands past the box's declared end are not the file's.
    auto tail = ftyp("mp42", "");
    tail[16] = 'h', tail[17] = 'e', tail[18] = 'i', tail[19] = 'c';
    EXPECT_EQ(first(tail), D::video);
    EXPECT_EQ(first(bytes("\0\0\0\x08moov"sv)), D::video);  // QuickTime before ftyp
    EXPECT_EQ(first(bytes("\0\0\0\x08wide"sv)), D::video);
}

TEST(ThumbnailFormat, WeakSignaturesNeedTheirStructure) {
    // BMP: "BM" alone is too common; the info header size must be a real one.
    std::vector<std::uint8_t> bmp = bytes("BM"sv, 64);
    const std::uint8_t header[] = {0x36, 0, 0, 0, 0, 0, 0, 0, 0x36, 0, 0, 0, 40, 0, 0, 0};
    std::copy(std::begin(header), std::end(header), bmp.begin() + 2);
    EXPECT_EQ(first(bmp, ".bmp"), D::bmp);
    bmp[14] = 41;
    EXPECT_EQ(first(bmp, ".bmp"), D::none);
    bmp[14] = 40;
    bmp[10] = 20;  // pixel data inside the header
    EXPECT_EQ(first(bmp, ".bmp"), D::none);

    EXPECT_EQ(first(bytes("P6\n640 480\n255\n"sv)), D::ppm);
    EXPECT_EQ(first(bytes("P5 64 64 255 "sv)), D::ppm);
    EXPECT_EQ(first(bytes("P7\nWIDTH 4\n"sv)), D::none);
    EXPECT_EQ(first(bytes("Photo"sv)), D::none);

    std::vector<std::uint8_t> ts(600, 0xFF);
    ts[0] = ts[188] = ts[376] = 0x47;
    EXPECT_EQ(first(ts, ".mts"), D::video);
    ts[376] = 0;
    EXPECT_EQ(first(ts, ".mts"), D::none);
    std::vector<std::uint8_t> m2ts(600, 0);
    m2ts[4] = m2ts[196] = m2ts[388] = 0x47;
    EXPECT_EQ(first(m2ts, ".m2ts"), D::video);
    std::vector<std::uint8_t> shortTs(300, 0);
    shortTs[0] = shortTs[188] = 0x47;
    EXPECT_EQ(first(shortTs, ".mts"), D::none);
}

}  // namespace
}  // namespace vf
