#include "platform/Thumbnailer.h"

#include "platform/Files.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vf {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

constexpr std::uint32_t kNobody = 65534;
constexpr int kLongestSideLimit = 16384;
constexpr rlim_t kOutputFileLimit = 64ull << 20;  // a thumbnail is a few hundred KiB at most
constexpr rlim_t kOpenFileLimit = 256;
constexpr int kToolNiceness = 10;  // added to the scanner's own

// Exit statuses of a child that never reached the tool.
constexpr int kChildSetupFailed = 125;
constexpr int kChildDropFailed = 124;
constexpr int kChildExecFailed = 127;

// Everything the child needs, prepared before fork: between fork and exec
// only async-signal-safe calls are allowed, so nothing here allocates.
struct ChildSetup {
    const char* tool;
    char* const* argv;
    char* const* envp;
    rlim_t cpuSeconds;   // 0: no limit
    rlim_t memoryBytes;  // 0: no limit
    int folder;   // the source's folder: the tool starts there; -1 for "/"
    int channel;  // becomes standard input; -1 for /dev/null
    bool dropIds;
    uid_t uid;
    gid_t gid;
    pid_t parent;
};

bool dropIdentity(uid_t uid, gid_t gid) {
    // Supplementary groups first, then the group, then the user: once the
    // user has changed, the others can no longer be changed.
    if (::setgroups(0, nullptr) != 0) return false;
    if (::setresgid(gid, gid, gid) != 0) return false;
    if (::setresuid(uid, uid, uid) != 0) return false;
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (::getresuid(&ru, &eu, &su) != 0 || ::getresgid(&rg, &eg, &sg) != 0) return false;
    if (ru != uid || eu != uid || su != uid || rg != gid || eg != gid || sg != gid) return false;
    if (::getgroups(0, nullptr) != 0) return false;
    // With a non-root uid, root must be out of reach for good.
    return uid == 0 || (::setuid(0) != 0 && ::seteuid(0) != 0);
}

void closeDescriptorsFrom(int first) {
    if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0u, 0u) == 0) return;
    rlimit nofile{};
    rlim_t last = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur != RLIM_INFINITY)
        last = std::min<rlim_t>(nofile.rlim_cur, last);
    for (rlim_t fd = static_cast<rlim_t>(first); fd < last; ++fd) ::close(static_cast<int>(fd));
}

bool setLimit(int resource, rlim_t soft, rlim_t hard) {
    const rlimit r{soft, hard};
    return ::setrlimit(resource, &r) == 0;
}

[[noreturn]] void runChild(const ChildSetup& s) {
    // An own process group, so that a kill reaches anything the tool starts.
    ::setpgid(0, 0);
    // Masks and ignored signals survive exec; the tool starts from defaults.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) ::sigaction(sig, &dfl, nullptr);

    // Entered while still privileged, so that the unprivileged tool reaches
    // the source by its bare name even below folders only root may enter.
    if ((s.folder >= 0 ? ::fchdir(s.folder) : ::chdir("/")) != 0) ::_exit(kChildSetupFailed);
    const int null = ::open("/dev/null", O_RDWR);
    if (null < 0 || ::dup2(s.channel >= 0 ? s.channel : null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(null, 2) < 0)
        ::_exit(kChildSetupFailed);
    // The scanner holds the raw card open; the decoder must not inherit it.
    closeDescriptorsFrom(3);

    bool limited = setLimit(RLIMIT_CORE, 0, 0) && setLimit(RLIMIT_FSIZE, kOutputFileLimit, kOutputFileLimit) &&
                   setLimit(RLIMIT_NOFILE, kOpenFileLimit, kOpenFileLimit);
    // SIGXCPU at the soft limit, SIGKILL a second later.
    if (s.cpuSeconds > 0) limited = limited && setLimit(RLIMIT_CPU, s.cpuSeconds, s.cpuSeconds + 1);
    if (s.memoryBytes > 0) limited = limited && setLimit(RLIMIT_AS, s.memoryBytes, s.memoryBytes);
    if (!limited) ::_exit(kChildSetupFailed);
    // Thumbnails are background work: the decoder yields the CPU to the scan
    // and to the user's desktop. Raising one's own niceness cannot fail.
    [[maybe_unused]] const int niceness = ::nice(kToolNiceness);

    if (s.dropIds && !dropIdentity(s.uid, s.gid)) ::_exit(kChildDropFailed);
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) ::_exit(kChildSetupFailed);
    // Set after the identity change, which clears it; the check covers a
    // parent that ended before the setting took hold.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (::getppid() != s.parent) ::_exit(kChildSetupFailed);

    ::execve(s.tool, s.argv, s.envp);
    ::_exit(kChildExecFailed);
}

