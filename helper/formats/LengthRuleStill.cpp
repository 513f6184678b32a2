// PNG chunk walk, GIF block walk, BMP header and PPM header.

#include <array>

#include "helper/formats/LengthRules.h"

namespace vf::lengthrules {

namespace {

constexpr std::uint64_t kPngDefault = 4'194'304;
constexpr std::uint32_t kPngMaxChunks = 10'000;
constexpr std::uint32_t kPngMaxChunkLength = 134'217'728;

constexpr std::uint64_t kGifDefault = 2'097'152;
constexpr int kGifMaxReads = 200;
constexpr std::uint64_t kGifReadSize = 65'536;

constexpr std::uint64_t kBmpDefault = 2'097'152;

bool isPpmSpace(std::uint8_t c) { return c == 0x20 || c == 0x09 || c == 0x0A || c == 0x0D; }

// Sequential reads of the file's bytes through windows of 64 KiB, at most
// kGifMaxReads of them.
class Window {
public:
    Window(FileSizeCalculator& calc, Device& device, std::uint64_t offset)
        : calc_(calc), device_(device), offset_(offset) {}

    std::optional<std::uint8_t> at(std::uint64_t pos) {
        if (!chunk_ || pos < base_ || pos - base_ >= data_.size()) {
            if (reads_ == kGifMaxReads) return std::nullopt;
            ++reads_;
            chunk_ = calc_.readChunk(offset_ + pos, kGifReadSize, device_);
            if (!chunk_) return std::nullopt;
            data_ = fileBytes(*chunk_);
            base_ = pos;
            if (data_.empty()) return std::nullopt;
        }
        return data_[static_cast<std::size_t>(pos - base_)];
    }

private:
    FileSizeCalculator& calc_;
    Device& device_;
    std::uint64_t offset_;
    std::optional<Chunk> chunk_;
    std::span<const std::uint8_t> data_;
    std::uint64_t base_ = 0;
    int reads_ = 0;
};

std::uint64_t colourTableBytes(std::uint8_t packed) {
    return (packed & 0x80) ? 3ull << ((packed & 7) + 1) : 0;
}

// Skips a chain of data sub-blocks (size byte, data) up to its empty terminator.
bool skipSubBlocks(Window& w, std::uint64_t& pos) {
    for (;;) {
        const auto n = w.at(pos);
        if (!n) return false;
        pos += 1;
        if (*n == 0) return true;
        pos += *n;
    }
}

bool gifHeader(const ByteReader& h) {
    return (h.matches(0, "GIF87a") || h.matches(0, "GIF89a")) && h.has(0, 13);
}

}  // namespace

std::uint64_t pngLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    std::uint64_t p = offset + 8;
    for (std::uint32_t i = 0; i < kPngMaxChunks; ++i) {
        const auto c = calc.readChunk(p, 8, device);
        if (!c) return kPngDefault;
        const ByteReader h(fileBytes(*c));
        const auto length = h.be32(0);
        if (!length || !h.has(4, 4)) return kPngDefault;
        if (h.matches(4, "IEND")) return (p - offset) + 12;
        if (*length > kPngMaxChunkLength) return kPngDefault;
        p += *length + 12ull;
    }
    return kPngDefault;
}

bool pngPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 29);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    static constexpr std::array<std::uint8_t, 8> kMagic{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    for (std::size_t i = 0; i < kMagic.size(); ++i)
        if (h.u8(i) != kMagic[i]) return false;
    // The first chunk is always IHDR, 13 bytes long, with real dimensions.
    if (h.be32(8) != 13u || !h.matches(12, "IHDR")) return false;
    const auto w = h.be32(16), ht = h.be32(20);
    const auto depth = h.u8(24), colour = h.u8(25);
    if (!w || !ht || !depth || !colour) return false;
    if (*w == 0 || *ht == 0 || *w > 0x7FFFFFFFu || *ht > 0x7FFFFFFFu) return false;
    const bool depthOk = *depth == 1 || *depth == 2 || *depth == 4 || *depth == 8 || *depth == 16;
    const bool colourOk = *colour == 0 || *colour == 2 || *colour == 3 || *colour == 4 || *colour == 6;
    return depthOk && colourOk;
}

