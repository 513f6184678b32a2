// The eighth-size JPEG reader of the thumbnail tool, on hostile files.
#include <cstdint>
#include <span>

#include "thumbnailer/JpegEighth.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto picture = vf::decodeJpegEighth(std::span<const std::uint8_t>(data, size), 16'000'000);
    if (picture && picture->pixels.size() !=
                       static_cast<std::size_t>(picture->width) * static_cast<std::size_t>(picture->height) *
                           static_cast<std::size_t>(picture->bands))
        __builtin_trap();
    return 0;
}
