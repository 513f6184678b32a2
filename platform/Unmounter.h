#pragma once
// Unmounting every volume of a card before it is read raw.

#include <string>
#include <string_view>
#include <vector>

namespace vf {

struct UnmountResult {
    bool ok = false;
    std::string output;  // what the tool (or our own code) says, for the log
};

// Unmounts every mounted file system on the whole disk `diskIdentifier`
// ("sdb", "mmcblk0", "loop3") or on any of its partitions.
UnmountResult unmountDisk(std::string_view diskIdentifier);

// --- parts of the Linux implementation, exposed for tests ---

struct MountEntry {
    std::string mountPoint;
    std::string source;
};

// The mount points and sources of a /proc/self/mountinfo text, in file order.
// Octal escapes (\040 for a blank) are decoded.
std::vector<MountEntry> parseMountInfo(std::string_view text);

// Whether a device path names the disk `diskIdentifier` itself or one of its
// partitions: /dev/sdb, /dev/sdb1, /dev/mmcblk0p2, /dev/loop3p1.
bool isOnDisk(std::string_view devicePath, std::string_view diskIdentifier);

// The argument vector that unmounts a disk on macOS.
std::vector<std::string> diskutilUnmountArguments(std::string_view diskIdentifier);

}  // namespace vf
