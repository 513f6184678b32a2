#include "thumbnailer/ThumbnailFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vf {
namespace {

using D = ThumbnailDecoder;
using Head = std::vector<std::uint8_t>;
using namespace std::string_view_literals;

Head bytes(std::string_view text, std::size_t padTo = 64) {
    Head b(text.begin(), text.end());
    if (b.size() < padTo) b.resize(padTo, 0xAA);
    return b;
}

Head ftyp(std::string_view major, std::string_view compatible) {
    return bytes(std::string("\0\0\0", 3) + static_cast<char>(16 + compatible.size()) + "ftyp" + std::string(major) +
                 std::string("\0\0\0\0", 4) + std::string(compatible));
}

// Pixel data at `pixels`, an info header of `info` bytes.
Head bmp(char pixels, char info) {
    return bytes(std::string("BM\x36\0\0\0\0\0\0\0", 10) + pixels + std::string(3, '\0') + info + std::string(3, '\0'));
}

// Sync bytes every `stride` bytes from `first`, `count` times.
Head transport(std::size_t size, std::size_t first, std::size_t stride, int count) {
    Head b(size, 0xFF);
    for (int i = 0; i < count; ++i) b[first + stride * static_cast<std::size_t>(i)] = 0x47;
    return b;
}

TEST(ThumbnailFormat, ContentDecidesAndTheNameOrdersTiffAndRaw) {
    const Head ii = bytes("II*\0\x08\0\0\0"sv), mm = bytes("MM\0*\0\0\0\x08"sv);
    Head beyond = ftyp("mp42", "");  // a brand past the box's declared end is not the file's
    std::copy_n("heic", 4, beyond.begin() + 16);
    const struct {
        const char* name;
        Head head;
        std::string_view ext;
        D first, second;
    } rows[] = {
        {"PNG named .jpeg", bytes("\x89PNG\r\n\x1A\n"sv), ".jpeg", D::png, D::none},  // an entry may name other data
        {"JPEG", bytes("\xFF\xD8\xFF\xE1"sv), ".JPG", D::jpeg, D::none},
        {"GIF", bytes("GIF89a"sv), "", D::gif, D::none},
        {"WebP", bytes("RIFF\x10\0\0\0WEBPVP8 "sv), "", D::webp, D::none},
        {"AVI", bytes("RIFF\x10\0\0\0AVI LIST"sv), "", D::video, D::none},
        {"WAVE", bytes("RIFF\x10\0\0\0WAVEfmt "sv), "", D::none, D::none},
        {"text", bytes("hello world"sv), ".jpeg", D::none, D::none},
        {"nothing", {}, ".png", D::none, D::none},
        {"cut before the third byte", bytes("\xFF\xD8"sv, 2), ".jpeg", D::none, D::none},
        {"TIFF .tif", ii, ".tif", D::tiff, D::raw},
        {"TIFF TIFF", mm, "TIFF", D::tiff, D::raw},
        {"TIFF .NEF", mm, ".NEF", D::raw, D::tiff},
        {"TIFF unnamed", mm, "", D::raw, D::tiff},
        {"TIFF .tiffx", ii, ".tiffx", D::raw, D::tiff},
        {"ORF", bytes("IIRO\x08\0\0\0"sv), ".orf", D::raw, D::none},
        {"RW2", bytes("IIU\0\x18\0\0\0"sv), "", D::raw, D::none},
        {"RAF", bytes("FUJIFILMCCD-RAW 0201"sv), "", D::raw, D::none},
        {"CRW", bytes("II\x1A\0\0\0HEAPCCDR"sv), "", D::raw, D::none},
        {"MRW", bytes("\0MRM\0\0"sv), "", D::raw, D::none},
        {"HEIC", ftyp("heic", "mif1heic"), "", D::heif, D::none},
        {"AVIF", ftyp("avif", "avifmif1"), "", D::heif, D::none},
        {"CR3", ftyp("crx ", "crx isom"), "", D::raw, D::none},
        {"compatible brand decides", ftyp("isom", "isomheic"), "", D::heif, D::none},
        {"QuickTime", ftyp("qt  ", "qt  "), "", D::video, D::none},
        {"MP4", ftyp("mp42", "isommp42"), "", D::video, D::none},
        {"XAVC", ftyp("XAVC", "XAVCmp42"), "", D::video, D::none},
        {"brand past the box", beyond, "", D::video, D::none},
        {"moov before ftyp", bytes("\0\0\0\x08moov"sv), "", D::video, D::none},
        // Weak signatures need their structure.
        {"BMP", bmp(0x36, 40), ".bmp", D::bmp, D::none},
        {"BMP info header of no known size", bmp(0x36, 41), ".bmp", D::none, D::none},
        {"BMP pixels inside the header", bmp(20, 40), ".bmp", D::none, D::none},
        {"PPM", bytes("P6\n640 480\n255\n"sv), "", D::ppm, D::none},
        {"PGM", bytes("P5 64 64 255 "sv), "", D::ppm, D::none},
        {"PAM", bytes("P7\nWIDTH 4\n"sv), "", D::none, D::none},
        {"P then text", bytes("Photo"sv), "", D::none, D::none},
        {"MPEG-TS", transport(600, 0, 188, 3), ".mts", D::video, D::none},
        {"MPEG-TS third sync lost", transport(600, 0, 188, 2), ".mts", D::none, D::none},
        {"M2TS", transport(600, 4, 192, 3), ".m2ts", D::video, D::none},
        {"MPEG-TS too short", transport(300, 0, 188, 2), ".mts", D::none, D::none},
    };
    for (const auto& row : rows)
        EXPECT_EQ(planThumbnail(row.head, row.ext).decoders, (std::array{row.first, row.second})) << row.name;
}

}  // namespace
}  // namespace vf
