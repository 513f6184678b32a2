#include "thumbnailer/Sandbox.h"

#include <cerrno>
#include <cstdint>
#include <string_view>
#include <initializer_list>
#include <fcntl.h>
#include <linux/landlock.h>
#include <seccomp.h>
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

bool denyUnusedSystemCalls() {
    // A list of what is refused, not of what is allowed: libvips, LibRaw and
    // FFmpeg call on whatever the C library needs (threads, memory, clocks),
    // which differs between versions, and a thumbnail must never fail for it.
    const scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
    if (!filter) return false;
    static const char* const kRefused[] = {
        "execve", "execveat", "fork", "vfork", "ptrace", "process_vm_readv", "process_vm_writev", "kcmp",
        "pidfd_getfd", "socket", "socketpair", "bind", "listen", "connect", "mount", "umount2", "move_mount",
        "fsopen", "fsmount", "pivot_root", "chroot", "unshare", "setns", "bpf", "perf_event_open", "userfaultfd",
        "keyctl", "add_key", "request_key", "init_module", "finit_module", "delete_module", "kexec_load",
        "kexec_file_load", "io_uring_setup", "io_uring_enter", "io_uring_register", "open_by_handle_at",
        "name_to_handle_at", "swapon", "swapoff", "reboot", "acct", "quotactl", "syslog", "uselib",
        "fanotify_init", "lookup_dcookie", "personality",
    };
    bool ok = true;
    for (const char* name : kRefused) {
#if defined(__SANITIZE_ADDRESS__)
        if (std::string_view(name) == "ptrace") continue;  // the leak checker stops the process through it at exit
#endif
        const int nr = ::seccomp_syscall_resolve_name(name);
        // A call this architecture does not have needs no rule.
        if (nr != __NR_SCMP_ERROR && ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), nr, 0) != 0) ok = false;
    }
    ok = ok && ::seccomp_load(filter) == 0;
    ::seccomp_release(filter);
    return ok;
}

}  // namespace vf
