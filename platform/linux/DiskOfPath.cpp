#include "platform/DiskOfPath.h"

#include <fstream>
#include <set>
#include <sstream>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

namespace vf {
namespace {

namespace fs = std::filesystem;

std::string numbers(dev_t dev) { return std::to_string(major(dev)) + ":" + std::to_string(minor(dev)); }

// The block device's node in sysfs (/sys/devices/.../block/sdb/sdb1).
std::optional<fs::path> sysfsNode(dev_t dev) {
    std::error_code ec;
    const fs::path node = fs::canonical("/sys/dev/block/" + numbers(dev), ec);
    if (ec) return std::nullopt;
    return node;
}

// A partition's node sits inside its disk's node and has a "partition" file.
fs::path wholeDisk(const fs::path& node) {
    std::error_code ec;
    return fs::exists(node / "partition", ec) ? node.parent_path() : node;
}

// The whole disks under a block device: itself, or for a device mapper or
// software RAID the disks it is built from.
void disksUnder(const fs::path& node, std::set<fs::path>& out, int depth = 0) {
    std::error_code ec;
    bool stacked = false;
    if (depth < 8) {
        for (const auto& slave : fs::directory_iterator(node / "slaves", ec)) {
            const fs::path target = fs::canonical(slave.path(), ec);
            if (ec) continue;
            stacked = true;
            disksUnder(target, out, depth + 1);
        }
    }
    if (!stacked) out.insert(wholeDisk(node));
}

// A file system in user space (exFAT or NTFS through FUSE) has a device number
// of its own; its mount entry names the block device it reads.
std::optional<dev_t> mountSource(dev_t fsDev) {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    const std::string want = numbers(fsDev);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string id, parent, devNumbers;
        fields >> id >> parent >> devNumbers;
        if (devNumbers != want) continue;
        const auto dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream rest(line.substr(dash + 3));
        std::string type, source;
        rest >> type >> source;
        struct stat st {};
        if (::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return st.st_rdev;
    }
    return std::nullopt;
}

// A file system kept in memory (tmpfs, ramfs) is stored on no disk at all.
bool inMemory(const fs::path& path) {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) return false;
    const auto type = static_cast<unsigned long>(fs.f_type);
    return type == TMPFS_MAGIC || type == RAMFS_MAGIC;
}

}  // namespace

std::optional<bool> pathIsOnDisk(const fs::path& path, const std::string& devicePath) {
    struct stat card {}, here {};
    if (::stat(devicePath.c_str(), &card) != 0 || !S_ISBLK(card.st_mode)) return std::nullopt;
    if (::stat(path.c_str(), &here) != 0) return std::nullopt;
    const auto cardNode = sysfsNode(card.st_rdev);
    if (!cardNode) return std::nullopt;
    auto node = sysfsNode(here.st_dev);
    if (!node) {
        const auto source = mountSource(here.st_dev);
        if (!source) return inMemory(path) ? std::optional(false) : std::nullopt;
        node = sysfsNode(*source);
        if (!node) return std::nullopt;
    }
    std::set<fs::path> disks;
    disksUnder(*node, disks);
    return disks.count(wholeDisk(*cardNode)) != 0;
}

}  // namespace vf