// Walks header, logical screen descriptor and colour table, then extension and
// image blocks with their sub-blocks, to the trailer byte 3B. A 3B inside a
// colour table or in image data is not the end.
std::uint64_t gifLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    Window w(calc, device, offset);
    static constexpr std::string_view kMagic = "GIF8";
    for (std::size_t i = 0; i < kMagic.size(); ++i)
        if (w.at(i) != static_cast<std::uint8_t>(kMagic[i])) return kGifDefault;
    const auto packed = w.at(10);
    if (!packed) return kGifDefault;
    std::uint64_t pos = 13 + colourTableBytes(*packed);
    for (;;) {
        const auto b = w.at(pos);
        if (!b) return kGifDefault;
        if (*b == 0x3B) return pos + 1;
        if (*b == 0x21) {  // extension: label, then sub-blocks
            pos += 2;
        } else if (*b == 0x2C) {  // image descriptor, local colour table, LZW code size
            const auto packed = w.at(pos + 9);
            if (!packed) return kGifDefault;
            pos += 10 + colourTableBytes(*packed) + 1;
        } else {
            return kGifDefault;
        }
        if (!skipSubBlocks(w, pos)) return kGifDefault;
    }
}

bool gifPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 1024);
    if (!c) return false;
    const ByteReader h(fileBytes(*c));
    if (!gifHeader(h)) return false;
    const std::uint16_t width = *h.le16(6), height = *h.le16(8);
    if (width == 0 || height == 0) return false;
    // The first block: a known extension, or an image inside the screen
    // with a real LZW code size.
    const std::size_t p = 13 + static_cast<std::size_t>(colourTableBytes(*h.u8(10)));
    const auto first = h.u8(p);
    if (first == 0x21) {
        const auto label = h.u8(p + 1), size = h.u8(p + 2);
        if (!label || !size) return false;
        return (*label == 0xF9 && *size == 4) || (*label == 0xFF && *size == 11) || (*label == 0x01 && *size == 12) ||
               *label == 0xFE;
    }
    if (first != 0x2C) return false;
    const auto left = h.le16(p + 1), top = h.le16(p + 3), w = h.le16(p + 5), ht = h.le16(p + 7);
    const auto packed = h.u8(p + 9);
    if (!left || !top || !w || !ht || !packed || *w == 0 || *ht == 0) return false;
    if (*left + *w > width || *top + *ht > height) return false;
    const auto codeSize = h.u8(p + 10 + static_cast<std::size_t>(colourTableBytes(*packed)));
    return !codeSize || (*codeSize >= 2 && *codeSize <= 8);  // beyond the read: not checked
}

std::optional<std::uint64_t> bmpHeaderLength(ByteReader h) {
    if (!h.matches(0, "BM")) return std::nullopt;
    const auto size = h.le32(2), reserved = h.le32(6), dataOffset = h.le32(10), dib = h.le32(14);
    if (!size || !reserved || !dataOffset || !dib || *reserved != 0) return std::nullopt;
    switch (*dib) {
        case 12: case 40: case 52: case 56: case 64: case 108: case 124: break;
        default: return std::nullopt;
    }
    std::uint64_t width = 0, height = 0;
    std::uint32_t compression = 0;
    std::optional<std::uint16_t> planes, bpp;
    if (*dib == 12) {
        const auto w = h.le16(18), ht = h.le16(20);
        planes = h.le16(22);
        bpp = h.le16(24);
        if (!w || !ht || !planes || !bpp) return std::nullopt;
        if (*bpp != 1 && *bpp != 4 && *bpp != 8 && *bpp != 24) return std::nullopt;
        width = *w;
        height = *ht;
    } else {
        const auto w = h.le32(18), ht = h.le32(22), comp = h.le32(30);
        planes = h.le16(26);
        bpp = h.le16(28);
        if (!w || !ht || !comp || !planes || !bpp) return std::nullopt;
        const auto sw = static_cast<std::int32_t>(*w), sh = static_cast<std::int32_t>(*ht);
        if (sw <= 0 || sh == 0 || sh == INT32_MIN) return std::nullopt;
        width = static_cast<std::uint64_t>(sw);
        height = static_cast<std::uint64_t>(sh < 0 ? -sh : sh);
        compression = *comp;
        switch (compression) {
            case 0: case 1: case 2: case 3: case 4: case 5: case 6: case 11: case 12: case 13: break;
            default: return std::nullopt;
        }
        const bool embedded = compression == 4 || compression == 5;  // JPEG or PNG data
        switch (*bpp) {
            case 1: case 2: case 4: case 8: case 16: case 24: case 32: case 64: break;
            case 0: if (embedded) break; return std::nullopt;
            default: return std::nullopt;
        }
    }
    if (*planes != 1 || width == 0 || height == 0) return std::nullopt;
    if (*dataOffset < 14 + *dib) return std::nullopt;

    const bool uncompressed = compression == 0 || compression == 3 || compression == 6 || compression == 11;
    // Rows padded to four bytes; compressed data is bounded by twice 32-bit pixels.
    const std::uint64_t boundBits = uncompressed ? *bpp : std::max<std::uint16_t>(*bpp, 32);
    const std::uint64_t rowBits = width * boundBits;  // width < 2^31, bits <= 64
    const std::uint64_t padded = (rowBits + 31) / 32 * 4;
    const std::uint64_t tight = (width * *bpp + 7) / 8;
    const auto rawBytes = checkedMul(padded, height);
    const auto tightBytes = checkedMul(tight, height);
    if (!rawBytes || !tightBytes) return std::nullopt;
    if (*size == 0) {
        // No stated size: uncompressed pixels give the exact one (which, like
        // any stated size, fits in 32 bits).
        if (!uncompressed) return kBmpDefault;
        const auto computed = checkedAdd(*dataOffset, *rawBytes);
        if (!computed || *computed > UINT32_MAX) return std::nullopt;
        return *computed;
    }
    if (*dataOffset >= *size) return std::nullopt;
    const std::uint64_t pixelBytes = *size - *dataOffset;
    // Room beyond the pixels for an embedded colour profile or writer padding.
    constexpr std::uint64_t kSlack = 1 << 20;
    if (uncompressed && pixelBytes < *tightBytes) return std::nullopt;
    if (pixelBytes > 2 * *rawBytes + 4 * height + kSlack) return std::nullopt;
    return *size;
}

