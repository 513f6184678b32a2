// Containers and video: ISO media boxes, RIFF, MPEG transport stream, MXF KLV
// packets and the BRAW header.

#include <initializer_list>
#include <string_view>

#include "helper/formats/LengthRules.h"

namespace vf::lengthrules {

namespace {

constexpr int kIsoMaxBoxes = 2'000;
constexpr std::uint64_t kIsoBound = 68'719'476'736;  // 64 GiB
constexpr std::uint64_t kIsoDefault = 33'554'432;

constexpr int kRiffMaxExtensions = 1'000;

constexpr std::uint64_t kTsPacket = 188;
constexpr std::uint64_t kTsRead = 770'048;  // 4,096 packets
constexpr std::uint64_t kTsMinPackets = 11;

constexpr int kMxfMaxPackets = 50'000;
constexpr std::uint64_t kMxfBound = 549'755'813'888;  // 512 GiB
constexpr std::uint64_t kMxfDefault = 4'294'967'296;

constexpr std::uint64_t kBrawDefault = 4'294'967'296;

// Top-level box types are four printable characters ("©" is QuickTime's).
bool printableType(const ByteReader& h, std::size_t at) {
    for (std::size_t i = 0; i < 4; ++i) {
        const auto c = h.u8(at + i);
        if (!c || ((*c < 0x20 || *c > 0x7E) && *c != 0xA9)) return false;
    }
    return true;
}

bool oneOf(const ByteReader& box, std::initializer_list<std::string_view> types) {
    for (std::string_view t : types)
        if (box.matches(4, t)) return true;
    return false;
}

struct BoxHeader {
    std::uint64_t size = 0;  // 0: runs to the end of the file
    bool extended = false;
};

// The box size at h, or nothing when the header cannot be a box's.
std::optional<BoxHeader> boxHeader(const ByteReader& h) {
    const auto s32 = h.be32(0);
    if (!s32 || !printableType(h, 4)) return std::nullopt;
    BoxHeader b{*s32, false};
    if (*s32 == 1) {
        const auto s64 = h.be64(8);
        if (!s64 || *s64 < 16) return std::nullopt;
        b = {*s64, true};
    } else if (*s32 != 0 && *s32 < 8) {
        return std::nullopt;  // smaller than its own header
    }
    return b;
}

}  // namespace

// Sums top-level boxes until the second of "moov" and "mdat" (for HEIC and
// AVIF, which carry no "moov", "meta" and "mdat") has ended.
std::uint64_t isoMediaLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset, bool stillImage) {
    std::uint64_t p = offset, total = 0;
    bool mdat = false, moov = false, meta = false;
    for (int boxes = 0; boxes < kIsoMaxBoxes; ++boxes) {
        const auto c = calc.readChunk(p, 16, device);
        if (!c) break;
        const ByteReader h(fileBytes(*c));
        if (!h.has(0, 8)) break;
        const auto box = boxHeader(h);
        // Size 0 stops (its end is unknown); so does what is no box header at
        // all, such as the next file's or stale bytes after the last box.
        if (!box || box->size == 0) break;
        const auto nextTotal = checkedAdd(total, box->size);
        const auto nextP = checkedAdd(p, box->size);
        if (!nextTotal || !nextP) break;  // a size past 64 bits ends the walk
        total = *nextTotal;
        p = *nextP;
        if (h.matches(4, "mdat")) {
            if (moov || (stillImage && meta)) return total;
            mdat = true;
        } else if (h.matches(4, "moov")) {
            if (mdat) return total;
            moov = true;
        } else if (stillImage && h.matches(4, "meta")) {
            if (mdat) return total;
            meta = true;
        }
        if (total > kIsoBound) return total;
    }
    return total != 0 ? total : kIsoDefault;
}

bool isoBoxStartsAt(FileSizeCalculator& calc, Device& device, std::uint64_t offset, std::uint64_t at) {
    std::uint64_t p = offset;
    for (int boxes = 0; boxes < kIsoMaxBoxes && p < at; ++boxes) {
        const auto c = calc.readChunk(p, 16, device);
        if (!c) return false;
        const auto box = boxHeader(ByteReader(fileBytes(*c)));
        if (!box || box->size == 0) return false;
        const auto next = checkedAdd(p, box->size);
        if (!next) return false;
        p = *next;
    }
    return p == at;
}

