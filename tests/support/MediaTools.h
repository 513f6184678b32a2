#pragma once
// Real media files made by the tools installed with the project, for tests that
// measure them: the "formats" set of tools/make-test-media, made once per suite run.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace vf::test {

// Each with the trait its length rule reads: a JPEG with an EXIF thumbnail; a GIF whose
// first 3B byte is its trailer and one with 3B bytes inside its colour table and image
// data; BMPs with 40- and 124-byte headers; a P6 of maximum value 65535; an uncompressed
// TIFF with its directory after the image data and an LZW one of several strips; MP4s
// with "moov" before and after "mdat".
enum class MediaKind {
    jpegWithThumbnail, png, gifFlat, gifPlasma, bmp3, bmp5, ppm, tiff, tiffLzw,
    webp, heic, avif, mp4IndexFirst, mp4IndexLast, mov, avi, ts, mxf,
};

// Its file's name in the set.
const char* mediaName(MediaKind kind);

// The file's bytes (the set is copied into `dir` once); nothing when the set cannot be
// made here, with the reason in `why`.
std::optional<std::vector<std::uint8_t>> makeMedia(const TempDir& dir, MediaKind kind, std::string* why);

}  // namespace vf::test
