#include "platform/Files.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace vf {

std::vector<std::string> folderEntries(int dirFd) {
    std::vector<std::string> names;
    // A new open file description: a dup would share (and move) the caller's offset.
    const int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return names;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        ::close(fd);
        return names;
    }
    while (const dirent* e = ::readdir(d)) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") names.emplace_back(n);
    }
    ::closedir(d);
    return names;
}

std::optional<std::string> pathThroughDescriptor(int dirFd) {
    // The descriptor's entry in /proc leads straight to the folder; "." makes it
    // an inner name, so that openers that refuse a last link still pass it.
    const std::string path = "/proc/self/fd/" + std::to_string(dirFd) + "/.";
    struct stat viaPath {}, viaFd {};
    if (::stat(path.c_str(), &viaPath) != 0 || ::fstat(dirFd, &viaFd) != 0) return std::nullopt;
    if (viaPath.st_dev != viaFd.st_dev || viaPath.st_ino != viaFd.st_ino) return std::nullopt;
    return path;
}

void removeFlatFolder(int parentFd, const char* name) {
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    for (const std::string& n : folderEntries(fd)) ::unlinkat(fd, n.c_str(), 0);
    ::close(fd);
    ::unlinkat(parentFd, name, AT_REMOVEDIR);
}

int renameNoReplace(int fromDir, const char* from, int toDir, const char* to) {
    if (::renameat2(fromDir, from, toDir, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    if (::linkat(fromDir, from, toDir, to, 0) != 0) return errno;
    ::unlinkat(fromDir, from, 0);
    return 0;
}

}  // namespace vf
