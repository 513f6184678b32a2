#pragma once
// Pixel size and colour model read from an image's own header, without
// decoding it. Only formats whose header states them plainly are read; for
// the others the metadata library's answer is used instead.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vf {

struct ImageHeader {
    std::optional<std::int64_t> width;
    std::optional<std::int64_t> height;
    std::optional<std::string> colorModel;  // "RGB", "Gray", "CMYK" or "Lab"
};

// `bytes` is the start of the file (the whole file or its first part). JPEG,
// PNG, GIF, BMP and WebP give all three; ISO media images (HEIC, AVIF, CR3)
// give "RGB" only; anything else gives nothing.
std::optional<ImageHeader> readImageHeader(std::span<const std::uint8_t> bytes);

// The colour model a TIFF PhotometricInterpretation value stands for.
std::optional<std::string> tiffColorModel(std::int64_t photometric);

}  // namespace vf
