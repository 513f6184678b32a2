#include "tests/support/MediaTools.h"

#include <array>
#include <string_view>

namespace vf::test {

namespace {

struct Recipe {
    MediaKind kind;
    const char* name;
    const char* tool;
    const char* output;
    const char* command;  // run inside the folder
};

// Small sizes keep every recipe well under a second.
constexpr const char* kVideo = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 1 ";

const std::array<Recipe, 18>& recipes() {
    static const std::string mp4First = std::string(kVideo) + "-c:v libx264 -pix_fmt yuv420p -movflags +faststart first.mp4";
    static const std::string mp4Last = std::string(kVideo) + "-c:v libx264 -pix_fmt yuv420p last.mp4";
    static const std::string mov = std::string(kVideo) + "-c:v mjpeg -f mov clip.mov";
    static const std::string avi = std::string(kVideo) + "-c:v mjpeg -f avi clip.avi";
    static const std::string ts = std::string(kVideo) + "-c:v mpeg2video -f mpegts clip.ts";
    static const std::string mxf = std::string(kVideo) + "-c:v mpeg2video -f mxf clip.mxf";
    static const std::array<Recipe, 18> r{{
        {MediaKind::jpegWithThumbnail, "JPEG with EXIF thumbnail", "exiftool", "photo.jpg",
         "convert -seed 7 -size 160x120 plasma:fractal -quality 90 thumb.jpg && "
         "convert -seed 5 -size 640x480 plasma:fractal -attenuate 0.3 +noise Gaussian -quality 92 photo.jpg && "
         "exiftool -q -overwrite_original '-ThumbnailImage<=thumb.jpg' photo.jpg"},
        {MediaKind::png, "PNG", "convert", "a.png", "convert -seed 3 -size 200x150 plasma: a.png"},
        {MediaKind::gifFlat, "flat GIF", "convert", "flat.gif", "convert -size 64x64 xc:red flat.gif"},
        {MediaKind::gifPlasma, "plasma GIF", "convert", "plasma.gif", "convert -seed 3 -size 100x80 plasma: plasma.gif"},
        {MediaKind::bmp3, "BMP3", "convert", "a3.bmp", "convert -seed 3 -size 61x40 plasma: BMP3:a3.bmp"},
        {MediaKind::bmp5, "BMP", "convert", "a5.bmp", "convert -seed 3 -size 61x40 plasma: a5.bmp"},
        {MediaKind::ppm, "PPM", "convert", "a.ppm", "convert -seed 3 -size 100x80 plasma: a.ppm"},
        {MediaKind::tiff, "TIFF", "convert", "a.tif", "convert -seed 3 -size 200x150 plasma: -compress none a.tif"},
        {MediaKind::tiffLzw, "LZW TIFF", "convert", "lzw.tif",
         "convert -seed 4 -size 300x200 plasma: -compress lzw -define tiff:rows-per-strip=16 lzw.tif"},
        {MediaKind::webp, "WebP", "cwebp", "a.webp",
         "convert -seed 3 -size 200x150 plasma: in.png && cwebp -quiet -q 80 in.png -o a.webp"},
        {MediaKind::heic, "HEIC", "heif-enc", "a.heic",
         "convert -seed 3 -size 128x96 plasma: in.png && heif-enc -q 40 in.png -o a.heic >/dev/null"},
        {MediaKind::avif, "AVIF", "heif-enc", "a.avif",
         "convert -seed 3 -size 128x96 plasma: avif-in.jpg && heif-enc -A -q 40 avif-in.jpg -o a.avif >/dev/null"},
        {MediaKind::mp4IndexFirst, "MP4 (index first)", "ffmpeg", "first.mp4", mp4First.c_str()},
        {MediaKind::mp4IndexLast, "MP4 (index last)", "ffmpeg", "last.mp4", mp4Last.c_str()},
        {MediaKind::mov, "MOV", "ffmpeg", "clip.mov", mov.c_str()},
        {MediaKind::avi, "AVI", "ffmpeg", "clip.avi", avi.c_str()},
        {MediaKind::ts, "MPEG-TS", "ffmpeg", "clip.ts", ts.c_str()},
        {MediaKind::mxf, "MXF", "ffmpeg", "clip.mxf", mxf.c_str()},
    }};
    return r;
}

const Recipe& recipe(MediaKind kind) {
    for (const Recipe& r : recipes())
        if (r.kind == kind) return r;
    return recipes().front();
}

}  // namespace

const char* mediaName(MediaKind kind) { return recipe(kind).name; }

std::optional<std::vector<std::uint8_t>> makeMedia(const TempDir& dir, MediaKind kind, std::string* why) {
    const Recipe& r = recipe(kind);
    const bool usesConvert = std::string_view(r.command).find("convert ") != std::string_view::npos;
    for (const char* tool : {r.tool, usesConvert ? "convert" : r.tool}) {
        if (!haveTool(tool)) {
            if (why) *why = std::string(tool) + " is not installed";
            return std::nullopt;
        }
    }
    const CommandResult res = run("cd '" + dir.path().string() + "' && " + r.command);
    std::vector<std::uint8_t> bytes = readFile(dir / r.output);
    if (res.status != 0 || bytes.empty()) {
        if (why) *why = std::string(r.name) + ": " + r.command + " failed: " + res.output;
        return std::nullopt;
    }
    return bytes;
}

}  // namespace vf::test
