#include "app/ImageHeader.h"

#include "common/ByteReader.h"

namespace vf {
namespace {

std::optional<ImageHeader> jpegHeader(const ByteReader& r) {
    std::size_t pos = 2;
    for (int segments = 0; segments < 4096; ++segments) {
        // Fill bytes (0xFF runs) may precede a marker.
        while (r.u8(pos) == 0xFF && r.u8(pos + 1) == 0xFF) ++pos;
        const auto ff = r.u8(pos);
        const auto marker = r.u8(pos + 1);
        if (ff != 0xFF || !marker) return std::nullopt;
        const std::uint8_t m = *marker;
        if (m == 0xD8 || m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            pos += 2;
            continue;
        }
        if (m == 0xD9 || m == 0xDA) return std::nullopt;  // no frame header before the scan
        const auto len = r.be16(pos + 2);
        if (!len || *len < 2) return std::nullopt;
        const bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        if (frame) {
            const auto h = r.be16(pos + 5);
            const auto w = r.be16(pos + 7);
            const auto comps = r.u8(pos + 9);
            if (!h || !w || !comps || *w == 0) return std::nullopt;
            ImageHeader out;
            out.width = *w;
            if (*h != 0) out.height = *h;  // 0: defined later by a DNL segment
            if (*comps == 1) out.colorModel = "Gray";
            else if (*comps == 3) out.colorModel = "RGB";
            else if (*comps == 4) out.colorModel = "CMYK";
            return out;
        }
        pos += 2 + *len;
    }
    return std::nullopt;
}

std::optional<ImageHeader> pngHeader(const ByteReader& r) {
    if (!r.matches(12, "IHDR")) return std::nullopt;
    const auto w = r.be32(16), h = r.be32(20);
    const auto type = r.u8(25);
    if (!w || !h || !type || *w == 0 || *h == 0) return std::nullopt;
    ImageHeader out{*w, *h, std::nullopt};
    if (*type == 0 || *type == 4) out.colorModel = "Gray";
    else if (*type == 2 || *type == 3 || *type == 6) out.colorModel = "RGB";
    return out;
}

std::optional<ImageHeader> gifHeader(const ByteReader& r) {
    const auto w = r.le16(6), h = r.le16(8);
    if (!w || !h || *w == 0 || *h == 0) return std::nullopt;
    return ImageHeader{*w, *h, "RGB"};
}

std::optional<ImageHeader> bmpHeader(const ByteReader& r) {
    const auto infoSize = r.le32(14);
    if (!infoSize) return std::nullopt;
    std::int64_t w = 0, h = 0;
    if (*infoSize == 12) {
        w = r.le16(18).value_or(0);
        h = r.le16(20).value_or(0);
    } else {
        const auto lw = r.le32(18), lh = r.le32(22);
        if (!lw || !lh) return std::nullopt;
        w = static_cast<std::int32_t>(*lw);
        h = static_cast<std::int32_t>(*lh);
        if (h < 0) h = -h;  // top-down rows
    }
    if (w <= 0 || h <= 0) return std::nullopt;
    return ImageHeader{w, h, "RGB"};
}

std::optional<ImageHeader> webpHeader(const ByteReader& r) {
    if (r.matches(12, "VP8X")) {
        const auto w = r.beN(24, 3), h = r.beN(27, 3);
        if (!w || !h) return std::nullopt;
        // 24-bit little-endian fields holding size - 1.
        const auto le24 = [&](std::size_t p) {
            return static_cast<std::int64_t>(*r.u8(p)) | static_cast<std::int64_t>(*r.u8(p + 1)) << 8 |
                   static_cast<std::int64_t>(*r.u8(p + 2)) << 16;
        };
        return ImageHeader{le24(24) + 1, le24(27) + 1, "RGB"};
    }
    if (r.matches(12, "VP8L")) {
        const auto sig = r.u8(20);
        const auto bits = r.le32(21);
        if (sig != 0x2F || !bits) return std::nullopt;
        return ImageHeader{(*bits & 0x3FFF) + 1, ((*bits >> 14) & 0x3FFF) + 1, "RGB"};
    }
    if (r.matches(12, "VP8 ")) {
        // Key frame start code, then 14-bit sizes with a 2-bit scale above each.
        if (r.u8(23) != 0x9D || r.u8(24) != 0x01 || r.u8(25) != 0x2A) return std::nullopt;
        const auto w = r.le16(26), h = r.le16(28);
        if (!w || !h || (*w & 0x3FFF) == 0 || (*h & 0x3FFF) == 0) return std::nullopt;
        return ImageHeader{*w & 0x3FFF, *h & 0x3FFF, "RGB"};
    }
    return std::nullopt;
}

bool isoImageBrand(const ByteReader& r) {
    static constexpr std::string_view brands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx",
                                                  "mif1", "msf1", "avif", "avis", "crx "};
    for (auto b : brands)
        if (r.matches(8, b)) return true;
    return false;
}

}  // namespace

std::optional<ImageHeader> readImageHeader(std::span<const std::uint8_t> bytes) {
    const ByteReader r(bytes);
    if (r.be16(0) == 0xFFD8) return jpegHeader(r);
    if (r.matches(0, "\x89PNG\r\n\x1a\n")) return pngHeader(r);
    if (r.matches(0, "GIF87a") || r.matches(0, "GIF89a")) return gifHeader(r);
    if (r.matches(0, "BM")) return bmpHeader(r);
    if (r.matches(0, "RIFF") && r.matches(8, "WEBP")) return webpHeader(r);
    if (r.matches(4, "ftyp") && isoImageBrand(r)) return ImageHeader{std::nullopt, std::nullopt, "RGB"};
    return std::nullopt;
}

std::optional<std::string> tiffColorModel(std::int64_t photometric) {
    switch (photometric) {
        case 0:
        case 1: return "Gray";
        case 2:
        case 3:
        case 6:
        case 32803:  // colour filter array: raw sensor data
        case 34892:  // linear raw
            return "RGB";
        case 5: return "CMYK";
        case 8:
        case 9:
        case 10: return "Lab";
        default: return std::nullopt;
    }
}

}  // namespace vf
