#include "thumbnailer/ThumbnailTool.h"

namespace vf::thumb {

long long cpuMilliseconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (static_cast<long long>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

int serve(const char* cpuArg, Maker make) {
    const auto cpuSeconds = parseInt(cpuArg, 1, 1000000);
    if (!cpuSeconds) {
        say("bad arguments");
        return kUsage;
    }
    // Each file's decoder allocates its buffers anew. Handed back to the
    // kernel after every file, they return as page faults on zeroed pages,
    // which cost more than decoding a modest video key frame; so the heap
    // keeps a bounded amount, and only very large blocks are mapped apart.
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
    // The libraries are loaded; every file comes as a descriptor. A decoder
    // taken over by a hostile file can write nothing else, read none of the
    // user's files and connect nowhere.
    vf::denyNewFilesAndConnections();
    vf::denyUnusedSystemCalls();
    for (;;) {
        char text[256];
        alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
        iovec iov{text, sizeof text - 1};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n;
        do {
            n = ::recvmsg(0, &msg, MSG_CMSG_CLOEXEC);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return kOk;
        std::vector<int> fds;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                fds.push_back(fd);
            }
        }
        text[n] = '\0';
        int status = kUsage;
        int side = 0, quality = 0;
        char extension[64] = "";
        const int fields = std::sscanf(text, "%d %d %63s", &side, &quality, extension);
        struct stat st {};
        if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || fds.size() != 2 || fields < 2 || side < 1 ||
            side > 16384 || quality < 1 || quality > 100) {
            say("bad request");
        } else if (::fstat(fds[0], &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
            status = kUnreadable;
        } else {
            const long long usedSeconds = cpuMilliseconds() / 1000 + 1;
            rlimit cpu{};
            if (::getrlimit(RLIMIT_CPU, &cpu) == 0 && cpu.rlim_max != RLIM_INFINITY) {
                cpu.rlim_cur = std::min<rlim_t>(cpu.rlim_max, static_cast<rlim_t>(usedSeconds + *cpuSeconds));
                ::setrlimit(RLIMIT_CPU, &cpu);
            }
            Input in;
            in.fd = fds[0];
            in.size = static_cast<std::uint64_t>(st.st_size);
            in.extension = fields == 3 ? extension : "";
            std::vector<std::uint8_t> jpeg;
            status = make(in, side, quality, jpeg);
            if (status == kOk && !writeAll(fds[1], jpeg)) status = kUnwritable;
            vips_error_clear();
        }
        for (int fd : fds) ::close(fd);
        char reply[64];
        const int len = std::snprintf(reply, sizeof reply, "%d %lld", status, cpuMilliseconds());
        if (::send(0, reply, static_cast<std::size_t>(len), MSG_NOSIGNAL) < 0) return kOk;
    }
}

}  // namespace vf::thumb
