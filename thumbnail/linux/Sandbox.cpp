#include "thumbnail/Sandbox.h"

#include <cstdint>
#include <initializer_list>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vf {

int denyNewFilesAndConnections() {
#ifdef SYS_landlock_create_ruleset
    const long abi = ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) return 0;
    // Every right the kernel knows of is handled and none is granted. Rights
    // of later versions are masked off where the kernel predates them.
    std::uint64_t fs = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // version 1
    if (abi >= 2) fs |= LANDLOCK_ACCESS_FS_REFER;
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
    if (abi >= 3) fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
#endif
    landlock_ruleset_attr attr{};
    attr.handled_access_fs = fs;
#if defined(LANDLOCK_ACCESS_NET_CONNECT_TCP)
    if (abi >= 4) attr.handled_access_net = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
#endif
    const long ruleset = ::syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0);
    if (ruleset < 0) return 0;
    // Decoders load codecs and their settings lazily, on the first file of a
    // kind: the system's own files stay readable, nothing else.
    const std::uint64_t read = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
    for (const char* dir : {"/usr", "/lib", "/lib64", "/etc", "/sys/devices/system/cpu", "/proc/self"}) {
        const int fd = ::open(dir, O_PATH | O_CLOEXEC | O_DIRECTORY);
        if (fd < 0) continue;
        landlock_path_beneath_attr beneath{};
        beneath.allowed_access = read;
        beneath.parent_fd = fd;
        [[maybe_unused]] const long added =
            ::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0);
        ::close(fd);
    }
    // Required for an unprivileged process; the tool's starter has set it already.
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    const long done = ::syscall(SYS_landlock_restrict_self, ruleset, 0);
    ::close(static_cast<int>(ruleset));
    return done == 0 ? static_cast<int>(abi) : 0;
#else
    return 0;
#endif
}

}  // namespace vf
