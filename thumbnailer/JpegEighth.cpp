#include "thumbnailer/JpegEighth.h"

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

#include "common/ByteReader.h"

namespace vf {
namespace {

constexpr int kFastBits = 12;  // measured: 11 and 13 are slower on a 24-megapixel photo
constexpr std::size_t kFastSize = std::size_t{1} << kFastBits;
constexpr std::uint32_t kEndOfBlock = 64;  // an advance that ends any block

// One Huffman table, for codes read from the top of a bit buffer.
struct Huffman {
    bool defined = false;
    // Codes of up to kFastBits bits, by their bits padded to kFastBits:
    // (length << 8) | symbol, or 0 for a longer code.
    std::array<std::uint16_t, kFastSize> fast{};
    // AC tables only: what passing over a code and its value's bits costs,
    // and over the next code too where it and its value lie wholly inside
    // the same kFastBits. Bits 0-7: bits passed for the first code, 8-15:
    // for both, 16-23: coefficients advanced by the first, 24-31: by both.
    // 0 for a code longer than kFastBits.
    std::array<std::uint32_t, kFastSize> ac{};
    // Canonical decoding of the longer codes.
    std::array<std::int32_t, 17> maxCode{}, minCode{}, firstIndex{};
    std::array<std::uint8_t, 256> symbols{};
};

std::uint32_t acAdvance(std::uint8_t rs) {
    if (rs == 0x00) return kEndOfBlock;
    if (rs == 0xF0) return 16;  // sixteen zeros
    return static_cast<std::uint32_t>(rs >> 4) + 1;
}

// From a DHT's 16 counts and its symbols; false when the counts describe
// more codes than the lengths can hold.
bool build(Huffman& h, std::span<const std::uint8_t> counts, std::span<const std::uint8_t> symbols) {
    h = Huffman{};
    std::int32_t code = 0;
    std::size_t k = 0;
    for (int len = 1; len <= 16; ++len) {
        h.firstIndex[len] = static_cast<std::int32_t>(k);
        h.minCode[len] = code;
        for (int i = 0; i < counts[len - 1]; ++i, ++k, ++code) {
            if (code >= (1 << len)) return false;
            h.symbols[k] = symbols[k];
            if (len <= kFastBits) {
                const int spread = kFastBits - len;
                for (int j = 0; j < (1 << spread); ++j)
                    h.fast[(static_cast<std::size_t>(code) << spread) | j] =
                        static_cast<std::uint16_t>((len << 8) | symbols[k]);
            }
        }
        h.maxCode[len] = counts[len - 1] ? code - 1 : -1;
        code <<= 1;
    }
    for (std::size_t i = 0; i < kFastSize; ++i) {
        const std::uint16_t e = h.fast[i];
        if (!e) continue;
        const std::uint8_t rs = e & 0xFF;
        const std::uint32_t first = (e >> 8) + (rs & 15u), advance = acAdvance(rs);
        std::uint32_t both = first, advanceBoth = advance;
        if (advance != kEndOfBlock && first < kFastBits) {
            const std::uint16_t next = h.fast[(i << first) & (kFastSize - 1)];
            const std::uint32_t nextBits = next ? (next >> 8) + (next & 15u) : kFastBits;
            if (next && nextBits <= kFastBits - first) {
                both += nextBits;
                advanceBoth += acAdvance(next & 0xFF);
            }
        }
        h.ac[i] = first | both << 8 | advance << 16 | advanceBoth << 24;
    }
    h.defined = true;
    return true;
}

// The entropy-coded bits of a scan, most significant first, with stuffed
// zero bytes removed. At a marker, or past the end, it hands out zero bytes
// and counts them, so that reading past the data shows (overran()).
class Bits {
public:
    Bits(std::span<const std::uint8_t> data, std::size_t pos) : data_(data), pos_(pos) {}

