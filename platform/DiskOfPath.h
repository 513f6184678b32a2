#pragma once
// Which disk a folder's file system is stored on, so that nothing is written
// to the card that files are being recovered from.

#include <filesystem>
#include <optional>
#include <string>

namespace vf {

// True when the file system holding `path` lies on the disk of `devicePath`
// (the disk itself or any partition of it, also through a device mapper or a
// file system in user space); false for a file system kept in memory. Nothing
// when either cannot be told: a path that does not exist, a device that is not
// a disk, or a file system of no known disk (a network share).
std::optional<bool> pathIsOnDisk(const std::filesystem::path& path, const std::string& devicePath);

}  // namespace vf
