// JPEG: the marker walk to the first scan, the search for the end marker in the
// entropy-coded data, and the multi-picture (MPF) index that cameras use to
// append a preview image after the primary image's end marker.

#include <cstring>
#include <vector>

#include "helper/formats/LengthRules.h"
#include "helper/io/Log.h"

namespace vf::lengthrules {

namespace {

constexpr std::uint64_t kMarkerWindow = 2'097'152;  // markers are walked within the first 2 MiB
constexpr std::uint64_t kEntropyChunks = 1024;
constexpr std::uint64_t kMaxEntropyChunk = 64ull << 20;
constexpr std::uint64_t kSearchLimit = 536'870'912;  // the 512 MiB that the end-marker search covers
constexpr std::uint32_t kMaxMpfImages = 64;

// Where the images that an MPF index lists start and end, relative to the file.
struct MpfIndex {
    std::vector<std::uint64_t> starts;  // the images after the first one
    std::uint64_t end = 0;              // end of the last listed image
};

// Parses an APP2 payload [from, to) of b that starts with "MPF\0". Offsets of the
// images are relative to the MP header (the byte-order mark after "MPF\0"); the
// first image is the file itself and has offset 0.
std::optional<MpfIndex> parseMpf(const ByteReader& b, std::size_t from, std::size_t to) {
    if (to > b.size() || to < from || !b.matches(from, std::string_view("MPF\0", 4))) return std::nullopt;
    const ByteReader seg(b.sub(from + 4, to - from - 4));
    const std::size_t header = from + 4;  // file offset of the MP header
    Endian e;
    if (seg.matches(0, "II") && seg.le16(2) == 42) e = Endian::little;
    else if (seg.matches(0, "MM") && seg.be16(2) == 42) e = Endian::big;
    else return std::nullopt;
    const auto ifd = seg.u32(4, e);
    if (!ifd) return std::nullopt;
    const auto count = seg.u16(*ifd, e);
    if (!count || *count == 0 || *count > 64) return std::nullopt;
    std::optional<std::uint32_t> images;
    std::optional<std::uint32_t> entriesAt, entriesBytes;
    for (std::uint32_t i = 0; i < *count; ++i) {
        const std::size_t at = *ifd + 2 + 12 * static_cast<std::size_t>(i);
        const auto tag = seg.u16(at, e), type = seg.u16(at + 2, e);
        const auto n = seg.u32(at + 4, e), v = seg.u32(at + 8, e);
        if (!tag || !type || !n || !v) return std::nullopt;
        if (*tag == 0xB001 && *type == 4 && *n == 1) images = v;
        if (*tag == 0xB002 && *type == 7) {
            entriesAt = v;
            entriesBytes = n;
        }
    }
    if (!images || !entriesAt || *images < 2 || *images > kMaxMpfImages || *entriesBytes != 16 * *images)
        return std::nullopt;
    MpfIndex index;
    for (std::uint32_t i = 0; i < *images; ++i) {
        const std::size_t at = *entriesAt + 16 * static_cast<std::size_t>(i);
        const auto size = seg.u32(at + 4, e), off = seg.u32(at + 8, e);
        if (!size || !off) return std::nullopt;
        if (i == 0) {
            if (*off != 0) return std::nullopt;
            continue;
        }
        if (*off == 0 || *size == 0) return std::nullopt;
        const std::uint64_t start = header + static_cast<std::uint64_t>(*off);
        const std::uint64_t end = start + *size;  // both below 2^33: no overflow
        if (end > kSearchLimit) return std::nullopt;
        index.starts.push_back(start);
        index.end = std::max(index.end, end);
    }
    return index;
}

// The MPF end when every listed image lies after the primary one and starts
// with a JPEG start marker; nothing otherwise.
std::optional<std::uint64_t> mpfEnd(FileSizeCalculator& calc, Device& device, std::uint64_t offset,
                                    const MpfIndex& index, std::uint64_t primaryEnd) {
    if (index.end <= primaryEnd) return std::nullopt;
    for (std::uint64_t start : index.starts) {
        if (start < primaryEnd) return std::nullopt;
        const auto c = calc.readChunk(offset + start, 3, device);
        if (!c) return std::nullopt;
        const ByteReader r(fileBytes(*c));
        if (r.u8(0) != 0xFF || r.u8(1) != 0xD8 || r.u8(2) != 0xFF) return std::nullopt;
    }
    return index.end;
}

// The first FF D9 from `from` on (file-relative), searched chunk by chunk up to
// the first unreadable block, if any (`unreadable` then says so).
std::optional<std::uint64_t> findEndMarker(FileSizeCalculator& calc, Device& device, std::uint64_t offset,
                                           std::uint64_t from, bool& unreadable) {
    const std::uint64_t chunkSize = std::min(calc.blockSize * 1024, kMaxEntropyChunk);
    std::uint8_t previousLast = 0;
    std::uint64_t pos = from;
    for (std::uint64_t k = 0; k < kEntropyChunks; ++k) {
        const auto c = calc.readChunk(offset + pos, chunkSize, device, FileSizeCalculator::Unreadable::cut);
        if (!c) return std::nullopt;
        unreadable = c->cut;
        const std::span<const std::uint8_t> d = fileBytes(*c);
        if (d.empty()) return std::nullopt;
        // An end marker split across two chunks, whatever their alignment.
        if (previousLast == 0xFF && d[0] == 0xD9) return pos + 1;
        // FF is rare in entropy-coded data (and then mostly stuffed as FF 00): memchr finds the candidates.
        const std::uint8_t* const first = d.data();
        const std::uint8_t* const last = first + d.size() - 1;  // a pair starts before the last byte
        for (const std::uint8_t* at = first; at < last;) {
            const auto* ff = static_cast<const std::uint8_t*>(std::memchr(at, 0xFF, static_cast<std::size_t>(last - at)));
            if (!ff) break;
            if (ff[1] == 0xD9) return pos + static_cast<std::uint64_t>(ff - first) + 2;
            at = ff + 1;
        }
        if (unreadable) return std::nullopt;
        previousLast = d.back();
        pos += d.size();
    }
    return std::nullopt;
}

}  // namespace

std::uint64_t jpegLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    // A photo ends well before a bad block that its window reaches: the window stops there.
    const auto c = calc.readChunk(offset, kMarkerWindow, device, FileSizeCalculator::Unreadable::cut);
    if (!c) return 0;
    const ByteReader b(fileBytes(*c));
    if (b.size() < 4 || b.u8(0) != 0xFF || b.u8(1) != 0xD8) return 0;

