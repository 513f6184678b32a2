#pragma once
// Real media files made by the tools installed with the project, for tests that
// measure them: the "formats" set of tools/make-test-media, made once per suite run.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace vf::test {

enum class MediaKind {
    jpegWithThumbnail,  // 640x480 photo with an EXIF thumbnail
    png,
    gifFlat,            // its first 3B byte is the trailer
    gifPlasma,          // 3B bytes inside its colour table and image data
    bmp3,               // 40-byte info header
    bmp5,               // 124-byte header
    ppm,                // P6 with maximum value 65535
    tiff,               // uncompressed, directory after the image data
    tiffLzw,            // LZW, several strips
    webp,
    heic,
    avif,
    mp4IndexFirst,      // "moov" before "mdat"
    mp4IndexLast,
    mov,
    avi,
    ts,
    mxf,
};

const char* mediaName(MediaKind kind);

// The file's bytes (the set is copied into `dir` once); nothing when the set cannot be
// made here, with the reason in `why`.
std::optional<std::vector<std::uint8_t>> makeMedia(const TempDir& dir, MediaKind kind, std::string* why);

}  // namespace vf::test
