#pragma once
// Which decoder the thumbnail tool hands a file to. Decided from the file's
// first bytes, with the extension only to settle what the bytes leave open
// (a TIFF header starts both plain TIFF and most camera raw files).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace vf {

enum class ThumbnailDecoder : std::uint8_t {
    none,
    jpeg,  // the libvips loaders, one per format
    png,
    gif,
    tiff,
    webp,
    heif,  // HEIC and AVIF
    ppm,
    bmp,
    raw,    // LibRaw
    video,  // FFmpeg
};

// Decoders to try, in order, until one gives a picture; unused slots are none.
struct ThumbnailPlan {
    std::array<ThumbnailDecoder, 2> decoders{};
    bool empty() const { return decoders[0] == ThumbnailDecoder::none; }
};

// How many leading bytes planThumbnail wants to see (fewer are fine for a short file).
inline constexpr std::size_t kThumbnailSniffBytes = 4096;

// The decoders for a file that starts with `head` and whose name ends in
// `extension` (with or without the dot, any case). Empty when the bytes are
// no format we decode, whatever the extension says.
ThumbnailPlan planThumbnail(std::span<const std::uint8_t> head, std::string_view extension);

// Name of a decoder for messages ("jpeg", "raw", ...).
std::string_view decoderName(ThumbnailDecoder d);

}  // namespace vf