    std::optional<MpfIndex> mpf;
    std::size_t p = 2;
    std::uint64_t scanData = 0;
    for (;;) {
        const std::uint8_t m = *b.u8(p);  // p < size holds on every path here
        std::size_t q = p + 1;
        if (m == 0xFF) {
            p = q;
            if (p >= b.size()) return 0;
            continue;
        }
        if (m == 0xD9) return q;
        if (m == 0xDA) {
            const auto len = b.be16(q);
            if (!len || *len < 2) return 0;
            if (q + *len > b.size()) return 0;
            scanData = q + *len;
            break;
        }
        if (m != 0x01 && !(m >= 0xD0 && m <= 0xD8)) {
            const auto len = b.be16(q);
            if (!len || *len < 2) return 0;
            if (m == 0xE2 && !mpf) mpf = parseMpf(b, q + 2, q + *len);
            q += *len;
            if (q > b.size()) return 0;
        }
        if (q + 1 >= b.size()) return 0;
        p = q;
    }

    bool unreadable = false;
    const auto end = findEndMarker(calc, device, offset, scanData, unreadable);
    if (!end) {
        if (!unreadable) logLine("⚠️ JPEG EOI not found within 512 MB — treating as false positive");
        return 0;
    }
    if (mpf)
        if (const auto whole = mpfEnd(calc, device, offset, *mpf, *end)) return *whole;
    return *end;
}

bool jpegPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    // Enough for the longest first segment (an EXIF block of 64 KiB) and the marker after it.
    constexpr std::uint64_t kReach = 65'544;
    const auto c = head(calc, device, offset, kReach);
    if (!c) return false;
    const ByteReader b(fileBytes(*c));
    if (b.u8(0) != 0xFF || b.u8(1) != 0xD8) return false;
    // The first few segments must be well formed: FF, then a table, frame,
    // application or comment marker (never a restart, start or end marker),
    // then a length that leads to the next FF. A scan header ends the check.
    std::size_t p = 2;
    for (int segment = 0; segment < 8; ++segment) {
        for (int fill = 0; fill < 16 && b.u8(p + 1) == 0xFF; ++fill) ++p;  // fill bytes before a marker
        // Segments beyond the read are not checked; beyond the device's end
        // they cannot belong to a file.
        if (!b.has(p, 4)) return segment > 0 && b.size() == kReach;
        const std::uint8_t m = *b.u8(p + 1);
        if (*b.u8(p) != 0xFF || m < 0xC0 || m == 0xFF || (m >= 0xD0 && m <= 0xD9)) return false;
        if (m == 0xDA && segment == 0) return false;
        const std::uint16_t len = *b.be16(p + 2);
        if (len < 2) return false;
        if (m == 0xDA) return true;
        p += 2 + static_cast<std::size_t>(len);
    }
    return true;
}

}  // namespace vf::lengthrules
