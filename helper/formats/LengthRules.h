#pragma once
// The length rules behind FileSizeCalculator, one function per rule, and the
// header checks that tell whether a signature match is a plausible file start.
// Each takes the calculator (for its reads), the device and the file's first
// byte's offset. Internal to helper/formats.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "helper/formats/FileSizeCalculator.h"
#include "common/ByteReader.h"

namespace vf::lengthrules {

using Chunk = FileSizeCalculator::Chunk;

// The bytes a chunk holds from its start on (fewer than asked at the device end).
// Built from the storage when the chunk owns its bytes, so that a copied chunk
// never views another chunk's storage.
inline std::span<const std::uint8_t> fileBytes(const Chunk& c) {
    const std::span<const std::uint8_t> all = c.storage.empty() ? c.bytes : std::span<const std::uint8_t>(c.storage);
    return c.start <= all.size() ? all.subspan(c.start) : std::span<const std::uint8_t>{};
}

// Bytes [0, n) of the file, or fewer when the device ends first. Nothing on a
// failed read. Rules check that the fields they need did arrive.
inline std::optional<Chunk> head(FileSizeCalculator& calc, Device& device, std::uint64_t offset,
                                 std::uint64_t n) {
    return calc.readChunk(offset, n, device);
}

// Size rules; FileSizeCalculator.cpp holds the table that picks one per format.
std::uint64_t jpegLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t pngLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t gifLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t bmpLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t ppmLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t crwLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t rafLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t iiqLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t x3fLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t mrwLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t tiffLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t rw2Length(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t riffLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
// `stillImage` (HEIC, AVIF): such files have "meta" and "mdat" and no "moov".
std::uint64_t isoMediaLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset, bool stillImage);
// Whether the top-level box walk from offset meets a box header at `at`.
bool isoBoxStartsAt(FileSizeCalculator& calc, Device& device, std::uint64_t offset, std::uint64_t at);
std::uint64_t transportStreamLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t mxfLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
std::uint64_t brawLength(FileSizeCalculator& calc, Device& device, std::uint64_t offset);

// Header checks: the fields each rule relies on are sane. One small read each.
bool jpegPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool pngPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool gifPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool bmpPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool ppmPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool crwPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool rafPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool iiqPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool x3fPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool mrwPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool tiffPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool rw2Plausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool riffPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool isoMediaPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool transportStreamPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool mxfPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);
bool brawPlausible(FileSizeCalculator& calc, Device& device, std::uint64_t offset);

// The BMP header checks, shared by the rule and the plausibility test: the
// file's length when the header is a real one, else nothing.
std::optional<std::uint64_t> bmpHeaderLength(ByteReader header);

}  // namespace vf::lengthrules
