#include "common/ByteCount.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace vf {

std::string formatByteCount(std::uint64_t bytes) {
    if (bytes == 0) return "Zero KB";
    if (bytes == 1) return "1 byte";
    if (bytes < 1000) return std::to_string(bytes) + " bytes";

    struct Unit { const char* name; int decimals; };
    static constexpr std::array<Unit, 5> units{{{"KB", 0}, {"MB", 1}, {"GB", 2}, {"TB", 2}, {"PB", 2}}};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t u = 0;
    for (;;) {
        const double scale = std::pow(10.0, units[u].decimals);
        const double rounded = std::round(value * scale) / scale;
        // 999,999 bytes rounds to "1,000 KB"; show it as "1 MB" instead.
        if (rounded >= 1000.0 && u + 1 < units.size()) {
            value /= 1000.0;
            ++u;
            continue;
        }
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.*f", units[u].decimals, rounded);
        std::string text = buf;
        if (text.find('.') != std::string::npos) {
            while (text.back() == '0') text.pop_back();
            if (text.back() == '.') text.pop_back();
        }
        return text + " " + units[u].name;
    }
}

}  // namespace vf
