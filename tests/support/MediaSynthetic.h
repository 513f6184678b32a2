#pragma once
// Builders of small synthetic media files and volumes: field layouts written at
// their offsets, for formats that no tool here writes and for the corner cases
// that real tools never produce.

#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <utility>
#include <vector>

namespace vf::test {

using Bytes = std::vector<std::uint8_t>;

// A growable byte image with positioned writes in either byte order.
class ByteWriter {
public:
    struct Field {
        std::size_t at;
        int width;  // bytes
        std::uint64_t value;
    };
    explicit ByteWriter(bool littleEndian = true, std::size_t size = 0) : bytes(size), little_(littleEndian) {}
    Bytes bytes;

    void put(std::size_t at, int width, std::uint64_t v);
    void put(std::initializer_list<Field> fields) {
        for (const Field& f : fields) put(f.at, f.width, f.value);
    }
    void u8(std::size_t at, std::uint8_t v) { put(at, 1, v); }
    void u16(std::size_t at, std::uint16_t v) { put(at, 2, v); }
    void u32(std::size_t at, std::uint32_t v) { put(at, 4, v); }
    void u64(std::size_t at, std::uint64_t v) { put(at, 8, v); }
    void text(std::size_t at, std::string_view s) { raw(at, {s.begin(), s.end()}); }
    void raw(std::size_t at, const Bytes& data);
    void resize(std::size_t n) {
        if (bytes.size() < n) bytes.resize(n);
    }
    bool littleEndian() const { return little_; }

private:
    bool little_;
};

// `text` at 0 and 32-bit fields at their offsets in the given byte order, zeros
// up to `size`: the fixed headers of most formats in one line.
Bytes layout(bool littleEndian, std::string_view text,
             std::initializer_list<std::pair<std::size_t, std::uint32_t>> fields = {}, std::size_t size = 0);

// `bytes` with those from `at` on replaced by `v` (grown to fit): one field of a file broken.
Bytes with(Bytes bytes, std::size_t at, const Bytes& v);

// A copy of `file` at `offset` inside `total` random bytes (grown to fit).
Bytes embedAt(const Bytes& file, std::size_t offset, std::size_t total, std::uint32_t seed);

// A baseline-looking JPEG of `size` bytes: SOI, an APP0 segment, a scan header,
// entropy bytes without FF, and EOI as its last two bytes.
Bytes jpegOfSize(std::size_t size, std::uint32_t seed);

// `primary` with an APP2 "MPF" index inserted after its first segment, listing
// itself and `preview`, which follows it. `littleEndian` picks the index's byte order.
Bytes mpfJpeg(const Bytes& primary, const Bytes& preview, bool littleEndian = false);

struct TiffEntry {
    std::uint16_t tag, type;
    std::uint32_t count, value;
};
// Writes a TIFF directory at `at`: count, entries (values as given), next offset.
void writeIfd(ByteWriter& w, std::size_t at, const std::vector<TiffEntry>& entries, std::uint32_t next);
// An 8-byte TIFF header at `at`: "II" or "MM", the version, the first directory's offset.
void writeTiffHeader(ByteWriter& w, std::uint16_t version, std::uint32_t firstIfd, std::size_t at = 0);

// CRW: header, a root heap (from `heap` on) with a sub-heap record first, the raw
// data record, and the root directory with its offset as the file's last four bytes.
Bytes crwFile(std::size_t rawBytes, std::uint32_t seed, std::uint32_t heap = 26);

// X3F with a section directory of `entries` entries at the end, whose trailing
// pointer gives its own position (or a wrong one).
Bytes x3fFile(std::size_t bodyBytes, std::uint32_t entries, bool pointerMatches, std::uint32_t width,
              std::uint32_t height);

// A minimal DNG, as cameras write it for the parts a thumbnailer reads: a
// JPEG preview in IFD0 and 16-bit Bayer data in a SubIFD.
Bytes makeDng(const Bytes& preview, int previewWidth, int previewHeight, int rawWidth, int rawHeight);

// MXF: header partition pack, `bodyPackets` essence packets of `packetBytes`
// value bytes, footer partition pack.
Bytes mxfFile(int bodyPackets, std::size_t packetBytes);

// `packets` transport-stream packets (sync byte 47 every 188 bytes).
Bytes tsPackets(std::size_t packets, std::uint32_t seed);

}  // namespace vf::test
