#include "thumbnailer/ThumbnailFormat.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "common/ByteReader.h"

namespace vf {
namespace {

using namespace std::string_view_literals;
using D = ThumbnailDecoder;

struct Magic {
    std::string_view bytes;  // at offset 0
    D decoder;
};

// Headers that name their format by themselves. RW2, FFF and their relatives
// share "IIU\0"; LibRaw tells them apart.
constexpr Magic kMagics[] = {
    {"\xFF\xD8\xFF"sv, D::jpeg},
    {"\x89PNG\r\n\x1A\n"sv, D::png},
    {"GIF87a"sv, D::gif},
    {"GIF89a"sv, D::gif},
    {"II\x1A\0\0\0HEAPCCDR"sv, D::raw},  // CRW
    {"IIRO"sv, D::raw},                  // ORF
    {"IIRS"sv, D::raw},
    {"MMOR"sv, D::raw},
    {"IIU\0"sv, D::raw},
    {"\0MRM"sv, D::raw},
    {"FUJIFILMCCD-RAW"sv, D::raw},
    {"FOVb"sv, D::raw},  // X3F
    {"IIII"sv, D::raw},  // IIQ
    {"\x06\x0E\x2B\x34\x02\x05\x01\x01"sv, D::video},  // MXF header partition
    {"\x1A\x45\xDF\xA3"sv, D::video},                  // Matroska
};

// ISO media brands. A brand not listed here is taken for a video container
// (mp41, mp42, isom, "qt  ", XAVC, 3gp and the many others cameras write).
struct Brand {
    std::string_view name;
    D decoder;
};
constexpr Brand kBrands[] = {
    {"crx "sv, D::raw},
    {"heic"sv, D::heif}, {"heix"sv, D::heif}, {"hevc"sv, D::heif}, {"hevx"sv, D::heif},
    {"heim"sv, D::heif}, {"heis"sv, D::heif}, {"mif1"sv, D::heif}, {"msf1"sv, D::heif},
    {"avif"sv, D::heif}, {"avis"sv, D::heif},
};

// First atoms of QuickTime files written before the ftyp box existed.
constexpr std::string_view kQuickTimeAtoms[] = {"moov"sv, "mdat"sv, "wide"sv, "free"sv, "skip"sv, "pnot"sv};

// Sizes of the BMP info headers (core, v1 to v5 and OS/2 2).
constexpr std::uint32_t kBmpInfoSizes[] = {12, 16, 40, 52, 56, 64, 108, 124};

std::optional<D> knownBrand(const ByteReader& r, std::size_t pos) {
    for (const Brand& b : kBrands)
        if (r.matches(pos, b.name)) return b.decoder;
    return std::nullopt;
}

D isoMediaDecoder(const ByteReader& r) {
    if (auto d = knownBrand(r, 8)) return *d;
    // Compatible brands follow the major brand and its version, up to the box's end.
    const std::size_t boxEnd = std::min<std::size_t>(r.be32(0).value_or(0), r.size());
    for (std::size_t pos = 16; pos + 4 <= boxEnd; pos += 4)
        if (auto d = knownBrand(r, pos)) return *d;
    return D::video;
}

bool isBmp(const ByteReader& r) {
    if (!r.matches(0, "BM")) return false;
    const auto infoSize = r.le32(14);
    const auto dataOffset = r.le32(10);
    if (!infoSize || !dataOffset) return false;
    bool known = false;
    for (std::uint32_t s : kBmpInfoSizes) known = known || s == *infoSize;
    return known && *dataOffset >= 14 + *infoSize;
}

bool isNetpbm(const ByteReader& r) {
    const auto kind = r.u8(1);
    const auto after = r.u8(2);
    if (!r.matches(0, "P") || !kind || !after) return false;
    const bool space = *after == ' ' || *after == '\t' || *after == '\n' || *after == '\r';
    return *kind >= '1' && *kind <= '6' && space;
}

// Three sync bytes one packet apart: 188-byte TS packets, or 192-byte M2TS
// packets whose sync byte follows a 4-byte time code.
bool isTransportStream(const ByteReader& r) {
    auto syncAt = [&](std::size_t first, std::size_t step) {
        for (std::size_t i = 0; i < 3; ++i)
            if (r.u8(first + i * step) != std::uint8_t{0x47}) return false;
        return true;
    };
    return syncAt(0, 188) || syncAt(4, 192);
}

bool isTiffExtension(std::string_view ext) {
    if (!ext.empty() && ext.front() == '.') ext.remove_prefix(1);
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    auto equals = [&](std::string_view want) {
        if (ext.size() != want.size()) return false;
        for (std::size_t i = 0; i < ext.size(); ++i)
            if (lower(ext[i]) != want[i]) return false;
        return true;
    };
    return equals("tif") || equals("tiff");
}

D singleDecoder(const ByteReader& r) {
    for (const Magic& m : kMagics)
        if (r.matches(0, m.bytes)) return m.decoder;
    if (r.matches(0, "RIFF")) {
        if (r.matches(8, "WEBP")) return D::webp;
        if (r.matches(8, "AVI ")) return D::video;
        return D::none;
    }
    if (r.matches(4, "ftyp")) return isoMediaDecoder(r);
    for (std::string_view atom : kQuickTimeAtoms)
        if (r.matches(4, atom)) return D::video;
    if (isBmp(r)) return D::bmp;
    if (isNetpbm(r)) return D::ppm;
    if (isTransportStream(r)) return D::video;
    return D::none;
}

}  // namespace

ThumbnailPlan planThumbnail(std::span<const std::uint8_t> head, std::string_view extension) {
    const ByteReader r(head);
    ThumbnailPlan plan;
    if (r.matches(0, "II*\0"sv) || r.matches(0, "MM\0*"sv)) {
        // Most raw formats are TIFF files; LibRaw refuses a plain TIFF quickly,
        // so only a TIFF name puts libvips first.
        if (isTiffExtension(extension))
            plan.decoders = {D::tiff, D::raw};
        else
            plan.decoders = {D::raw, D::tiff};
        return plan;
    }
    plan.decoders[0] = singleDecoder(r);
    return plan;
}

std::string_view decoderName(ThumbnailDecoder d) {
    switch (d) {
        case D::none: return "none";
        case D::jpeg: return "jpeg";
        case D::png: return "png";
        case D::gif: return "gif";
        case D::tiff: return "tiff";
        case D::webp: return "webp";
        case D::heif: return "heif";
        case D::ppm: return "ppm";
        case D::bmp: return "bmp";
        case D::raw: return "raw";
        case D::video: return "video";
    }
    return "none";
}

}  // namespace vf
