#include "tests/support/MediaTools.h"

namespace vf::test {
namespace {

struct Medium {
    MediaKind kind;
    const char* name;
    const char* file;
};

constexpr Medium kMedia[] = {
    {MediaKind::jpegWithThumbnail, "JPEG with EXIF thumbnail", "photo.jpg"},
    {MediaKind::png, "PNG", "a.png"},
    {MediaKind::gifFlat, "flat GIF", "flat.gif"},
    {MediaKind::gifPlasma, "plasma GIF", "plasma.gif"},
    {MediaKind::bmp3, "BMP3", "a3.bmp"},
    {MediaKind::bmp5, "BMP", "a5.bmp"},
    {MediaKind::ppm, "PPM", "a.ppm"},
    {MediaKind::tiff, "TIFF", "a.tif"},
    {MediaKind::tiffLzw, "LZW TIFF", "lzw.tif"},
    {MediaKind::webp, "WebP", "a.webp"},
    {MediaKind::heic, "HEIC", "a.heic"},
    {MediaKind::avif, "AVIF", "a.avif"},
    {MediaKind::mp4IndexFirst, "MP4 (index first)", "first.mp4"},
    {MediaKind::mp4IndexLast, "MP4 (index last)", "last.mp4"},
    {MediaKind::mov, "MOV", "clip.mov"},
    {MediaKind::avi, "AVI", "clip.avi"},
    {MediaKind::ts, "MPEG-TS", "clip.ts"},
    {MediaKind::mxf, "MXF", "clip.mxf"},
};

const Medium& medium(MediaKind kind) {
    for (const Medium& m : kMedia)
        if (m.kind == kind) return m;
    return kMedia[0];
}

}  // namespace

const char* mediaName(MediaKind kind) { return medium(kind).name; }

std::optional<std::vector<std::uint8_t>> makeMedia(const TempDir& dir, MediaKind kind, std::string* why) {
    const std::filesystem::path set = dir / "formats-media";
    if (!std::filesystem::exists(set / ".complete") && !testMedia("formats", set, why)) return std::nullopt;
    std::vector<std::uint8_t> bytes = readFile(set / medium(kind).file);
    if (bytes.empty() && why) *why = std::string(medium(kind).file) + " is missing from the formats set";
    return bytes.empty() ? std::nullopt : std::optional(std::move(bytes));
}

}  // namespace vf::test
