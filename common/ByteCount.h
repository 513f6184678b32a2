#pragma once
#include <cstdint>
#include <string>

namespace vf {

// Human-readable byte count in decimal units, file style: "Zero KB", "1 byte",
// "512 bytes", "8 KB", "12.3 MB", "1.23 GB". Used by logs, the report and the app.
std::string formatByteCount(std::uint64_t bytes);

}  // namespace vf
