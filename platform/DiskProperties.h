#pragma once
// The properties of the machine's disks under one set of keys, whatever tool
// the system offers to ask for them.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vf {

// One disk's details; an absent field is a key the tool did not give (or gave
// with another type).
struct DiskProperties {
    std::optional<std::int64_t> totalSize;
    std::optional<std::string> mediaType;
    std::optional<bool> removable;
    std::optional<bool> wholeDisk;
    std::optional<std::string> volumeName;
    std::optional<std::string> mediaName;
    std::optional<std::string> ioRegistryEntryName;
    std::optional<std::string> mountPoint;
    std::optional<std::string> busProtocol;
    // The disk holds the running system (its root, boot or swap); never a card.
    bool holdsSystem = false;
};

class DiskPropertySource {
public:
    virtual ~DiskPropertySource() = default;
    // Disk identifiers ("disk4", "sdb"); nothing, with the reason, when the tool
    // cannot be run or its output cannot be read.
    virtual std::optional<std::vector<std::string>> list(std::string& error) = 0;
    virtual std::optional<DiskProperties> details(const std::string& identifier, std::string& error) = 0;
    // The path the scanner opens for this disk.
    virtual std::string devicePath(const std::string& identifier) const = 0;
};

// diskutil's property lists ("list -plist", "info -plist").
std::optional<std::vector<std::string>> parseDiskutilList(std::string_view xml);
std::optional<DiskProperties> parseDiskutilInfo(std::string_view xml);

// lsblk's JSON (-J -b -O): every whole disk, keyed by kernel name.
struct LsblkDisk {
    std::string name;
    DiskProperties properties;
};
std::optional<std::vector<LsblkDisk>> parseLsblk(std::string_view json);

std::unique_ptr<DiskPropertySource> makeDiskutilSource();
std::unique_ptr<DiskPropertySource> makeLsblkSource();
std::unique_ptr<DiskPropertySource> makeDefaultDiskSource();

}  // namespace vf
