// Raw formats with their own headers: CRW (CIFF heap), RAF, IIQ, X3F, MRW.

#include <vector>

#include "helper/formats/LengthRules.h"

namespace vf::lengthrules {

namespace {

constexpr std::uint64_t kSearchRead = 4'194'304;
constexpr std::size_t kSearchCarry = 65'536;

constexpr std::uint64_t kCrwDefault = 12'582'912;
// CRW files are at most a few tens of MiB; the root directory lies at the end.
constexpr std::uint64_t kCrwSearchLimit = 64ull << 20;
constexpr std::uint32_t kCrwMaxEntries = 255;

constexpr std::uint64_t kRafDefault = 31'457'280;
constexpr std::uint64_t kRafSmallEnd = 4'194'304;
constexpr std::uint64_t kIiqDefault = 83'886'080;
constexpr std::uint64_t kX3fSearchLimit = 536'870'912;
constexpr std::uint64_t kX3fDefault = 20'971'520;
constexpr std::uint64_t kMrwDefault = 16'777'216;

// Runs `test` over windows of the file's bytes, read forward from the file's
// first byte in 4 MiB pieces up to `limit`; each window begins with the last
// 64 KiB of the one before, so a structure split by a read is still seen.
// `test` gets the window and the file position of its first byte.
template <typename Test>
std::optional<std::uint64_t> searchForward(FileSizeCalculator& calc, Device& device, std::uint64_t offset,
                                           std::uint64_t limit, Test test) {
    std::vector<std::uint8_t> carry, window;
    std::uint64_t consumed = 0;
    while (consumed < limit) {
        const auto c = calc.readChunk(offset + consumed, kSearchRead, device);
        if (!c) break;
        const auto bytes = fileBytes(*c);
        window.assign(carry.begin(), carry.end());
        window.insert(window.end(), bytes.begin(), bytes.end());
        if (window.size() < 16) break;
        if (const auto found = test(ByteReader(window), consumed - carry.size())) return found;
        const std::size_t keep = std::min(kSearchCarry, window.size());
        carry.assign(window.end() - static_cast<std::ptrdiff_t>(keep), window.end());
        consumed += bytes.size();
    }
    return std::nullopt;
}

}  // namespace

// A CIFF heap ends with the offset of its directory (relative to the heap's
// start), and writers place that directory, a 16-bit count and 10-byte
// entries, right before it. The root heap starts after the header and runs to
// the end of the file, so the end is the first position whose last four bytes
// point back at a directory that ends there and describes the root: records
// inside the heap before it, among them the raw image data (0x2005). Sub-heaps
// look alike but hold no raw data.
std::uint64_t crwLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 14);
    if (!c) return 0;
    const ByteReader h(fileBytes(*c));
    if (!h.has(0, 14)) return 0;
    const std::uint64_t heap = *h.le32(2);
    if (heap < 14 || heap > 4096) return kCrwDefault;

    auto rootEnd = [&](const ByteReader& w, std::uint64_t base) -> std::optional<std::uint64_t> {
        for (std::size_t i = 0; i + 4 <= w.size(); ++i) {
            const std::uint64_t pointer = *w.le32(i);
            const std::uint64_t dir = heap + pointer;  // file position of the directory
            const std::uint64_t here = base + i;       // file position of the pointer
            if (dir < base || dir + 2 > here || (here - dir - 2) % 10 != 0) continue;
            const std::uint64_t k = (here - dir - 2) / 10;
            if (k == 0 || k > kCrwMaxEntries) continue;
            const std::size_t d = static_cast<std::size_t>(dir - base);
            if (w.le16(d) != k) continue;
            bool consistent = true, rawData = false;
            for (std::size_t j = 0; j < k && consistent; ++j) {
                const std::size_t e = d + 2 + 10 * j;
                const std::uint16_t type = *w.le16(e);
                if ((type & 0xC000) != 0) continue;  // value held in the entry itself
                const std::uint64_t end = static_cast<std::uint64_t>(*w.le32(e + 2)) + *w.le32(e + 6);
                consistent = end <= pointer;
                rawData = rawData || (type & 0x3FFF) == 0x2005;
            }
            if (consistent && rawData) return here + 4;
        }
        return std::nullopt;
    };
    return searchForward(calc, device, offset, kCrwSearchLimit, rootEnd).value_or(kCrwDefault);
}