bool isoMediaPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 64);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    const auto box = boxHeader(h);
    if (!box) return false;
    if (h.matches(4, "ftyp")) {
        // Major brand, minor version and four-byte compatible brands.
        return !box->extended && box->size >= 16 && box->size <= 4096 && box->size % 4 == 0 && printableType(h, 8);
    }
    if (h.matches(4, "moov")) {
        // Its first child is one of the boxes a movie header starts with.
        const ByteReader child(h.sub(8, 16));
        const auto inner = boxHeader(child);
        return !box->extended && box->size >= 16 && inner && inner->size >= 8 && inner->size <= box->size - 8 &&
               oneOf(child, {"mvhd", "cmov", "prfl", "iods", "trak", "udta", "meta", "mvex"});
    }
    if (h.matches(4, "mdat")) {
        if (box->size == 0 || box->extended) return true;
        // A file that starts with its media data has its movie box (or free
        // space before it) right after it.
        const auto next = calc.readChunk(offset + box->size, 16, device);
        if (!next) return false;
        const ByteReader after(fileBytes(*next));
        return boxHeader(after) && oneOf(after, {"moov", "free", "skip", "wide", "uuid", "mdat"});
    }
    return h.matches(4, "wide") || h.matches(4, "free") || h.matches(4, "skip");
}

// RIFF: the size field; an AVI over 1 GiB continues in "AVIX" RIFF lists right
// after the first one (the OpenDML extension), which belong to the same file.
std::uint64_t riffLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 12);
    if (!c) return 0;
    const ByteReader h(fileBytes(*c));
    const auto size = h.le32(4);
    if (!size) return 0;
    std::uint64_t total = *size + 8ull;
    if (!h.matches(8, "AVI ")) return total;
    for (int i = 0; i < kRiffMaxExtensions; ++i) {
        const auto next = calc.readChunk(offset + total, 12, device);
        if (!next) break;
        const ByteReader x(fileBytes(*next));
        const auto more = x.le32(4);
        if (!x.matches(0, "RIFF") || !x.matches(8, "AVIX") || !more) break;
        total += *more + 8ull;
    }
    return total;
}

bool riffPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 32);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    const auto size = h.le32(4), chunk = h.le32(16);
    // Form type and a first chunk that fits in the stated size.
    if (!h.matches(0, "RIFF") || !size || !chunk || *size < 12 || *chunk > *size - 12) return false;
    if (h.matches(8, "WEBP")) return h.matches(12, "VP8 ") || h.matches(12, "VP8L") || h.matches(12, "VP8X");
    if (h.matches(8, "AVI ")) return h.matches(12, "LIST") && h.matches(20, "hdrl");
    return printableType(h, 8) && printableType(h, 12);
}

std::uint64_t transportStreamLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    std::uint64_t p = offset, packets = 0;
    auto result = [&] { return packets < kTsMinPackets ? 0 : packets * kTsPacket; };
    for (;;) {
        const auto c = calc.readChunk(p, kTsRead, device);
        if (!c) break;
        const auto b = fileBytes(*c);
        std::uint64_t counted = 0;
        // No cap: a camcorder clip runs for gigabytes, as long as its packets continue.
        for (std::size_t i = 0; i < b.size(); i += kTsPacket) {
            if (b[i] != 0x47) return result();
            ++packets;
            ++counted;
        }
        p += counted * kTsPacket;
        if (b.size() < kTsRead) break;  // the end of the device
    }
    return result();
}

bool transportStreamPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    // As many sync bytes as the rule needs to call it a stream.
    const std::uint64_t need = (kTsMinPackets - 1) * kTsPacket + 1;
    const auto c = head(calc, device, offset, need);
    if (!c) return false;
    const ByteReader b(fileBytes(*c));
    for (std::uint64_t i = 0; i < kTsMinPackets; ++i)
        if (b.u8(static_cast<std::size_t>(i * kTsPacket)) != 0x47) return false;
    return true;
}

