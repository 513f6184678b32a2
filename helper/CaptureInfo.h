#pragma once
// Capture date and camera make/model, read from a recovered file's first bytes
// to name it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "helper/formats/FileFormat.h"

namespace vf {

// The first "YYYY:MM:DD hh:mm:ss" text in bytes[from, to) whose year lies in 1990–2100.
std::optional<std::string> findCaptureDate(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t to);

struct CameraModel {
    std::string make;
    std::string model;
};

// Make (tag 271) and model (tag 272) from the first TIFF directory of the file
// that starts at device offset `off` inside `buffer` (which starts at `start`).
// JPEG files are searched for their EXIF segment first. Both texts are cleaned
// for use in a file name.
CameraModel readCameraModel(std::span<const std::uint8_t> buffer, std::uint64_t start, std::uint64_t off,
                            FileFormat format);

// Trims, turns blanks into "-", keeps letters, digits, "-" and "_", cuts to 32.
std::string cleanCameraText(std::span<const std::uint8_t> latin1);

}  // namespace vf