bool crwPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 14);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    const auto heap = h.le32(2);
    return h.matches(0, "II") && h.matches(6, "HEAPCCDR") && heap && *heap >= 14 && *heap <= 4096;
}

std::uint64_t rafLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 512);
    if (!c) return 0;
    const ByteReader h(fileBytes(*c));
    if (!h.has(0, 108)) return 0;
    const std::uint64_t jpeg = static_cast<std::uint64_t>(*h.be32(84)) + *h.be32(88);
    const std::uint64_t raw = static_cast<std::uint64_t>(*h.be32(100)) + *h.be32(104);
    const std::uint64_t end = std::max(jpeg, raw);
    return end <= kRafSmallEnd ? kRafDefault : end;
}

bool rafPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 512);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    if (!h.matches(0, "FUJIFILMCCD-RAW") || !h.has(0, 108)) return false;
    // The embedded JPEG and the raw data both lie after the header.
    const auto jpegAt = *h.be32(84), rawAt = *h.be32(100);
    return (jpegAt == 0 || jpegAt >= 108) && (rawAt == 0 || rawAt >= 108);
}

std::uint64_t iiqLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 12);
    if (!c) return 0;
    const auto v = ByteReader(fileBytes(*c)).le32(8);
    if (!v) return 0;
    return *v != 0 ? *v : kIiqDefault;
}

bool iiqPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 12);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    const auto v = h.le32(8);
    // "IIII" alone turns up about once in 4 GiB of random data; a Phase One
    // header goes on with "Raw" stored little-endian in bytes 5 to 7.
    return h.matches(0, "IIII") && h.matches(5, "waR") && v && (*v == 0 || *v >= 12);
}

std::uint64_t x3fLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    // The section directory ("SECd", version, entry count, 12-byte entries) is
    // followed by the file's last four bytes, which hold the directory's own position.
    auto directoryEnd = [](const ByteReader& w, std::uint64_t base) -> std::optional<std::uint64_t> {
        for (std::size_t i = 0; i + 16 <= w.size(); ++i) {
            if (!w.matches(i, "SECd")) continue;
            const std::uint64_t k = *w.le32(i + 8);
            if (k < 1 || k > 999 || i + 16 + 12 * k > w.size()) continue;
            const std::uint64_t pointer = *w.le32(static_cast<std::size_t>(i + 12 + 12 * k));
            if (pointer == base + i) return pointer + 16 + 12 * k;
        }
        return std::nullopt;
    };
    if (const auto end = searchForward(calc, device, offset, kX3fSearchLimit, directoryEnd)) return *end;

    const auto c = head(calc, device, offset, 512);
    if (!c) return 0;
    const ByteReader h(fileBytes(*c));
    if (!h.has(0, 36)) return 0;
    const std::uint64_t w = *h.le32(28), ht = *h.le32(32);
    if (w >= 101 && w <= 19'999 && ht >= 101 && ht <= 19'999) return w * ht * 9 + 4'194'304;
    return kX3fDefault;
}

bool x3fPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 512);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    const auto w = h.le32(28), ht = h.le32(32);
    return h.matches(0, "FOVb") && w && ht && *w >= 1 && *w <= 19'999 && *ht >= 1 && *ht <= 19'999;
}

std::uint64_t mrwLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 512);
    if (!c) return 0;
    const ByteReader h(fileBytes(*c));
    if (!h.has(0, 40)) return 0;
    const std::uint64_t d = *h.be32(4);  // the outer block; image data follows it
    if (d == 0 || d >= 4'194'304) return kMrwDefault;
    if (h.matches(8, std::string_view("\0PRD", 4))) {
        const std::uint64_t height = *h.be16(24), width = *h.be16(26), bits = *h.u8(32);
        if (width >= 101 && width <= 15'999 && height >= 101 && height <= 15'999 && bits >= 8 && bits <= 16)
            return d + (width * height * bits + 7) / 8 + 8;
    }
    return d + kMrwDefault + 8;
}

bool mrwPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 512);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    const auto d = h.be32(4);
    if (!h.matches(0, std::string_view("\0MRM", 4)) || !d || *d == 0 || *d >= 4'194'304) return false;
    // The first inner block's tag: a zero byte and three capitals ("PRD", "TTW", ...).
    if (h.u8(8) != 0) return false;
    for (std::size_t i = 9; i < 12; ++i) {
        const auto ch = h.u8(i);
        if (!ch || *ch < 'A' || *ch > 'Z') return false;
    }
    return true;
}

}  // namespace vf::lengthrules
