#include "platform/Unmounter.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sys/mount.h>

namespace vf {

UnmountResult unmountDisk(std::string_view diskIdentifier) {
    std::ifstream in("/proc/self/mountinfo");
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<MountEntry> targets;
    for (const MountEntry& m : parseMountInfo(text)) {
        std::string source = m.source;
        char resolved[PATH_MAX];
        if (::realpath(source.c_str(), resolved)) source = resolved;
        if (isOnDisk(source, diskIdentifier)) targets.push_back(m);
    }
    UnmountResult result;
    result.ok = true;
    if (targets.empty()) {
        result.output = "No mounted volumes on " + std::string(diskIdentifier);
        return result;
    }
    // Later mounts may sit inside earlier ones: undo them in reverse order.
    std::string failures;
    for (auto it = targets.rbegin(); it != targets.rend(); ++it) {
        if (::umount2(it->mountPoint.c_str(), 0) != 0) {
            result.ok = false;
            failures += " " + it->mountPoint + " (" + std::strerror(errno) + ")";
        }
    }
    result.output = result.ok ? "Unmount of all volumes on " + std::string(diskIdentifier) + " was successful"
                              : "Unmount of " + std::string(diskIdentifier) + " failed:" + failures;
    return result;
}

}  // namespace vf
