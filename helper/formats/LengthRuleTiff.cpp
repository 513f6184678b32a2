// The TIFF directory walk (main chain and SubIFDs) for plain TIFF and the
// TIFF-based raw formats, and the RW2 estimate from the first directory.

#include <deque>
#include <unordered_set>
#include <vector>

#include "helper/formats/LengthRules.h"

namespace vf::lengthrules {

namespace {

constexpr int kMaxDirectories = 100;
constexpr std::uint16_t kMaxEntries = 999;
// Far above the strip or tile count of any real image (a 100-megapixel image
// in one-row strips has about 12,000), and at most a 4 MiB read.
constexpr std::uint64_t kMaxListElements = 1u << 20;
// Classic TIFF offsets are 32-bit, so no genuine structure ends beyond 4 GiB;
// an entry that claims to is corrupt and does not stretch the file.
constexpr std::uint64_t kClassicLimit = 1ull << 32;
constexpr std::uint64_t kMinimumEnd = 512;

constexpr std::uint64_t kRw2Default = 20'971'520;
constexpr std::uint64_t kRw2Extra = 4'194'304;

std::uint64_t elementSize(std::uint16_t type) {
    switch (type) {
        case 3: case 8: return 2;
        case 4: case 9: case 11: return 4;
        case 5: case 10: case 12: return 8;
        default: return 1;
    }
}

bool acceptedVersion(std::uint16_t v) { return v == 42 || v == 85 || v == 0x4F52 || v == 0x5352; }

struct Entry {
    std::uint16_t tag, type;
    std::uint32_t count;
    std::size_t field;  // index of the 4-byte value field in the directory bytes
};

// Values of a strip, tile or SubIFD entry. They stand in the value field when
// they fit in its four bytes, else at the file offset that the field holds.
std::vector<std::uint64_t> readList(FileSizeCalculator& calc, Device& device, std::uint64_t offset,
                                    const ByteReader& dir, const Entry& en, Endian e) {
    std::vector<std::uint64_t> out;
    const bool shorts = en.type == 3 || en.type == 8;
    const std::uint64_t size = shorts ? 2 : 4;
    if (en.count == 0 || en.count > kMaxListElements) return out;
    ByteReader values;
    std::optional<Chunk> c;
    if (size * en.count <= 4) {
        values = ByteReader(dir.sub(en.field, 4));
    } else {
        const auto at = dir.u32(en.field, e);
        if (!at) return out;
        c = calc.readChunk(offset + *at, size * en.count, device);
        if (!c) return out;
        values = ByteReader(fileBytes(*c));
        if (!values.has(0, static_cast<std::size_t>(size * en.count))) return out;
    }
    out.reserve(en.count);
    for (std::uint32_t i = 0; i < en.count; ++i) {
        const std::size_t at = static_cast<std::size_t>(i * size);
        std::optional<std::uint64_t> v;
        if (shorts) v = values.u16(at, e);
        else v = values.u32(at, e);
        if (!v) break;
        out.push_back(*v);
    }
    return out;
}

void extendByPairs(std::uint64_t& end, const std::vector<std::uint64_t>& offsets,
                   const std::vector<std::uint64_t>& counts) {
    const std::size_t n = std::min(offsets.size(), counts.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t e = offsets[i] + counts[i];  // both below 2^32
        if (e <= kClassicLimit) end = std::max(end, e);
    }
}

}  // namespace

std::uint64_t tiffLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = calc.readChunk(offset, 8, device);
    if (!c) return 0;
    const ByteReader h(fileBytes(*c));
    if (!h.has(0, 8)) return 0;
    const Endian e = h.u8(0) == 0x49 ? Endian::little : Endian::big;
    if (!acceptedVersion(*h.u16(2, e))) return 0;

    std::deque<std::uint64_t> queue{*h.u32(4, e)};
    std::size_t queued = 1;
    std::unordered_set<std::uint64_t> visited;
    std::uint64_t end = 8;
    auto enqueue = [&](std::uint64_t o) {
        // Offsets beyond the first kMaxDirectories are never taken.
        if (queued < kMaxDirectories) {
            queue.push_back(o);
            ++queued;
        }
    };

