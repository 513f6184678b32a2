#include "tests/support/MediaSynthetic.h"

#include <algorithm>

#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

namespace vf::test {

void ByteWriter::put(std::size_t at, int width, std::uint64_t v) {
    resize(at + static_cast<std::size_t>(width));
    for (int i = 0; i < width; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (little_ ? 8 * i : 8 * (width - 1 - i)));
}
void ByteWriter::raw(std::size_t at, const Bytes& data) {
    resize(at + data.size());
    std::copy(data.begin(), data.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

Bytes layout(bool littleEndian, std::string_view text, std::initializer_list<std::pair<std::size_t, std::uint32_t>> fields,
             std::size_t size) {
    ByteWriter w(littleEndian, size);
    w.text(0, text);
    for (const auto& [at, v] : fields) w.u32(at, v);
    return w.bytes;
}

Bytes with(Bytes bytes, std::size_t at, const Bytes& v) {
    place(bytes, at, v);
    return bytes;
}

Bytes embedAt(const Bytes& file, std::size_t offset, std::size_t total, std::uint32_t seed) {
    return with(randomBytes(std::max(total, offset + file.size()), seed), offset, file);
}

Bytes jpegOfSize(std::size_t size, std::uint32_t seed) {
    Bytes data = randomBytes(size - 32, seed);
    std::replace(data.begin(), data.end(), std::uint8_t{0xFF}, std::uint8_t{0});
    data.insert(data.begin(), {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0,
                               1,    0,    1,    0,    0, 0xFF, 0xDA, 0, 8, 1, 1, 0, 0, 0x3F, 0});
    data.insert(data.end(), {0xFF, 0xD9});
    return data;
}

Bytes mpfJpeg(const Bytes& primary, const Bytes& preview, bool littleEndian) {
    std::size_t insertAt = 2;
    if (primary.size() > 6 && primary[2] == 0xFF && (primary[3] == 0xE0 || primary[3] == 0xE1))
        insertAt = 4 + (static_cast<std::size_t>(primary[4]) << 8 | primary[5]);
    // APP2 "MPF\0", then the MP header with the index directory (version, number
    // of images, MP entries) and two 16-byte entries: the primary and the preview.
    const std::size_t h = 8, total = primary.size() + 90;
    ByteWriter seg(littleEndian);
    seg.raw(0, {0xFF, 0xE2, 0, 88, 'M', 'P', 'F', 0});
    writeTiffHeader(seg, 42, 8, h);
    writeIfd(seg, h + 8, {{0xB000, 7, 4, 0}, {0xB001, 4, 1, 2}, {0xB002, 7, 32, 50}}, 0);
    seg.text(h + 18, "0100");
    seg.put({{h + 50, 4, 0x20030000}, {h + 54, 4, total}, {h + 66, 4, 0x00010002}, {h + 70, 4, preview.size()},
             {h + 74, 4, total - insertAt - h}, {h + 78, 4, 0}});

    Bytes out = primary;
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(insertAt), seg.bytes.begin(), seg.bytes.end());
    out.insert(out.end(), preview.begin(), preview.end());
    return out;
}

void writeIfd(ByteWriter& w, std::size_t at, const std::vector<TiffEntry>& entries, std::uint32_t next) {
    w.u16(at, static_cast<std::uint16_t>(entries.size()));
    std::size_t p = at + 2;
    for (const TiffEntry& e : entries) {
        w.put({{p, 2, e.tag}, {p + 2, 2, e.type}, {p + 4, 4, e.count}});
        if ((e.type == 3 || e.type == 8) && e.count <= 2)  // two SHORTs in the field, in the file's order
            w.put({{p + 8, 2, e.value & 0xFFFF}, {p + 10, 2, e.value >> 16}});
        else
            w.u32(p + 8, e.value);
        p += 12;
    }
    w.u32(p, next);
}

void writeTiffHeader(ByteWriter& w, std::uint16_t version, std::uint32_t firstIfd, std::size_t at) {
    w.text(at, w.littleEndian() ? "II" : "MM");
    w.put({{at + 2, 2, version}, {at + 4, 4, firstIfd}});
}

Bytes crwFile(std::size_t rawBytes, std::uint32_t seed, std::uint32_t heap) {
    ByteWriter w(true);
    w.text(0, "II");
    w.text(6, "HEAPCCDR");
    w.put({{2, 4, heap}, {14, 4, 0x00010002}, {18, 8, 0}});
    // A sub-heap as the first record: 20 bytes of text, its directory, its pointer.
    w.text(heap, "Canon EOS 300D DIGIT");
    w.put({{heap + 20, 2, 1}, {heap + 22, 2, 0x0805}, {heap + 24, 4, 20}, {heap + 28, 4, 0}, {heap + 32, 4, 20}});
    const std::size_t sub = 36, dir = sub + rawBytes;  // relative to the heap
    w.raw(heap + sub, randomBytes(rawBytes, seed));
    const std::size_t d = heap + dir;
    w.put({{d, 2, 2}, {d + 2, 2, 0x300A}, {d + 4, 4, sub}, {d + 8, 4, 0}, {d + 12, 2, 0x2005}, {d + 14, 4, rawBytes},
           {d + 18, 4, sub}, {d + 22, 4, dir}});
    return w.bytes;
}

Bytes x3fFile(std::size_t bodyBytes, std::uint32_t entries, bool pointerMatches, std::uint32_t width,
              std::uint32_t height) {
    ByteWriter w(true);
    w.text(0, "FOVb");
    w.put({{4, 4, 0x00020003}, {28, 4, width}, {32, 4, height}, {36, 4, 0}});
    w.raw(40, randomBytes(bodyBytes, 77));
    const std::size_t d = 40 + bodyBytes;
    w.text(d, "SECd");
    w.put({{d + 4, 4, 0x00020000}, {d + 8, 4, entries}, {d + 12 + 12 * entries, 4, pointerMatches ? d : d + 4}});
    for (std::size_t e = d + 12; e < d + 12 + 12 * entries; e += 12) {
        w.put({{e, 4, 40}, {e + 4, 4, bodyBytes}});
        w.text(e + 8, "IMA2");
    }
    return w.bytes;
}

namespace {

// A key, a BER length of `lengthBytes` bytes and `valueBytes` bytes of value.
Bytes klvPacket(Bytes key, std::size_t valueBytes, int lengthBytes) {
    key.push_back(static_cast<std::uint8_t>(0x80 + lengthBytes));
    for (int i = lengthBytes - 1; i >= 0; --i) key.push_back(static_cast<std::uint8_t>(valueBytes >> (8 * i)));
    key.resize(key.size() + valueBytes, 0x11);
    return key;
}

Bytes partitionPack(std::uint8_t kind) {
    auto p = klvPacket({0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0D, 0x01, 0x02, 0x01, 0x01, kind, 0x04, 0x00},
                       88, 3);
    std::copy_n("\0\1\0\3", 4, p.begin() + 20);  // major version 1, minor 3
    return p;
}

}  // namespace

Bytes makeDng(const Bytes& preview, int previewWidth, int previewHeight, int rawWidth, int rawHeight) {
    const auto w = static_cast<std::uint32_t>(rawWidth), h = static_cast<std::uint32_t>(rawHeight);
    const auto pw = static_cast<std::uint32_t>(previewWidth), ph = static_cast<std::uint32_t>(previewHeight);
    // The preview, the Bayer data, its directory, IFD0, then IFD0's values longer than four bytes.
    const auto rawAt = static_cast<std::uint32_t>(8 + (preview.size() + 1) / 2 * 2), rawIfd = rawAt + w * h * 2;
    const std::uint32_t ifd0 = rawIfd + 2 + 13 * 12 + 4, values = ifd0 + 2 + 18 * 12 + 4;
    ByteWriter file(true);
    writeTiffHeader(file, 42, ifd0);
    file.raw(8, preview);
    file.raw(rawAt, randomBytes(w * h * 2, 7));
    writeIfd(file, rawIfd,
             {{254, 4, 1, 0}, {256, 4, 1, w}, {257, 4, 1, h}, {258, 3, 1, 16}, {259, 3, 1, 1}, {262, 3, 1, 32803},
              {273, 4, 1, rawAt}, {277, 3, 1, 1}, {278, 4, 1, h}, {279, 4, 1, w * h * 2}, {33421, 3, 2, 2 | 2 << 16},
              {33422, 1, 4, 0x02010100}, {50717, 4, 1, 65535}},
             0);
    file.put({{values, 2, 8}, {values + 2, 2, 8}, {values + 4, 2, 8}});
    file.text(values + 6, {"Velliform\0Test\0\0Velliform Test\0", 32});
    for (std::uint32_t i = 0; i < 9; ++i)  // the colour matrix, as rationals
        file.put({{values + 38 + 8 * i, 4, i % 4 == 0 ? 10000u : 0u}, {values + 42 + 8 * i, 4, 10000}});
    writeIfd(file, ifd0,
             {{254, 4, 1, 1}, {256, 4, 1, pw}, {257, 4, 1, ph}, {258, 3, 3, values}, {259, 3, 1, 7}, {262, 3, 1, 6},
              {271, 2, 10, values + 6}, {272, 2, 5, values + 16}, {273, 4, 1, 8}, {274, 3, 1, 1}, {277, 3, 1, 3},
              {278, 4, 1, ph}, {279, 4, 1, static_cast<std::uint32_t>(preview.size())}, {330, 4, 1, rawIfd},
              {50706, 1, 4, 0x0401}, {50708, 2, 15, values + 22}, {50721, 10, 9, values + 38}, {50778, 3, 1, 21}},
             0);
    return file.bytes;
}

Bytes mxfFile(int bodyPackets, std::size_t packetBytes) {
    Bytes f = partitionPack(0x02);
    // Sound elements: element count 4 in the key's byte 13.
    const auto e = klvPacket({0x06, 0x0E, 0x2B, 0x34, 0x01, 0x02, 0x01, 0x01, 0x0D, 0x01, 0x03, 0x01, 0x16, 0x04, 0x03, 0x01},
                             packetBytes, 4);
    for (int i = 0; i < bodyPackets; ++i) f.insert(f.end(), e.begin(), e.end());
    const auto footer = partitionPack(0x04);
    f.insert(f.end(), footer.begin(), footer.end());
    return f;
}

Bytes tsPackets(std::size_t packets, std::uint32_t seed) {
    Bytes t = randomBytes(packets * 188, seed);
    for (std::size_t i = 0; i < packets; ++i) t[i * 188] = 0x47;
    return t;
}

}  // namespace vf::test
