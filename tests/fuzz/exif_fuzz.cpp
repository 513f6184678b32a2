// The application's EXIF reader over damaged camera files: it must return,
// never throw, whatever the metadata library makes of the bytes.
#include <cstdint>
#include <span>

#include "app/EXIFReader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const vf::EXIFData d = vf::EXIFReader().read(std::span<const std::uint8_t>(data, size));
    // Sizes come from 16- to 32-bit header fields; anything else is a misreading.
    if ((d.width && (*d.width <= 0 || *d.width > 0xFFFFFFFFll)) || (d.height && *d.height > 0xFFFFFFFFll))
        __builtin_trap();
    return 0;
}
