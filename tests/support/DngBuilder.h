#pragma once
// A minimal DNG, as cameras write it for the parts a thumbnailer reads: a
// JPEG preview in IFD0 and 16-bit Bayer data in a SubIFD.

#include <cstdint>
#include <vector>

namespace vf::test {

std::vector<std::uint8_t> makeDng(const std::vector<std::uint8_t>& preview, int previewWidth, int previewHeight,
                                  int rawWidth, int rawHeight);

}  // namespace vf::test
