// The progress-record decoder the application runs on whatever the file holds.
#include <cstdint>
#include <string_view>

#include "common/Records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto p = vf::decodeProgress(text)) {
        const auto again = vf::decodeProgress(vf::encodeProgress(*p));
        if (!again || !(*again == *p)) __builtin_trap();  // what decodes must survive a round trip
    }
    (void)vf::decodeFileEntry(text);
    return 0;
}
