#pragma once
// Block size and byte size of an open device or image file.

#include <cstdint>
#include <optional>

namespace vf {

// The device's logical block size; nothing when it cannot be asked (a regular file).
std::optional<std::uint32_t> queryBlockSize(int fd);

// The device's size in bytes (block size × block count, or a regular file's size).
std::optional<std::uint64_t> queryDeviceBytes(int fd);

}  // namespace vf
