#pragma once
// Block size and byte size of an open device or image file.

#include <cstdint>
#include <optional>
#include <string>

namespace vf {

// The device's logical block size; nothing when it cannot be asked (a regular file).
std::optional<std::uint32_t> queryBlockSize(int fd);

// The device's size in bytes (block size × block count, or a regular file's size).
std::optional<std::uint64_t> queryDeviceBytes(int fd);

// Whether a character device is a disk (a raw disk device where the system has
// them), told by its answer to the size query: /dev/zero, /dev/null and
// terminals have no size and would be read forever or for nothing.
bool characterDeviceIsDisk(const char* path);

}  // namespace vf