namespace {

bool mxfKey(const ByteReader& k) {
    return k.u8(0) == 0x06 && k.u8(1) == 0x0E && k.u8(2) == 0x2B && k.u8(3) == 0x34;
}

// Partition packs: 06 0E 2B 34 02 05 01 xx 0D 01 02 01 01, then the kind
// (02 header, 03 body, 04 footer) in byte 13.
std::optional<std::uint8_t> partitionKind(const ByteReader& k) {
    static constexpr std::uint8_t kTail[] = {0x0D, 0x01, 0x02, 0x01, 0x01};
    if (!mxfKey(k) || k.u8(4) != 0x02 || k.u8(5) != 0x05 || k.u8(6) != 0x01) return std::nullopt;
    for (std::size_t i = 0; i < sizeof kTail; ++i)
        if (k.u8(8 + i) != kTail[i]) return std::nullopt;
    const auto kind = k.u8(13);
    if (!kind || *kind < 0x02 || *kind > 0x04) return std::nullopt;
    return kind;
}

// The random index pack that closes a file: 06 0E 2B 34 02 05 01 xx 0D 01 02 01 01 11.
bool randomIndexPack(const ByteReader& k) {
    static constexpr std::uint8_t kTail[] = {0x0D, 0x01, 0x02, 0x01, 0x01, 0x11};
    if (!mxfKey(k) || k.u8(4) != 0x02 || k.u8(5) != 0x05) return false;
    for (std::size_t i = 0; i < sizeof kTail; ++i)
        if (k.u8(8 + i) != kTail[i]) return false;
    return true;
}

// What the footer partition holds after its pack: fill items, header metadata
// sets, the primer pack and index table segments, all groups or fill; essence
// and another partition pack are not the footer's.
bool footerItem(const ByteReader& k) {
    if (!mxfKey(k)) return false;
    const bool fill = k.u8(4) == 0x01 && k.u8(8) == 0x03 && k.u8(9) == 0x01 && k.u8(10) == 0x02 && k.u8(11) == 0x10;
    return fill || (k.u8(4) == 0x02 && !partitionKind(k));
}

struct Klv {
    std::uint64_t size = 0;   // key, length field and value
    std::size_t valueAt = 0;  // where the value begins
};

std::optional<Klv> klv(const ByteReader& h) {
    const auto b = h.u8(16);
    if (!b) return std::nullopt;
    if (*b < 0x80) return Klv{17ull + *b, 17};
    const std::size_t n = *b - 0x80u;
    if (n == 0 || n > 8) return std::nullopt;
    const auto length = h.beN(17, n);
    if (!length) return std::nullopt;
    const auto size = checkedAdd(17 + n, *length);
    if (!size) return std::nullopt;
    return Klv{*size, 17 + n};
}

}  // namespace

// Sums KLV packets to the footer partition: its pack, and then the footer's own
// metadata, index segments and random index pack, which belong to the file.
std::uint64_t mxfLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    std::uint64_t p = offset, total = 0;
    bool inFooter = false;
    for (int i = 0; i < kMxfMaxPackets; ++i) {
        const auto c = calc.readChunk(p, 32, device);
        if (!c) break;
        const ByteReader h(fileBytes(*c));
        if (!h.has(0, 17)) break;
        const auto packet = klv(h);
        if (!packet) break;
        if (inFooter && !footerItem(h)) return total;
        const auto nextTotal = checkedAdd(total, packet->size);
        const auto nextP = checkedAdd(p, packet->size);
        if (!nextTotal || !nextP) break;
        total = *nextTotal;
        p = *nextP;
        if (inFooter && randomIndexPack(h)) return total;
        if (partitionKind(h) == 0x04) inFooter = true;
        if (total > kMxfBound) return total;
    }
    return total != 0 ? total : kMxfDefault;
}

bool mxfPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 32);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    const auto packet = klv(h);
    if (!packet || !partitionKind(h)) return false;
    // A partition pack's value: 88 fixed bytes and a short batch of labels,
    // beginning with major version 1.
    const std::uint64_t value = packet->size - packet->valueAt;
    return value >= 88 && value <= 65'536 && h.be16(packet->valueAt) == 1;
}

std::uint64_t brawLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 16);
    if (!c) return 0;
    const auto v = ByteReader(fileBytes(*c)).le64(8);
    if (!v) return 0;
    return *v != 0 ? *v : kBrawDefault;
}

bool brawPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 16);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    const auto v = h.le64(8);
    return h.matches(0, "BRAW") && v && (*v == 0 || (*v >= 16 && *v <= (1ull << 42)));
}

}  // namespace vf::lengthrules