int openProcessFd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// `seconds` from now; none for 0 or less.
Deadline deadlineAfter(double seconds) {
    if (seconds <= 0) return std::nullopt;
    return std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                  std::chrono::duration<double>(std::min(seconds, 1e6)));
}

// A poll() timeout that ends at the deadline: -1 without one, nothing once it has passed.
std::optional<int> pollTimeout(Deadline deadline) {
    using namespace std::chrono;
    if (!deadline) return -1;
    const auto left = duration_cast<milliseconds>(*deadline - steady_clock::now()).count();
    if (left <= 0) return std::nullopt;
    return static_cast<int>(std::min<long long>(left + 1, 1 << 30));
}

bool validJob(const ThumbnailJob& job) {
    return !job.source.empty() && !job.output.empty() && !job.output.filename().empty() && job.longestSide >= 1 &&
           job.longestSide <= kLongestSideLimit && job.quality >= 1 && job.quality <= 100;
}

// Waits until the child has ended (leaving it unreaped) or the deadline has
// passed. False on timeout.
bool awaitExit(pid_t pid, int pidfd, Deadline deadline) {
    for (;;) {
        const std::optional<int> timeoutMs = pollTimeout(deadline);
        if (!timeoutMs) return false;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            const int n = ::poll(&p, 1, *timeoutMs);
            if (n > 0) return true;
            if (n < 0 && errno != EINTR) return true;  // let waitpid tell
            continue;
        }
        // Kernels without process descriptors: look every few milliseconds.
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return true;
        if (info.si_pid == pid) return true;
        ::usleep(5000);
    }
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// A fixed, small environment; sanitizer settings pass so that a sanitizer
// build of the tool keeps its suppressions.
std::vector<std::string> childEnvironment() {
    std::vector<std::string> env{"PATH=/usr/bin:/bin", "LC_ALL=C"};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
        if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    return env;
}

