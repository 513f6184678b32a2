#include "helper/CaptureInfo.h"

#include <algorithm>
#include <cstring>

#include "common/ByteReader.h"

namespace vf {

std::optional<std::string> findCaptureDate(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to) {
    to = std::min(to, bytes.size());
    if (to < 19 || from > to - 19) return std::nullopt;
    auto digit = [](std::uint8_t c) { return c >= '0' && c <= '9'; };
    static constexpr int kDigitPlaces[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
    // Candidates are the positions four bytes before a ':', found with memchr:
    // clips without a date are searched through their whole window.
    const std::uint8_t* const data = bytes.data();
    for (std::size_t q = from + 4; q + 15 <= to;) {
        const void* hit = std::memchr(data + q, ':', to - 14 - q);
        if (!hit) break;
        const std::size_t p = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - data) - 4;
        q = p + 5;
        if (bytes[p + 7] != ':' || bytes[p + 10] != ' ' || bytes[p + 13] != ':' || bytes[p + 16] != ':') continue;
        bool ok = true;
        for (int k : kDigitPlaces)
            if (!digit(bytes[p + static_cast<std::size_t>(k)])) { ok = false; break; }
        if (!ok) continue;
        const int year = (bytes[p] - '0') * 1000 + (bytes[p + 1] - '0') * 100 + (bytes[p + 2] - '0') * 10 +
                         (bytes[p + 3] - '0');
        if (year < 1990 || year > 2100) continue;
        return std::string(reinterpret_cast<const char*>(bytes.data() + p), 19);
    }
    return std::nullopt;
}

std::string cleanCameraText(std::span<const std::uint8_t> latin1) {
    // Latin-1 to UTF-8 first, so that letters like "é" survive as letters.
    std::u32string text;
    for (std::uint8_t c : latin1) {
        if (c == 0) break;  // ASCII values end at their NUL
        text.push_back(c);
    }
    auto isSpace = [](char32_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && isSpace(text.back())) text.pop_back();
    std::size_t b = 0;
    while (b < text.size() && isSpace(text[b])) ++b;
    text.erase(0, b);
    std::string out;
    std::size_t kept = 0;
    for (char32_t c : text) {
        if (kept == 32) break;
        if (c == ' ') c = '-';
        const bool asciiOk = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                             c == '-' || c == '_';
        const bool latinLetter = c >= 0xC0 && c <= 0xFF && c != 0xD7 && c != 0xF7;
        if (!asciiOk && !latinLetter) continue;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
        ++kept;
    }
    return out;
}

CameraModel readCameraModel(std::span<const std::uint8_t> buffer, std::uint64_t start, std::uint64_t off,
                            FileFormat format) {
    CameraModel result;
    if (off < start || off - start >= buffer.size()) return result;
    const std::size_t i = static_cast<std::size_t>(off - start);
    const std::size_t windowEnd = std::min<std::size_t>(buffer.size(), i + 65536);
    const ByteReader window(buffer.first(windowEnd));

    std::size_t tiff = i;
    if (format == FileFormat::jpeg) {
        std::size_t p = i + 2;
        bool found = false;
        while (p + 4 <= windowEnd) {
            if (buffer[p] != 0xFF) { ++p; continue; }
            if (buffer[p + 1] == 0xE1 && window.matches(p + 4, std::string_view("Exif\0\0", 6))) {
                tiff = p + 10;
                found = true;
                break;
            }
            const std::uint16_t len = std::max<std::uint16_t>(window.be16(p + 2).value_or(2), 2);
            p += 2 + len;
        }
        if (!found) return result;
    }

    const auto order = window.u8(tiff);
    if (!order) return result;
    const Endian e = *order == 0x49 ? Endian::little : Endian::big;
    const auto version = window.u16(tiff + 2, e);
    if (!version || (*version != 42 && *version != 0x4F52 && *version != 0x5352)) return result;
    const auto ifd = window.u32(tiff + 4, e);
    if (!ifd) return result;
    const auto dir = checkedAdd(tiff, *ifd);
    if (!dir) return result;
    const auto count = window.u16(static_cast<std::size_t>(std::min<std::uint64_t>(*dir, SIZE_MAX)), e);
    if (!count || *count < 1 || *count > 500) return result;

    for (std::uint16_t k = 0; k < *count; ++k) {
        const std::uint64_t entry = *dir + 2 + 12ull * k;
        if (entry + 12 > windowEnd) break;
        const std::size_t at = static_cast<std::size_t>(entry);
        const std::uint16_t tag = *window.u16(at, e);
        if (tag != 271 && tag != 272) continue;
        if (*window.u16(at + 2, e) != 2) continue;
        const std::uint32_t n = *window.u32(at + 4, e);
        std::span<const std::uint8_t> text;
        if (n <= 4) {
            text = window.sub(at + 8, n);
        } else {
            const std::uint64_t pos = tiff + static_cast<std::uint64_t>(*window.u32(at + 8, e));
            if (pos >= windowEnd) continue;
            const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>({n, 64, windowEnd - pos}));
            text = window.sub(static_cast<std::size_t>(pos), len);
        }
        (tag == 271 ? result.make : result.model) = cleanCameraText(text);
    }
    return result;
}

}  // namespace vf
