#pragma once
// A sequential JPEG at an eighth of its width and height, from each block's
// DC coefficient alone: the picture libjpeg gives when asked for an eighth,
// in about 60 % of its time. (Half-sampled colour, 4:2:0, is each block's
// mean as well, where libjpeg works out two values a block: used for a
// thumbnail at most half the eighth's size, it still has a colour value for
// every thumbnail pixel.) A full decoder must still decode every
// AC coefficient's Huffman code to find the next block; this one passes over
// them, often two codes with one table lookup, and never computes their
// values. Large photos have tens of millions of them, so this is most of a
// thumbnail's cost.
//
// Only what a camera writes is read: baseline or extended sequential Huffman
// coding, 8 bits, grey or three components in one scan, restart intervals.
// Anything else (progressive or arithmetic coding, 12 bits, CMYK, an ICC
// profile, damaged data) gets nothing, for a full decoder to handle.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vf {

struct EighthPicture {
    int width = 0, height = 0;         // the frame's, divided by 8 and rounded up
    int bands = 0;                     // 1 grey, 3 RGB
    std::vector<std::uint8_t> pixels;  // rows of width * bands bytes, top first
};

// Nothing also when the frame has more than maxPixels pixels, or when its
// eighth's longer side would be shorter than minLongerSide (known before any
// entropy data is read).
std::optional<EighthPicture> decodeJpegEighth(std::span<const std::uint8_t> file, std::uint64_t maxPixels,
                                              int minLongerSide = 0);

// What a full decoder would be set to do by a JPEG, from its markers alone
// (read as libjpeg reads them: bytes between segments are passed over, and the
// picture ends at its end marker): the frame's pixels and its scans. Each
// scan of a progressive picture costs a pass over every block of it, so a
// small file of many empty scans costs seconds. Counting stops after maxScans.
struct JpegWork {
    std::uint64_t pixels = 0;  // 0 when no frame header came before the first scan
    int scans = 0;
};
JpegWork measureJpeg(std::span<const std::uint8_t> file, int maxScans);

// The bound on that work per file: at most 500 scans, and scans times pixels
// within what a full decode does in about a second (150 scans of 64
// megapixels); cameras and encoders write 1 to about 20 scans.
bool fullDecodeAllowed(const JpegWork& work);
inline constexpr int kMaxJpegScans = 500;
inline constexpr std::uint64_t kMaxJpegScanPixels = 10'000'000'000;

}  // namespace vf
