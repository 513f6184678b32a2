// Every length rule over arbitrary bytes, with and without the hint buffer.
#include <cstdint>
#include <vector>

#include "helper/formats/FileSizeCalculator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const auto format = vf::allFormats()[data[0] % vf::kFormatCount];
    const std::uint64_t blockSize = (data[1] & 1) ? 4096 : 512;
    const std::uint64_t offset = data[2] % 8 == 0 ? 0 : (data[2] % 64) * 37;
    std::vector<std::uint8_t> bytes(data + 3, data + size);
    vf::MemoryDevice device(bytes);
    vf::FileSizeCalculator calc(blockSize);
    if (data[1] & 2) calc.setHint(bytes, 0);
    (void)calc.calculateSize(format, device, offset);
    (void)calc.plausibleStart(format, device, offset);
    return 0;
}
