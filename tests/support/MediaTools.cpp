#include "tests/support/MediaTools.h"

namespace vf::test {

const char* mediaName(MediaKind kind) {
    // In MediaKind's order.
    static constexpr const char* files[] = {"photo.jpg", "a.png",    "flat.gif", "plasma.gif", "a3.bmp",  "a5.bmp",
                                            "a.ppm",     "a.tif",    "lzw.tif",  "a.webp",     "a.heic",  "a.avif",
                                            "first.mp4", "last.mp4", "clip.mov", "clip.avi",   "clip.ts", "clip.mxf"};
    return files[static_cast<int>(kind)];
}

std::optional<std::vector<std::uint8_t>> makeMedia(const TempDir& dir, MediaKind kind, std::string* why) {
    const std::filesystem::path set = dir / "formats-media";
    if (!std::filesystem::exists(set / ".complete") && !testMedia("formats", set, why)) return std::nullopt;
    std::vector<std::uint8_t> bytes = readFile(set / mediaName(kind));
    if (bytes.empty() && why) *why = std::string(mediaName(kind)) + " is missing from the formats set";
    return bytes.empty() ? std::nullopt : std::optional(std::move(bytes));
}

}  // namespace vf::test