    // At least 32 bits in the buffer: room for any code and its value.
    void ensure() {
        if (count_ < 32) refill();
    }
    std::uint32_t peek(int n) const { return static_cast<std::uint32_t>(buffer_ >> (64 - n)); }
    void skip(int n) {
        buffer_ <<= n;
        count_ -= n;
    }
    bool overran() const { return 8 * padding_ > count_; }

    // Past the end of an interval: the marker must follow what remains of
    // the last byte. It is passed over, and the buffer emptied.
    bool restart(int index) {
        while (!atMarker_ && count_ <= 56) pushByte();
        if (!atMarker_ || overran() || count_ - 8 * padding_ >= 8) return false;
        while (pos_ + 1 < data_.size() && data_[pos_ + 1] == 0xFF) ++pos_;  // fill bytes
        if (pos_ + 1 >= data_.size() || data_[pos_ + 1] != 0xD0 + index) return false;
        pos_ += 2;
        buffer_ = 0;
        count_ = 0;
        padding_ = 0;
        atMarker_ = false;
        return true;
    }

private:
    void refill() {
        // Eight bytes at once where none of them is 0xFF, as in most of a scan.
        if (!atMarker_ && data_.size() - pos_ >= 8) {
            std::uint64_t word = 0;
            for (std::size_t i = 0; i < 8; ++i) word = word << 8 | data_[pos_ + i];
            const std::uint64_t inverse = ~word;
            if (((inverse - 0x0101010101010101ull) & ~inverse & 0x8080808080808080ull) == 0) {
                const int take = (63 - count_) >> 3;  // whole bytes that fit: 4 to 7
                buffer_ |= (word >> (64 - 8 * take)) << (64 - count_ - 8 * take);
                pos_ += static_cast<std::size_t>(take);
                count_ += 8 * take;
                return;
            }
        }
        while (count_ <= 56) pushByte();
    }

