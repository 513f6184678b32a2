#include "tests/support/MediaSynthetic.h"

#include <algorithm>

#include "tests/support/TestSupport.h"

namespace vf::test {

void ByteWriter::put(std::size_t at, std::uint64_t v, int width) {
    resize(at + static_cast<std::size_t>(width));
    for (int i = 0; i < width; ++i) {
        const int shift = little_ ? 8 * i : 8 * (width - 1 - i);
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> shift);
    }
}
void ByteWriter::u8(std::size_t at, std::uint8_t v) { put(at, v, 1); }
void ByteWriter::u16(std::size_t at, std::uint16_t v) { put(at, v, 2); }
void ByteWriter::u32(std::size_t at, std::uint32_t v) { put(at, v, 4); }
void ByteWriter::u64(std::size_t at, std::uint64_t v) { put(at, v, 8); }
void ByteWriter::text(std::size_t at, std::string_view s) {
    resize(at + s.size());
    std::copy(s.begin(), s.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}
void ByteWriter::raw(std::size_t at, const std::vector<std::uint8_t>& data) {
    resize(at + data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

std::vector<std::uint8_t> layout(bool littleEndian, std::string_view text,
                                 std::initializer_list<std::pair<std::size_t, std::uint32_t>> fields, std::size_t size) {
    ByteWriter w(littleEndian);
    w.text(0, text);
    for (const auto& [at, v] : fields) w.u32(at, v);
    w.resize(size);
    return w.bytes;
}

std::vector<std::uint8_t> with(std::vector<std::uint8_t> bytes, std::size_t at, const std::vector<std::uint8_t>& v) {
    std::copy(v.begin(), v.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    return bytes;
}

std::vector<std::uint8_t> embedAt(const std::vector<std::uint8_t>& file, std::size_t offset, std::size_t total,
                                  std::uint32_t seed) {
    std::vector<std::uint8_t> image = randomBytes(std::max(total, offset + file.size()), seed);
    std::copy(file.begin(), file.end(), image.begin() + static_cast<std::ptrdiff_t>(offset));
    return image;
}

std::vector<std::uint8_t> jpegOfSize(std::size_t size, std::uint32_t seed) {
    ByteWriter w(false);
    w.raw(0, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10});
    w.text(6, std::string_view("JFIF\0", 5));
    w.raw(11, {1, 1, 0, 0, 1, 0, 1, 0, 0});
    w.raw(20, {0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0});
    const std::size_t entropy = size - 30 - 2;
    std::vector<std::uint8_t> data = randomBytes(entropy, seed);
    for (auto& b : data)
        if (b == 0xFF) b = 0x00;
    w.raw(30, data);
    w.raw(30 + entropy, {0xFF, 0xD9});
    return w.bytes;
}

std::vector<std::uint8_t> mpfJpeg(const std::vector<std::uint8_t>& primary, const std::vector<std::uint8_t>& preview,
                                  bool littleEndian) {
    std::size_t insertAt = 2;
    if (primary.size() > 6 && primary[2] == 0xFF && (primary[3] == 0xE0 || primary[3] == 0xE1))
        insertAt = 4 + (static_cast<std::size_t>(primary[4]) << 8 | primary[5]);
    // APP2: marker, length, "MPF\0", then the MP header with the index directory
    // (version, number of images, MP entries) and two 16-byte entries.
    ByteWriter seg(littleEndian);
    seg.raw(0, {0xFF, 0xE2});
    seg.bytes.resize(4);
    seg.text(4, std::string_view("MPF\0", 4));
    const std::size_t h = 8;
    seg.text(h, littleEndian ? "II" : "MM");
    seg.u16(h + 2, 42);
    seg.u32(h + 4, 8);
    seg.u16(h + 8, 3);
    writeIfd(seg, h + 8, {{0xB000, 7, 4, 0}, {0xB001, 4, 1, 2}, {0xB002, 7, 32, 50}}, 0);
    seg.text(h + 8 + 2 + 8, "0100");
    const std::size_t total = primary.size() + 4 + 4 + 50 + 32;
    const std::size_t headerInFile = insertAt + h;
    seg.u32(h + 50, 0x20030000);
    seg.u32(h + 54, static_cast<std::uint32_t>(total));
    seg.u32(h + 58, 0);
    seg.u32(h + 66, 0x00010002);
    seg.u32(h + 70, static_cast<std::uint32_t>(preview.size()));
    seg.u32(h + 74, static_cast<std::uint32_t>(total - headerInFile));
    seg.resize(h + 82);
    const std::size_t length = seg.bytes.size() - 2;
    seg.bytes[2] = static_cast<std::uint8_t>(length >> 8);
    seg.bytes[3] = static_cast<std::uint8_t>(length);

    std::vector<std::uint8_t> out(primary.begin(), primary.begin() + static_cast<std::ptrdiff_t>(insertAt));
    out.insert(out.end(), seg.bytes.begin(), seg.bytes.end());
    out.insert(out.end(), primary.begin() + static_cast<std::ptrdiff_t>(insertAt), primary.end());
    out.insert(out.end(), preview.begin(), preview.end());
    return out;
}

void writeIfd(ByteWriter& w, std::size_t at, const std::vector<TiffEntry>& entries, std::uint32_t next) {
    w.u16(at, static_cast<std::uint16_t>(entries.size()));
    std::size_t p = at + 2;
    for (const TiffEntry& e : entries) {
        w.u16(p, e.tag);
        w.u16(p + 2, e.type);
        w.u32(p + 4, e.count);
        if ((e.type == 3 || e.type == 8) && e.count <= 2) {
            w.u16(p + 8, static_cast<std::uint16_t>(e.value));
            w.u16(p + 10, static_cast<std::uint16_t>(e.value >> 16));
        } else {
            w.u32(p + 8, e.value);
        }
        p += 12;
    }
    w.u32(p, next);
}

void writeTiffHeader(ByteWriter& w, std::uint16_t version, std::uint32_t firstIfd) {
    w.text(0, w.littleEndian() ? "II" : "MM");
    w.u16(2, version);
    w.u32(4, firstIfd);
}

std::vector<std::uint8_t> crwFile(std::size_t rawBytes, std::uint32_t seed, std::uint32_t heap) {
    ByteWriter w(true);
    w.text(0, "II");
    w.u32(2, heap);
    w.text(6, "HEAPCCDR");
    w.u32(14, 0x00010002);
    w.u64(18, 0);
    // A sub-heap as the first record: 20 bytes of text, its directory, its pointer.
    w.text(heap, "Canon EOS 300D DIGIT");
    w.u16(heap + 20, 1);
    w.u16(heap + 22, 0x0805);
    w.u32(heap + 24, 20);
    w.u32(heap + 28, 0);
    w.u32(heap + 32, 20);
    const std::size_t subHeapLength = 36;
    w.raw(heap + subHeapLength, randomBytes(rawBytes, seed));
    const std::size_t dir = subHeapLength + rawBytes;  // relative to the heap
    w.u16(heap + dir, 2);
    w.u16(heap + dir + 2, 0x300A);
    w.u32(heap + dir + 4, static_cast<std::uint32_t>(subHeapLength));
    w.u32(heap + dir + 8, 0);
    w.u16(heap + dir + 12, 0x2005);
    w.u32(heap + dir + 14, static_cast<std::uint32_t>(rawBytes));
    w.u32(heap + dir + 18, static_cast<std::uint32_t>(subHeapLength));
    w.u32(heap + dir + 22, static_cast<std::uint32_t>(dir));
    return w.bytes;
}

std::vector<std::uint8_t> x3fFile(std::size_t bodyBytes, std::uint32_t entries, bool pointerMatches,
                                  std::uint32_t width, std::uint32_t height) {
    ByteWriter w(true);
    w.text(0, "FOVb");
    w.u32(4, 0x00020003);
    w.u32(28, width);
    w.u32(32, height);
    w.u32(36, 0);
    w.raw(40, randomBytes(bodyBytes, 77));
    const std::size_t d = 40 + bodyBytes;
    w.text(d, "SECd");
    w.u32(d + 4, 0x00020000);
    w.u32(d + 8, entries);
    for (std::uint32_t i = 0; i < entries; ++i) {
        w.u32(d + 12 + 12 * i, 40);
        w.u32(d + 16 + 12 * i, static_cast<std::uint32_t>(bodyBytes));
        w.text(d + 20 + 12 * i, "IMA2");
    }
    w.u32(d + 12 + 12 * entries, static_cast<std::uint32_t>(pointerMatches ? d : d + 4));
    return w.bytes;
}

namespace {

// A key, a BER length of `lengthBytes` bytes and `valueBytes` bytes of value.
std::vector<std::uint8_t> klvPacket(std::vector<std::uint8_t> key, std::size_t valueBytes, int lengthBytes) {
    key.push_back(static_cast<std::uint8_t>(0x80 + lengthBytes));
    for (int i = lengthBytes - 1; i >= 0; --i) key.push_back(static_cast<std::uint8_t>(valueBytes >> (8 * i)));
    key.resize(key.size() + valueBytes, 0x11);
    return key;
}

std::vector<std::uint8_t> partitionPack(std::uint8_t kind) {
    auto p = klvPacket({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, kind, 0x04, 0x00},
                       88, 3);
    std::copy_n("\0\1\0\3", 4, p.begin() + 20);  // major version 1, minor 3
    return p;
}

}  // namespace

std::vector<std::uint8_t> mxfFile(int bodyPackets, std::size_t packetBytes) {
    std::vector<std::uint8_t> f = partitionPack(0x02);
    // Sound elements: element count 4 in the key's byte 13.
    const auto e = klvPacket({0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x16, 0x04, 0x03, 0x01},
                             packetBytes, 4);
    for (int i = 0; i < bodyPackets; ++i) f.insert(f.end(), e.begin(), e.end());
    const auto footer = partitionPack(0x04);
    f.insert(f.end(), footer.begin(), footer.end());
    return f;
}

std::vector<std::uint8_t> tsPackets(std::size_t packets, std::uint32_t seed) {
    std::vector<std::uint8_t> t = randomBytes(packets * 188, seed);
    for (std::size_t i = 0; i < packets; ++i) t[i * 188] = 0x47;
    return t;
}

}  // namespace vf::test