    for (int taken = 0; taken < kMaxDirectories && !queue.empty(); ++taken) {
        const std::uint64_t o = queue.front();
        queue.pop_front();
        if (o == 0 || !visited.insert(o).second) continue;
        const auto countChunk = calc.readChunk(offset + o, 2, device);
        if (!countChunk) continue;
        const auto k = ByteReader(fileBytes(*countChunk)).u16(0, e);
        if (!k || *k == 0 || *k > kMaxEntries) continue;
        const std::size_t dirBytes = 12 * static_cast<std::size_t>(*k) + 4;
        const auto dirChunk = calc.readChunk(offset + o + 2, dirBytes, device);
        if (!dirChunk) continue;
        const ByteReader dir(fileBytes(*dirChunk));
        if (!dir.has(0, dirBytes)) continue;
        // The directory belongs to the file too: writers often put it last.
        end = std::max(end, o + 2 + dirBytes);

        std::vector<std::uint64_t> stripOffsets, stripCounts, tileOffsets, tileCounts;
        for (std::size_t i = 0; i < *k; ++i) {
            const std::size_t at = 12 * i;
            const Entry en{*dir.u16(at, e), *dir.u16(at + 2, e), *dir.u32(at + 4, e), at + 8};
            const std::uint64_t bytes = elementSize(en.type) * en.count;
            if (bytes >= 5) {
                const std::uint64_t dataEnd = bytes + *dir.u32(en.field, e);
                if (dataEnd <= kClassicLimit) end = std::max(end, dataEnd);
            }
            switch (en.tag) {
                case 273: stripOffsets = readList(calc, device, offset, dir, en, e); break;
                case 279: stripCounts = readList(calc, device, offset, dir, en, e); break;
                case 324: tileOffsets = readList(calc, device, offset, dir, en, e); break;
                case 325: tileCounts = readList(calc, device, offset, dir, en, e); break;
                case 330:
                    for (std::uint64_t sub : readList(calc, device, offset, dir, en, e)) enqueue(sub);
                    break;
                default: break;
            }
        }
        extendByPairs(end, stripOffsets, stripCounts);
        extendByPairs(end, tileOffsets, tileCounts);
        if (const std::uint32_t next = *dir.u32(12 * static_cast<std::size_t>(*k), e); next != 0) enqueue(next);
    }
    return end > kMinimumEnd ? end : 0;
}

bool tiffPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 4096);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    Endian e;
    if (h.matches(0, "II")) e = Endian::little;
    else if (h.matches(0, "MM")) e = Endian::big;
    else return false;
    const auto version = h.u16(2, e);
    const auto first = h.u32(4, e);
    if (!version || !first || !acceptedVersion(*version) || *first < 8) return false;
    // The first directory usually follows the header; when it stands elsewhere
    // (writers that put it after the image data) one more small read finds it.
    ByteReader dir = h;
    std::size_t at = *first;
    std::optional<Chunk> far;
    if (!h.has(at, 2)) {
        far = calc.readChunk(offset + *first, 512, device);
        if (!far) return false;
        dir = ByteReader(fileBytes(*far));
        at = 0;
    }
    const auto k = dir.u16(at, e);
    if (!k || *k == 0 || *k > kMaxEntries) return false;
    // Every entry in reach has a real field type.
    for (std::size_t i = 0; i < *k && dir.has(at + 2 + 12 * i, 12); ++i) {
        const auto type = *dir.u16(at + 2 + 12 * i + 2, e);
        if (type == 0 || type > 13) return false;
    }
    return true;
}

namespace {

// The first directory of an RW2 within the file's first 512 bytes: its entry
// count, or nothing when it does not lie there or has an implausible count.
std::optional<std::uint16_t> rw2Directory(const ByteReader& b, std::uint32_t d) {
    if (d < 8) return std::nullopt;
    const auto k = b.le16(d);
    if (!k || *k < 1 || *k > 199) return std::nullopt;
    if (static_cast<std::uint64_t>(d) + 2 + 12ull * *k > 512 || !b.has(d + 2, 12 * static_cast<std::size_t>(*k)))
        return std::nullopt;
    return k;
}

}  // namespace

std::uint64_t rw2Length(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 512);
    if (!c) return 0;
    const ByteReader b(fileBytes(*c));
    if (!b.has(0, 8)) return 0;
    const std::uint32_t d = *b.le32(4);
    const auto k = rw2Directory(b, d);
    if (!k) return kRw2Default;
    std::uint64_t width = 0, height = 0, bits = 12;
    for (std::size_t i = 0; i < *k; ++i) {
        const std::size_t at = d + 2 + 12 * i;
        const std::uint16_t tag = *b.le16(at), type = *b.le16(at + 2);
        std::uint64_t v;
        if (type == 4) v = *b.le32(at + 8);
        else if (type == 3) v = *b.le16(at + 8);
        else continue;
        if (tag == 256) width = v;
        else if (tag == 257) height = v;
        else if (tag == 258) bits = std::max<std::uint64_t>(v, 8);
    }
    if (width < 101 || height < 101) return kRw2Default;
    const auto pixels = checkedMul(width, height);
    const auto total = pixels ? checkedMul(*pixels, bits) : std::nullopt;
    if (!total) return kRw2Default;
    return *total / 8 + kRw2Extra;
}

bool rw2Plausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 512);
    if (!c) return false;
    const ByteReader b(fileBytes(*c));
    const auto d = b.le32(4);
    return b.matches(0, "IIU") && d && rw2Directory(b, *d).has_value();
}

}  // namespace vf::lengthrules