bool isRegularFile(const std::filesystem::path& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Whether a user may create names in a folder, from its owner and mode alone.
bool folderWritableBy(const struct stat& st, uid_t uid, gid_t gid) {
    const mode_t need = S_IWUSR | S_IXUSR;
    if (st.st_uid == uid) return (st.st_mode & need) == need;
    if (st.st_gid == gid) return (st.st_mode & (need >> 3)) == (need >> 3);
    return (st.st_mode & (need >> 6)) == (need >> 6);
}

// Whether a user without supplementary groups may read a file, from its owner and mode alone.
bool fileReadableBy(const struct stat& st, uid_t uid, gid_t gid) {
    if (st.st_uid == uid) return st.st_mode & S_IRUSR;
    if (st.st_gid == gid) return st.st_mode & S_IRGRP;
    return st.st_mode & S_IROTH;
}

// A private folder, inside the output's own, that the unprivileged tool may
// write into when it may not write beside the output (a root-owned output
// folder). Its name starts like the scanner's temporaries, so that counts
// and clean-ups pass over it.
class ScratchFolder {
public:
    bool create(const std::filesystem::path& parent, uid_t uid, gid_t gid) {
        std::string name = (parent / ".vf-partial-thumb-XXXXXX").string();
        if (!::mkdtemp(name.data())) return false;
        path_ = name;
        const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const bool ok = fd >= 0 && ::fchown(fd, uid, gid) == 0 && ::fchmod(fd, 0700) == 0;
        if (fd >= 0) ::close(fd);
        return ok;
    }
    const std::filesystem::path& path() const { return path_; }
    // Removes what the tool left, one level only: it never follows a link or
    // walks into a folder the tool may have made.
    ~ScratchFolder() {
        if (!path_.empty()) removeFlatFolder(AT_FDCWD, path_.c_str());
    }

private:
    std::filesystem::path path_;
};

// ---------------------------------------------------------------- served runs

constexpr int kToolHandOver = 5;           // tessarine-thumb's answer for a clip
constexpr unsigned kFilesPerServer = 256;  // then a fresh process: leaks and heap damage stay bounded
constexpr double kServerCpuFiles = 4;      // a server's CPU budget, in files' limits

// One sandboxed `TOOL --serve` process, started when first needed, given one
// file at a time. A process that fails a file (ends, hangs, answers nonsense)
// is killed and replaced for the next.
class ToolServer {
public:
    ToolServer(std::string tool, const ThumbnailOptions& options) : tool_(std::move(tool)), options_(options) {}
    ~ToolServer() { stop(); }
    ToolServer(const ToolServer&) = delete;
    ToolServer& operator=(const ToolServer&) = delete;

    bool ensureStarted();
    pid_t pid() const { return pid_; }
    uid_t uid() const { return options_.uid.value_or(0) != 0 ? *options_.uid : kNobody; }
    gid_t gid() const { return options_.gid.value_or(0) != 0 ? *options_.gid : kNobody; }

    // The tool's status for one file, or nothing when the process failed it.
    std::optional<int> run(const std::string& request, int source, int output);

private:
    void stop();  // asks the process to end, then makes sure
    void kill();

    const std::string tool_;
    const ThumbnailOptions& options_;
    pid_t pid_ = -1;
    int socket_ = -1;
    int pidfd_ = -1;
    unsigned files_ = 0;
};

bool ToolServer::ensureStarted() {
    if (pid_ > 0) return true;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;

    const double perFile = options_.cpuSeconds > 0 ? std::ceil(std::min(options_.cpuSeconds, 1e6)) : 0;
    std::vector<std::string> args{tool_, "--serve", std::to_string(perFile > 0 ? static_cast<long>(perFile) : 1000000)};
    std::vector<std::string> env = childEnvironment();
    const std::vector<char*> argv = pointers(args);
    const std::vector<char*> envp = pointers(env);
    ChildSetup setup{};
    setup.tool = args[0].c_str();
    setup.argv = argv.data();
    setup.envp = envp.data();
    // The whole budget as the process's limit; the tool lowers it for each file.
    setup.cpuSeconds = static_cast<rlim_t>(perFile * kServerCpuFiles);
    if (!kAddressSanitizer) setup.memoryBytes = static_cast<rlim_t>(options_.memoryBytes);
    setup.dropIds = ::geteuid() == 0;
    setup.uid = uid();
    setup.gid = gid();
    setup.parent = ::getpid();
    setup.folder = -1;  // files come as descriptors: the tool needs no folder
    setup.channel = pair[1];

    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        return false;
    }
    if (pid == 0) runChild(setup);
    ::close(pair[1]);
    pid_ = pid;
    socket_ = pair[0];
    pidfd_ = openProcessFd(pid);
    files_ = 0;
    return true;
}