    void pushByte() {
        std::uint64_t byte = 0;
        bool fromData = false;
        if (!atMarker_ && pos_ < data_.size()) {
            const std::uint8_t b = data_[pos_];
            if (b != 0xFF) {
                byte = b;
                ++pos_;
                fromData = true;
            } else if (pos_ + 1 < data_.size() && data_[pos_ + 1] == 0x00) {
                byte = 0xFF;  // stuffed
                pos_ += 2;
                fromData = true;
            } else {
                atMarker_ = true;  // the scan's data ends; pos_ stays on the marker
            }
        }
        if (!fromData) ++padding_;
        buffer_ |= byte << (56 - count_);
        count_ += 8;
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_;
    std::uint64_t buffer_ = 0;
    int count_ = 0;    // bits in buffer_, from the top
    int padding_ = 0;  // zero bytes pushed that the data did not hold
    bool atMarker_ = false;
};

// A code longer than kFastBits bits; its symbol, or -1 for bits that are no code.
int longSymbol(Bits& bits, const Huffman& h) {
    const std::uint32_t next = bits.peek(16);
    for (int len = kFastBits + 1; len <= 16; ++len) {
        const auto code = static_cast<std::int32_t>(next >> (16 - len));
        if (code > h.maxCode[len]) continue;
        const std::int32_t index = h.firstIndex[len] + code - h.minCode[len];
        if (code < h.minCode[len] || index >= 256) return -1;
        bits.skip(len);
        return h.symbols[static_cast<std::size_t>(index)];
    }
    return -1;
}

struct Component {
    int id = 0, h = 1, v = 1, quant = 0;
    int dcTable = 0, acTable = 0;
};

struct Tables {
    std::array<Huffman, 4> dc, ac;
};

struct Frame {
    int width = 0, height = 0;
    std::vector<Component> components;
    std::array<std::optional<std::int32_t>, 4> dcQuant{};  // each quantization table's first entry
    int restartInterval = 0;
    std::optional<int> adobeTransform;
    std::size_t scanStart = 0;
};

bool readFrame(const ByteReader& seg, Frame& f) {
    const auto precision = seg.u8(0), count = seg.u8(5);
    const auto height = seg.be16(1), width = seg.be16(3);
    // A height of 0 is given later (DNL), which no camera does.
    if (precision != 8 || !height || !width || *height == 0 || *width == 0 || !count) return false;
    if (*count != 1 && *count != 3) return false;
    f.width = *width;
    f.height = *height;
    for (std::size_t i = 0; i < *count; ++i) {
        const auto id = seg.u8(6 + 3 * i), hv = seg.u8(7 + 3 * i), tq = seg.u8(8 + 3 * i);
        if (!id || !hv || !tq || *tq > 3) return false;
        Component c;
        c.id = *id;
        c.h = *hv >> 4;
        c.v = *hv & 15;
        c.quant = *tq;
        if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) return false;
        for (const Component& other : f.components)
            if (other.id == c.id) return false;
        f.components.push_back(c);
    }
    return true;
}

bool readHuffman(const ByteReader& seg, Tables& t) {
    for (std::size_t q = 0; q < seg.size();) {
        const auto which = seg.u8(q);
        const std::span<const std::uint8_t> counts = seg.sub(q + 1, 16);
        if (!which || counts.size() != 16 || (*which >> 4) > 1 || (*which & 15) > 3) return false;
        std::size_t total = 0;
        for (std::uint8_t n : counts) total += n;
        const std::span<const std::uint8_t> symbols = seg.sub(q + 17, total);
        if (total > 256 || symbols.size() != total) return false;
        Huffman& h = (*which >> 4) ? t.ac[*which & 15] : t.dc[*which & 15];
        if (!build(h, counts, symbols)) return false;
        q += 17 + total;
    }
    return true;
}

bool readQuantization(const ByteReader& seg, Frame& f) {
    for (std::size_t q = 0; q < seg.size();) {
        const auto which = seg.u8(q);
        if (!which || (*which >> 4) > 1 || (*which & 15) > 3) return false;
        const bool wide = (*which >> 4) == 1;
        const std::size_t bytes = 1 + 64 * (wide ? 2 : 1);
        if (!seg.has(q, bytes)) return false;
        f.dcQuant[*which & 15] = wide ? *seg.be16(q + 1) : *seg.u8(q + 1);
        q += bytes;
    }
    return true;
}

bool readScan(const ByteReader& seg, Frame& f, const Tables& t) {
    const auto count = seg.u8(0);
    // All components in one scan: the only scan of a sequential picture.
    if (!count || *count != f.components.size()) return false;
    for (std::size_t i = 0; i < *count; ++i) {
        const auto id = seg.u8(1 + 2 * i), tables = seg.u8(2 + 2 * i);
        // Units hold the components in the scan's order; every encoder keeps the frame's.
        Component& c = f.components[i];
        if (!id || !tables || *id != c.id) return false;
        c.dcTable = *tables >> 4;
        c.acTable = *tables & 15;
        if (c.dcTable > 3 || c.acTable > 3 || !t.dc[c.dcTable].defined || !t.ac[c.acTable].defined ||
            !f.dcQuant[c.quant])
            return false;
    }
    const auto from = seg.u8(1 + 2 * *count), to = seg.u8(2 + 2 * *count), approx = seg.u8(3 + 2 * *count);
    return from == 0 && to == 63 && approx == 0;
}

// The headers up to the scan's data; nothing for what this decoder leaves alone.
std::optional<Frame> readHeaders(std::span<const std::uint8_t> file, Tables& t) {
    const ByteReader r(file);
    if (r.be16(0) != 0xFFD8) return std::nullopt;
    Frame f;
    std::size_t pos = 2;
    for (int segments = 0; segments < 4096; ++segments) {
        if (r.u8(pos) != 0xFF) return std::nullopt;
        while (r.u8(pos + 1) == 0xFF) ++pos;  // fill bytes
        const auto marker = r.u8(pos + 1);
        if (!marker) return std::nullopt;
        pos += 2;
        if (*marker == 0x01 || (*marker >= 0xD0 && *marker <= 0xD8)) continue;  // no length
        const auto length = r.be16(pos);
        if (!length || *length < 2 || !r.has(pos, *length)) return std::nullopt;
        const ByteReader seg(r.sub(pos + 2, *length - 2u));
        pos += *length;
        switch (*marker) {
            case 0xC0:  // baseline
            case 0xC1:  // extended sequential, Huffman
                if (!f.components.empty() || !readFrame(seg, f)) return std::nullopt;
                break;
            case 0xC4:
                if (!readHuffman(seg, t)) return std::nullopt;
                break;
            case 0xDB:
                if (!readQuantization(seg, f)) return std::nullopt;
                break;
            case 0xDD: {
                const auto interval = seg.be16(0);
                if (!interval) return std::nullopt;
                f.restartInterval = *interval;
                break;
            }
            case 0xE2:
                // A colour profile asks for colour management, which the full decoder's path has.
                if (seg.matches(0, std::string_view("ICC_PROFILE\0", 12))) return std::nullopt;
                break;
            case 0xEE:
                if (seg.matches(0, "Adobe") && seg.u8(11)) f.adobeTransform = *seg.u8(11);
                break;
            case 0xDA:
                if (f.components.empty() || !readScan(seg, f, t)) return std::nullopt;
                f.scanStart = pos;
                return f;
            default:
                // Other frame types (progressive, lossless, arithmetic coding) and the end of the picture.
                if ((*marker >= 0xC2 && *marker <= 0xCF) || *marker == 0xD9) return std::nullopt;
                break;
        }
    }
    return std::nullopt;
}

std::uint8_t clampByte(std::int64_t v) { return static_cast<std::uint8_t>(std::clamp<std::int64_t>(v, 0, 255)); }

// A component's pixels at an eighth of its own sampled size: each block's mean.
struct Plane {
    int width = 0, height = 0;
    std::vector<std::uint8_t> values;
};

// The next block's DC difference.
std::optional<std::int32_t> dcDifference(Bits& bits, const Huffman& dc) {
    bits.ensure();
    const std::uint16_t e = dc.fast[bits.peek(kFastBits)];
    int size;
    if (e) {
        bits.skip(e >> 8);
        size = e & 0xFF;
    } else {
        size = longSymbol(bits, dc);
    }
    if (size < 0 || size > 11) return std::nullopt;
    if (!size) return 0;
    const auto raw = static_cast<std::int32_t>(bits.peek(size));
    bits.skip(size);
    return raw < (1 << (size - 1)) ? raw - (1 << size) + 1 : raw;
}

// Passes over a block's AC coefficients.
bool passAc(Bits& bits, const Huffman& ac) {
    for (std::uint32_t k = 1; k < 64;) {
        bits.ensure();
        const std::uint32_t pass = ac.ac[bits.peek(kFastBits)];
        if (pass) {
            const std::uint32_t first = pass >> 16 & 0xFF;
            // The second code counts only while the block goes on.
            if (k + first < 64) {
                bits.skip(static_cast<int>(pass >> 8 & 0xFF));
                k += pass >> 24;
            } else {
                bits.skip(static_cast<int>(pass & 0xFF));
                k += first;
            }
            continue;
        }
        const int rs = longSymbol(bits, ac);
        if (rs < 0) return false;
        bits.skip(rs & 15);
        k += acAdvance(static_cast<std::uint8_t>(rs));
    }
    return true;
}

}  // namespace

std::optional<EighthPicture> decodeJpegEighth(std::span<const std::uint8_t> file, std::uint64_t maxPixels,
                                              int minLongerSide) {
    const auto tables = std::make_unique<Tables>();  // some 200 KiB
    std::optional<Frame> frame = readHeaders(file, *tables);
    if (!frame) return std::nullopt;
    Frame& f = *frame;
    const auto width = static_cast<std::uint64_t>(f.width), height = static_cast<std::uint64_t>(f.height);
    if (width * height > maxPixels) return std::nullopt;
    EighthPicture out;
    out.width = static_cast<int>((width + 7) / 8);
    out.height = static_cast<int>((height + 7) / 8);
    if (std::max(out.width, out.height) < minLongerSide) return std::nullopt;

    // A lone component is coded block by block, whatever its sampling factors.
    if (f.components.size() == 1) f.components[0].h = f.components[0].v = 1;
    int hMax = 1, vMax = 1, blocksPerUnit = 0;
    for (const Component& c : f.components) {
        hMax = std::max(hMax, c.h);
        vMax = std::max(vMax, c.v);
        blocksPerUnit += c.h * c.v;
    }
    if (blocksPerUnit > 10) return std::nullopt;  // the standard's limit
    for (const Component& c : f.components)
        if (hMax % c.h || vMax % c.v) return std::nullopt;
    const int unitsAcross = static_cast<int>((width + 8u * hMax - 1) / (8u * hMax));
    const int unitsDown = static_cast<int>((height + 8u * vMax - 1) / (8u * vMax));

    std::vector<Plane> planes(f.components.size());
    for (std::size_t i = 0; i < planes.size(); ++i) {
        planes[i].width = unitsAcross * f.components[i].h;
        planes[i].height = unitsDown * f.components[i].v;
        planes[i].values.resize(static_cast<std::size_t>(planes[i].width) * static_cast<std::size_t>(planes[i].height));
    }

    Bits bits(file, f.scanStart);
    std::array<std::int64_t, 3> predictor{};
    std::uint64_t unit = 0;
    int restarts = 0;
    for (int uy = 0; uy < unitsDown; ++uy) {
        for (int ux = 0; ux < unitsAcross; ++ux, ++unit) {
            if (f.restartInterval && unit && unit % static_cast<std::uint64_t>(f.restartInterval) == 0) {
                if (!bits.restart(restarts++ & 7)) return std::nullopt;
                predictor = {};
            }
            for (std::size_t ci = 0; ci < f.components.size(); ++ci) {
                const Component& c = f.components[ci];
                const Huffman& dc = tables->dc[c.dcTable];
                const Huffman& ac = tables->ac[c.acTable];
                const std::int64_t quant = *f.dcQuant[c.quant];
                Plane& plane = planes[ci];
                for (int by = 0; by < c.v; ++by) {
                    for (int bx = 0; bx < c.h; ++bx) {
                        const std::optional<std::int32_t> diff = dcDifference(bits, dc);
                        if (!diff || !passAc(bits, ac)) return std::nullopt;
                        predictor[ci] += *diff;
                        // What an eighth-size inverse DCT gives: the block's mean.
                        const std::size_t x = static_cast<std::size_t>(ux * c.h + bx);
                        const std::size_t y = static_cast<std::size_t>(uy * c.v + by);
                        plane.values[y * static_cast<std::size_t>(plane.width) + x] =
                            clampByte(((predictor[ci] * quant + 4) >> 3) + 128);
                    }
                }
            }
        }
        if (bits.overran()) return std::nullopt;  // the data ended early: left to the full decoder
    }

    const std::size_t w = static_cast<std::size_t>(out.width), h = static_cast<std::size_t>(out.height);
    if (f.components.size() == 1) {
        out.bands = 1;
        out.pixels.resize(w * h);
        for (std::size_t y = 0; y < h; ++y)
            std::copy_n(planes[0].values.begin() + static_cast<std::ptrdiff_t>(y * static_cast<std::size_t>(planes[0].width)), w,
                        out.pixels.begin() + static_cast<std::ptrdiff_t>(y * w));
        return out;
    }
    const bool rgb = f.adobeTransform ? *f.adobeTransform == 0
                                      : f.components[0].id == 'R' && f.components[1].id == 'G' && f.components[2].id == 'B';
    out.bands = 3;
    out.pixels.resize(w * h * 3);
    std::size_t o = 0;
    for (std::size_t y = 0; y < h; ++y) {
        std::array<const std::uint8_t*, 3> rows{};
        std::array<std::size_t, 3> step{};  // output pixels a plane's pixel covers
        for (std::size_t i = 0; i < 3; ++i) {
            const Component& c = f.components[i];
            const Plane& p = planes[i];
            const std::size_t row = y * static_cast<std::size_t>(c.v) / static_cast<std::size_t>(vMax);
            rows[i] = p.values.data() + row * static_cast<std::size_t>(p.width);
            step[i] = static_cast<std::size_t>(hMax / c.h);
        }
        for (std::size_t x = 0; x < w; ++x, o += 3) {
            const int a = rows[0][x / step[0]], b = rows[1][x / step[1]], c = rows[2][x / step[2]];
            if (rgb) {
                out.pixels[o] = static_cast<std::uint8_t>(a);
                out.pixels[o + 1] = static_cast<std::uint8_t>(b);
                out.pixels[o + 2] = static_cast<std::uint8_t>(c);
                continue;
            }
            // JFIF's YCbCr, in 16-bit fixed point.
            const std::int64_t cb = b - 128, cr = c - 128;
            out.pixels[o] = clampByte(a + ((91881 * cr + 32768) >> 16));
            out.pixels[o + 1] = clampByte(a + ((-22554 * cb - 46802 * cr + 32768) >> 16));
            out.pixels[o + 2] = clampByte(a + ((116130 * cb + 32768) >> 16));
        }
    }
    return out;
}

JpegWork measureJpeg(std::span<const std::uint8_t> file, int maxScans) {
    JpegWork work;
    const ByteReader r(file);
    std::size_t pos = 2;
    if (r.be16(0) != 0xFFD8) return work;
    while (work.scans <= maxScans) {
        // Whatever stands before the next marker is skipped, as libjpeg skips it (with a warning).
        const auto ff = std::find(file.begin() + static_cast<std::ptrdiff_t>(std::min(pos, file.size())), file.end(), 0xFF);
        pos = static_cast<std::size_t>(ff - file.begin());
        while (r.u8(pos + 1) == 0xFF) ++pos;
        const auto marker = r.u8(pos + 1);
        if (!marker || *marker == 0xD9) break;
        pos += 2;
        if (*marker == 0x00 || *marker == 0x01 || (*marker >= 0xD0 && *marker <= 0xD7)) continue;  // no length
        const auto length = r.be16(pos);
        if (!length || *length < 2) break;
        const bool frame = *marker >= 0xC0 && *marker <= 0xCF && *marker != 0xC4 && *marker != 0xC8 && *marker != 0xCC;
        if (frame && work.pixels == 0) {
            const auto height = r.be16(pos + 3), width = r.be16(pos + 5);
            // A height given later (DNL) is taken as the largest there can be.
            if (height && width) work.pixels = std::uint64_t{*height ? *height : 0xFFFFu} * *width;
        }
        pos += *length;
        if (*marker != 0xDA) continue;
        ++work.scans;
        // The scan's coded data ends at the first marker that is no stuffed byte nor a restart.
        for (;;) {
            const auto next = std::find(file.begin() + static_cast<std::ptrdiff_t>(std::min(pos, file.size())), file.end(), 0xFF);
            pos = static_cast<std::size_t>(next - file.begin());
            const auto after = r.u8(pos + 1);
            if (!after || (*after != 0x00 && (*after < 0xD0 || *after > 0xD7))) break;
            pos += 2;
        }
    }
    return work;
}

bool fullDecodeAllowed(const JpegWork& work) {
    if (work.scans > kMaxJpegScans) return false;
    return work.pixels == 0 || work.pixels * static_cast<std::uint64_t>(std::max(work.scans, 1)) <= kMaxJpegScanPixels;
}

}  // namespace vf
