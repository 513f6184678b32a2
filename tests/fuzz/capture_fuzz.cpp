// The capture-date and camera readers that name carved files.
#include <cstdint>
#include <span>

#include "helper/CaptureInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    (void)vf::findCaptureDate(bytes, data[0], bytes.size());
    const auto format = vf::allFormats()[data[0] % vf::kFormatCount];
    const auto camera = vf::readCameraModel(bytes, 1000, 1000 + (data[0] % 4), format);
    if (camera.make.size() > 64 || camera.model.size() > 64) __builtin_trap();
    return 0;
}