std::uint64_t bmpLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 64);
    if (!c) return 0;
    return bmpHeaderLength(ByteReader(fileBytes(*c))).value_or(0);
}

bool bmpPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = head(calc, device, offset, 64);
    return c && bmpHeaderLength(ByteReader(fileBytes(*c))).has_value();
}

namespace {

struct PpmHeader {
    std::uint64_t width = 0, height = 0, maxValue = 0;
    std::size_t pixelStart = 0;
};

std::optional<std::uint64_t> ppmNumber(std::span<const std::uint8_t> t) {
    std::size_t i = 0;
    if (i < t.size() && t[i] == '+') ++i;
    if (i == t.size()) return std::nullopt;
    std::uint64_t v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return std::nullopt;
        if (v > UINT64_MAX / 10) return std::nullopt;
        const auto next = checkedAdd(v * 10, static_cast<std::uint64_t>(t[i] - '0'));
        if (!next) return std::nullopt;
        v = *next;
    }
    return v;
}

std::optional<PpmHeader> parsePpm(std::span<const std::uint8_t> b) {
    std::size_t i = 0;
    auto token = [&]() -> std::optional<std::span<const std::uint8_t>> {
        for (;;) {
            while (i < b.size() && isPpmSpace(b[i])) ++i;
            if (i < b.size() && b[i] == '#') {
                while (i < b.size() && b[i] != 0x0A) ++i;
                if (i == b.size()) return std::nullopt;  // a comment to the end of the bytes
                continue;
            }
            break;
        }
        if (i == b.size()) return std::nullopt;
        const std::size_t from = i;
        while (i < b.size() && b[i] >= 0x21 && b[i] != '#') ++i;
        return b.subspan(from, i - from);
    };
    const auto magic = token();
    if (!magic || magic->size() != 2 || (*magic)[0] != 'P' || (*magic)[1] != '6') return std::nullopt;
    PpmHeader hdr;
    std::uint64_t* fields[3] = {&hdr.width, &hdr.height, &hdr.maxValue};
    for (std::uint64_t* f : fields) {
        const auto t = token();
        if (!t) return std::nullopt;
        const auto v = ppmNumber(*t);
        if (!v) return std::nullopt;
        *f = *v;
    }
    if (hdr.width < 1 || hdr.height < 1 || hdr.maxValue < 1 || hdr.maxValue > 65'535) return std::nullopt;
    // A single white-space byte ends the header; the pixels may start with bytes
    // that look like white space (a dark sample of 9, 10, 13 or 32).
    if (i < b.size() && isPpmSpace(b[i])) ++i;
    hdr.pixelStart = i;
    return hdr;
}

}  // namespace

std::uint64_t ppmLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = calc.readChunk(offset, 4096, device);
    if (!c) return 0;
    const auto hdr = parsePpm(fileBytes(*c));
    if (!hdr) return 0;
    const std::uint64_t sample = hdr->maxValue <= 255 ? 1 : 2;
    const auto pixels = checkedMul(hdr->width, hdr->height);
    const auto bytes = pixels ? checkedMul(*pixels, 3 * sample) : std::nullopt;
    const auto total = bytes ? checkedAdd(*bytes, hdr->pixelStart) : std::nullopt;
    return total.value_or(0);
}

bool ppmPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset) {
    const auto c = calc.readChunk(offset, 4096, device);
    return c && parsePpm(fileBytes(*c)).has_value();
}

}  // namespace vf::lengthrules