std::optional<int> ToolServer::run(const std::string& request, int source, int output) {
    if (!ensureStarted()) return std::nullopt;
    const int fds[2] = {source, output};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
    iovec iov{const_cast<char*>(request.data()), request.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof fds);
    std::memcpy(CMSG_DATA(c), fds, sizeof fds);
    ssize_t sent;
    do {
        sent = ::sendmsg(socket_, &msg, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size())) {
        kill();
        return std::nullopt;
    }

    const Deadline deadline = deadlineAfter(options_.wallSeconds);
    char reply[64];
    ssize_t got = -1;
    for (;;) {
        const std::optional<int> timeoutMs = pollTimeout(deadline);
        if (!timeoutMs) break;
        pollfd p{socket_, POLLIN, 0};
        const int n = ::poll(&p, 1, *timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got = ::recv(socket_, reply, sizeof reply - 1, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        break;
    }
    int status = -1;
    long long cpuMs = -1;
    if (got > 0) {
        reply[got] = '\0';
        if (std::sscanf(reply, "%d %lld", &status, &cpuMs) != 2 || status < 0 || cpuMs < 0) got = -1;
    }
    if (got <= 0) {  // ended, hung or answered nonsense
        kill();
        return std::nullopt;
    }
    const double budget = options_.cpuSeconds > 0 ? std::ceil(options_.cpuSeconds) * kServerCpuFiles : 0;
    if (++files_ >= kFilesPerServer || (budget > 0 && cpuMs / 1000.0 + std::ceil(options_.cpuSeconds) + 1 > budget))
        stop();
    return status;
}

void ToolServer::stop() {
    if (pid_ <= 0) return;
    ::close(socket_);  // the tool's end of input
    socket_ = -1;
    if (!awaitExit(pid_, pidfd_, deadlineAfter(1))) ::kill(pid_, SIGKILL);
    kill();
}

void ToolServer::kill() {
    if (pid_ <= 0) return;
    // Unreaped, its pid and group cannot be reused by another process.
    ::kill(pid_, SIGKILL);
    ::kill(-pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (socket_ >= 0) ::close(socket_);
    if (pidfd_ >= 0) ::close(pidfd_);
    socket_ = pidfd_ = -1;
    pid_ = -1;
}

// "LONGEST QUALITY EXTENSION"; an extension that would not read back as one word is left out.
std::string serveRequest(const ThumbnailJob& job) {
    std::string request = std::to_string(job.longestSide);
    request.append(" ").append(std::to_string(job.quality));
    const std::string ext = job.source.extension().string();
    const bool plain = !ext.empty() && ext.size() < 60 &&
                       std::all_of(ext.begin(), ext.end(), [](unsigned char ch) { return ch > ' ' && ch < 0x7F; });
    if (plain) request.append(" ").append(ext);
    return request;
}

// One job through the long-lived tools: we open the source and create the
// output's temporary, the tool only reads and writes the descriptors it is given.
bool runServed(const ThumbnailJob& job, ToolServer& still, ToolServer& clip) {
    if (!validJob(job)) return false;
    std::error_code ec;
    const std::filesystem::path output = std::filesystem::absolute(job.output, ec);
    if (ec) return false;
    struct stat folder {};
    if (::stat(output.parent_path().c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return false;

    // O_NONBLOCK so that a FIFO cannot stall the open; only regular files pass.
    const int source = ::open(job.source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (source < 0) return false;
    struct CloseFd {
        int fd;
        ~CloseFd() { ::close(fd); }
    } closeSource{source};
    struct stat in {}, existing {};
    if (::fstat(source, &in) != 0 || !S_ISREG(in.st_mode) || in.st_size <= 0) return false;
    // We open as root; the file must still be one the tool's user could read itself.
    if (::geteuid() == 0 && !fileReadableBy(in, still.uid(), still.gid())) return false;
    ::fcntl(source, F_SETFL, 0);
    // Renaming the thumbnail onto its own source would destroy a recovered file.
    if (::stat(output.c_str(), &existing) == 0 && existing.st_dev == in.st_dev && existing.st_ino == in.st_ino)
        return false;

    if (!still.ensureStarted()) return false;
    const std::filesystem::path temp = thumbnailTempPath(output, still.pid());
    ::unlink(temp.c_str());  // left by an earlier process with the same number
    const int out = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) return false;
    const std::string request = serveRequest(job);
    std::optional<int> status = still.run(request, source, out);
    if (status == kToolHandOver) status = clip.run(request, source, out);

    struct stat written {};
    bool ok = status == 0 && ::fstat(out, &written) == 0 && S_ISREG(written.st_mode) && written.st_size > 0;
    if (ok && ::geteuid() == 0) ok = ::fchown(out, folder.st_uid, folder.st_gid) == 0;
    ok = ok && ::fchmod(out, 0644) == 0;
    ok = ::close(out) == 0 && ok;
    // Never over another file: the name may be a recovered file's, or a thumbnail of another.
    ok = ok && renameNoReplace(AT_FDCWD, temp.c_str(), AT_FDCWD, output.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace

std::filesystem::path thumbnailTempPath(const std::filesystem::path& output, long pid) {
    std::string name = ".";
    name.append(output.filename().string()).append(".").append(std::to_string(pid)).append(".part");
    return output.parent_path() / name;
}

std::string defaultThumbnailToolPath() {
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || self.empty()) return {};
    return (self.parent_path() / "tessarine-thumb").string();
}

bool runThumbnailTool(const ThumbnailJob& job, const ThumbnailOptions& options, ThumbnailRunInfo* info) {
    ThumbnailRunInfo local;
    ThumbnailRunInfo& result = info ? *info : local;
    result = {};
    if (!validJob(job)) return false;
    const std::string tool = options.toolPath.empty() ? defaultThumbnailToolPath() : options.toolPath;
    if (tool.empty()) return false;

    std::error_code ec;
    const std::filesystem::path source = std::filesystem::absolute(job.source, ec);
    if (ec) return false;
    const std::filesystem::path output = std::filesystem::absolute(job.output, ec);
    if (ec) return false;

    ChildSetup setup{};
    setup.dropIds = ::geteuid() == 0;
    setup.uid = options.uid.value_or(0) != 0 ? *options.uid : kNobody;
    setup.gid = options.gid.value_or(0) != 0 ? *options.gid : kNobody;

    // The tool writes where it may; when that is not beside the output, we
    // move its result into place ourselves and give it the folder's owner.
    struct stat folder {};
    if (::stat(output.parent_path().c_str(), &folder) != 0 || !S_ISDIR(folder.st_mode)) return false;
    ScratchFolder scratch;
    std::filesystem::path toolOutput = output;
    if (setup.dropIds && !folderWritableBy(folder, setup.uid, setup.gid)) {
        if (!scratch.create(output.parent_path(), setup.uid, setup.gid)) return false;
        toolOutput = scratch.path() / output.filename();
    }

    const std::filesystem::path sourceFolder = source.parent_path();
    const int folderFd = ::open(sourceFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0) return false;
    struct CloseFd {
        int fd;
        ~CloseFd() { ::close(fd); }
    } closeFolder{folderFd};
    const std::filesystem::path toolSource = source.filename();
    std::filesystem::path toolTarget = toolOutput;
    if (output.parent_path() == sourceFolder) toolTarget = toolOutput.lexically_relative(sourceFolder);

    std::vector<std::string> args{tool, toolSource.string(), toolTarget.string(), std::to_string(job.longestSide),
                                  std::to_string(job.quality)};
    std::vector<std::string> env = childEnvironment();
    const std::vector<char*> argv = pointers(args);
    const std::vector<char*> envp = pointers(env);

    setup.tool = args[0].c_str();
    setup.argv = argv.data();
    setup.envp = envp.data();
    if (options.cpuSeconds > 0) setup.cpuSeconds = static_cast<rlim_t>(std::ceil(std::min(options.cpuSeconds, 1e6)));
    // The sanitizers reserve terabytes of address space, so a sanitizer build
    // of the tool runs without the memory limit.
    if (!kAddressSanitizer) setup.memoryBytes = static_cast<rlim_t>(options.memoryBytes);
    setup.parent = ::getpid();
    setup.folder = folderFd;
    setup.channel = -1;

    const Deadline deadline = deadlineAfter(options.wallSeconds);

    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) runChild(setup);
    result.started = true;

    const int pidfd = openProcessFd(pid);
    const bool exited = awaitExit(pid, pidfd, deadline);
    // While the child is unreaped its pid and group cannot be reused, so these
    // kills reach only the tool and whatever it started.
    if (!exited) {
        result.timedOut = true;
        ::kill(pid, SIGKILL);
    }
    ::kill(-pid, SIGKILL);
    int status = 0;
    pid_t reaped;
    do {
        reaped = ::waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    if (pidfd >= 0) ::close(pidfd);
    if (reaped == pid) {
        if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    }

    bool ok = !result.timedOut && result.exitStatus == 0 && isRegularFile(toolOutput);
    if (!ok) ::unlink(thumbnailTempPath(toolOutput, pid).c_str());
    if (ok && toolOutput != output) {
        ok = renameNoReplace(AT_FDCWD, toolOutput.c_str(), AT_FDCWD, output.c_str()) == 0;
        if (ok) ::lchown(output.c_str(), folder.st_uid, folder.st_gid);
    }
    return ok;
}

ThumbnailQueue::ThumbnailQueue(ThumbnailOptions options, unsigned workers) : options_(std::move(options)) {
    workers = std::clamp(workers, 1u, 16u);
    workers_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) workers_.emplace_back([this](std::stop_token stop) { work(stop); });
}

ThumbnailQueue::~ThumbnailQueue() {
    wait();
    // workers_ goes first: each jthread is asked to stop and joined.
}

void ThumbnailQueue::submit(ThumbnailJob job, Done done) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back({std::move(job), std::move(done)});
        ++pending_;
    }
    jobReady_.notify_one();
}

void ThumbnailQueue::wait() {
    std::unique_lock lock(mutex_);
    allDone_.wait(lock, [&] { return pending_ == 0; });
}

std::size_t ThumbnailQueue::pending() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

void ThumbnailQueue::dropQueued() {
    std::deque<Entry> dropped;
    {
        std::lock_guard lock(mutex_);
        dropped.swap(queue_);
    }
    for (Entry& entry : dropped) {
        if (entry.done) {
            try {
                entry.done(entry.job, false);
            } catch (...) {
                // As on a worker: a caller's callback must not end the caller.
            }
        }
    }
    std::lock_guard lock(mutex_);
    pending_ -= dropped.size();
    if (pending_ == 0) allDone_.notify_all();
}

void ThumbnailQueue::work(std::stop_token stop) {
    // This worker's own long-lived tools, when the options ask for them.
    std::optional<ToolServer> still, clip;
    if (options_.reuseProcesses) {
        const std::string tool = options_.toolPath.empty() ? defaultThumbnailToolPath() : options_.toolPath;
        still.emplace(tool, options_);
        clip.emplace((std::filesystem::path(tool).parent_path() / "tessarine-thumb-video").string(), options_);
    }
    for (;;) {
        Entry entry;
        {
            std::unique_lock lock(mutex_);
            if (!jobReady_.wait(lock, stop, [&] { return !queue_.empty(); })) return;
            entry = std::move(queue_.front());
            queue_.pop_front();
        }
        const bool ok = still ? runServed(entry.job, *still, *clip) : runThumbnailTool(entry.job, options_);
        if (entry.done) {
            try {
                entry.done(entry.job, ok);
            } catch (...) {
                // A caller's callback must not take the worker down with it.
            }
        }
        std::lock_guard lock(mutex_);
        if (--pending_ == 0) allDone_.notify_all();
    }
}

}  // namespace vf
