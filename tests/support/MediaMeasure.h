#pragma once
// Measures a file with FileSizeCalculator three ways, which must agree: no
// hint buffer, a hint holding the whole image, and a hint that ends inside the
// file (as a scan buffer does). Header-only: only the formats tests link the
// calculator.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "helper/formats/FileSizeCalculator.h"
#include "common/ByteReader.h"

namespace vf::test {

inline std::uint64_t measure(FileFormat format, const std::vector<std::uint8_t>& image, std::uint64_t offset,
                             std::uint64_t blockSize = 512) {
    MemoryDevice device(image);
    FileSizeCalculator plain(blockSize);
    const std::uint64_t a = plain.calculateSize(format, device, offset);

    FileSizeCalculator whole(blockSize);
    whole.setHint(image, 0);
    const std::uint64_t b = whole.calculateSize(format, device, offset);

    FileSizeCalculator part(blockSize);
    const std::uint64_t base = alignDown(std::min<std::uint64_t>(offset, image.size()), blockSize);
    const std::uint64_t len = std::min<std::uint64_t>(image.size() - base, 4096);
    part.setHint(std::span<const std::uint8_t>(image).subspan(base, len), base);
    const std::uint64_t c = part.calculateSize(format, device, offset);

    EXPECT_EQ(a, b) << displayName(format) << " at " << offset << ": whole-image hint differs";
    EXPECT_EQ(a, c) << displayName(format) << " at " << offset << ": partial hint differs";
    return a;
}

}  // namespace vf::test
