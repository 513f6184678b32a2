#pragma once
// Camera metadata of one recovered file, as ready-to-show text.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace vf {

struct EXIFData {
    std::optional<std::string> make;
    std::optional<std::string> model;
    std::optional<std::string> dateTaken;     // "YYYY:MM:DD HH:MM:SS", as stored
    std::optional<std::string> aperture;      // "ƒ/2.8"
    std::optional<std::string> shutterSpeed;  // "1/250s", "2s"
    std::optional<std::string> iso;           // "ISO 400"
    std::optional<std::string> focalLength;   // "50mm"
    std::optional<std::string> exposureBias;  // "+0.7 EV", "±0 EV"
    std::optional<std::string> flash;         // "Flash fired", "No flash"
    std::optional<std::string> whiteBalance;  // "Auto WB", "Manual WB"
    std::optional<std::int64_t> width;
    std::optional<std::int64_t> height;
    std::optional<std::string> colorSpace;    // "RGB", "Gray", "CMYK", "Lab"

    bool operator==(const EXIFData&) const = default;
};

// Stateless and safe to call from any thread. Never fails and never throws:
// a file that cannot be opened, is damaged, or is not a still image (a video
// clip) gives a record with every field absent. Prints nothing.
class EXIFReader {
public:
    EXIFData read(const std::filesystem::path& file) const;
    // The same for a file already in memory.
    EXIFData read(std::span<const std::uint8_t> bytes) const;
};

}  // namespace vf
