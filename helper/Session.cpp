#include "helper/Session.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "helper/DiskCarver.h"
#include "helper/OutputDirectory.h"
#include "helper/ProgressWriter.h"
#include "helper/ThumbnailAdapter.h"
#include "helper/io/Log.h"
#include "platform/ConsoleUser.h"
#include "platform/DiskQuery.h"
#include "platform/Files.h"
#include "platform/Privileges.h"
#include "platform/Unmounter.h"

namespace vf {
namespace {

std::string trim(std::string_view s) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    return std::string(s);
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    for (std::size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
        s.replace(pos, from.size(), to);
}

std::string nowText() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
    return buf;
}

std::string idText(std::uint32_t uid, std::uint32_t gid) {
    return "uid=" + std::to_string(uid) + " gid=" + std::to_string(gid);
}

// Why an open descriptor of the fixed log is not the user's own log, or nothing when it is.
std::optional<std::string> notOwnLog(int fd, std::uint32_t uid) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::string(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return std::string("it is not a plain file");
    if (st.st_uid != uid) return std::string("it belongs to another user");
    // A second name may be someone else's file that a link made ours to write.
    if (st.st_nlink != 1) return std::string("it has another name (a hard link)");
    return std::nullopt;
}

constexpr int kLogFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_APPEND;

// Points standard output and standard error at the debug log. It lives in a
// folder every user can write, so it is opened as the invoking user, never
// through a link and never waiting on a FIFO, and used only when it is that
// user's own plain file with no other name. Another user's earlier log is
// replaced by a new one (the rename takes the place of the name, it never
// opens what stood there); links, FIFOs and hard-linked files are left alone
// and the scan goes on without a log.
void redirectToLog(const std::string& path, const InvokingUser& user) {
    const std::uint32_t uid = ::geteuid() == 0 ? user.uid : ::geteuid();
    int fd = -1;
    std::string why;
    {
        ActingAs as(user.uid, user.gid);
        fd = as.ok() ? ::open(path.c_str(), kLogFlags | O_CREAT, 0600) : -1;
        if (fd < 0) why = std::strerror(errno);
    }
    if (fd >= 0) {
        if (auto bad = notOwnLog(fd, uid)) {
            why = *bad;
            ::close(fd);
            fd = -1;
        }
    }
    struct stat st {};
    if (fd < 0 && ::geteuid() == 0 && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
        st.st_uid != uid) {
        const std::string fresh = path + ".new-" + std::to_string(::getpid());
        {
            ActingAs as(user.uid, user.gid);
            fd = as.ok() ? ::open(fresh.c_str(), kLogFlags | O_CREAT | O_EXCL, 0600) : -1;
        }
        if (fd >= 0 && (notOwnLog(fd, uid) || ::rename(fresh.c_str(), path.c_str()) != 0)) {
            ::close(fd);
            ::unlink(fresh.c_str());
            fd = -1;
        }
    }
    if (fd < 0) {
        std::fprintf(stderr, "TessarineHelper: not logging to %s: %s\n", path.c_str(), why.c_str());
        return;
    }
    // Reads and writes of a plain file never wait anyway; the flag only kept the open from waiting.
    ::fcntl(fd, F_SETFL, O_APPEND);
    if (::ftruncate(fd, 0) != 0 || ::fchmod(fd, 0600) != 0) {
        // An unwritable log only costs the log.
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // One open file for both streams, so their lines never overwrite each other.
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
}

std::optional<std::uint32_t> primaryGroupOf(std::uint32_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd pw {};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return std::nullopt;
    return found->pw_gid;
}

ProgressInfo record(std::uint64_t bytes, std::int64_t files, std::uint64_t offset, std::uint64_t total,
                    std::string phase, bool complete, std::optional<std::string> error = {}) {
    ProgressInfo p;
    p.bytesScanned = bytes;
    p.filesFound = files;
    p.currentOffset = offset;
    p.totalBytes = total;
    p.phase = std::move(phase);
    p.isComplete = complete;
    p.errorMessage = std::move(error);
    return p;
}

// A root caller's folder, made and opened as root one name at a time: a link is
// followed only out of a folder that root alone may change, so root never
// creates or opens anything through a link another user planted (in /tmp, say).
int openFolderAsRoot(const std::filesystem::path& dir) {
    int fd = ::open(dir.is_absolute() ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const auto& part : dir.relative_path()) {
        const std::string name = part.string();
        if (fd < 0) return -1;
        if (name.empty() || name == ".") continue;
        struct stat parent {};
        const bool shared = ::fstat(fd, &parent) != 0 || parent.st_uid != 0 || (parent.st_mode & 022) != 0;
        const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (shared ? O_NOFOLLOW : 0);
        int next = ::openat(fd, name.c_str(), flags);
        if (next < 0 && errno == ENOENT && (::mkdirat(fd, name.c_str(), 0755) == 0 || errno == EEXIST))
            next = ::openat(fd, name.c_str(), flags | O_NOFOLLOW);
        const int err = errno;
        ::close(fd);
        fd = next;
        errno = err;
    }
    return fd;
}

struct PreparedFolder {
    int fd = -1;
    std::string path;  // how the scan, as the user, reaches it
    std::optional<std::string> error;
};

// Creates the output folder and its missing parents while acting as the
// invoking user, so every folder made is the user's and no link leads anywhere
// the user could not go; then, as root again, hands over a folder that root
// made in an earlier run. One of another user is refused. For a scan that works
// as nobody the folder is made as root (it lies in root's home) and handed to
// nobody, who then reaches it through the descriptor held open here.
PreparedFolder prepareOutputFolder(const std::string& dir, const InvokingUser& user) {
    PreparedFolder out;
    auto failed = [&](std::string why) {
        if (out.fd >= 0) ::close(out.fd);
        out.fd = -1;
        out.error = std::move(why);
        return out;
    };
    if (dir.empty()) return failed("no output folder was given");
    const auto reason = [](int err) { return err == ENOTDIR || err == ELOOP ? "not a folder" : std::string(std::strerror(err)); };
    out.path = dir;
    if (user.nobody && ::geteuid() == 0) {
        out.fd = openFolderAsRoot(dir);
        if (out.fd < 0) return failed(reason(errno));
    } else {
        ActingAs as(user.uid, user.gid);
        if (!as.ok()) return failed(std::strerror(errno));
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) return failed(ec.message());
        out.fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (out.fd < 0) return failed(reason(errno));
    }
    struct stat st {};
    if (::fstat(out.fd, &st) != 0) return failed(std::strerror(errno));
    if (st.st_uid == 0 && ::geteuid() == 0 && ::fchown(out.fd, user.uid, user.gid) != 0) return failed(std::strerror(errno));
    if (st.st_uid != 0 && st.st_uid != user.uid) return failed("it belongs to another user");
    if (::fchmod(out.fd, 0755) != 0) return failed(std::strerror(errno));
    if (user.nobody && ::geteuid() == 0) {
        bool reachable = false;
        {
            ActingAs as(user.uid, user.gid);
            struct stat there {};
            reachable = as.ok() && ::stat(dir.c_str(), &there) == 0 && there.st_dev == st.st_dev && there.st_ino == st.st_ino;
        }
        if (!reachable) {
            const auto through = pathThroughDescriptor(out.fd);
            if (!through) return failed("nobody cannot reach it");
            out.path = *through;
        }
    }
    return out;
}

}  // namespace

std::uint64_t parseResumeOffset(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return 0;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return 0;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (v > (UINT64_MAX - digit) / 10) return 0;
        v = v * 10 + digit;
    }
    return negative && v != 0 ? 0 : v;
}

std::string diskIdentifier(std::string devicePath) {
    replaceAll(devicePath, "/dev/rdisk", "disk");
    replaceAll(devicePath, "/dev/", "");
    return devicePath;
}

InvokingUser findInvokingUser(const EnvironmentLookup& env, std::optional<std::uint32_t> consoleUid,
                              const PrimaryGroupLookup& primaryGroup, UserIds nobody) {
    InvokingUser u;
    const auto sudoUid = parseId(env("SUDO_UID"));
    const auto sudoGid = parseId(env("SUDO_GID"));
    const auto pkexecUid = parseId(env("PKEXEC_UID"));
    if (sudoUid && sudoGid) {
        u.uid = *sudoUid;
        u.gid = *sudoGid;
        u.lines.push_back("📁 Using sudo user: " + idText(u.uid, u.gid));
    } else if (pkexecUid) {
        u.uid = *pkexecUid;
        u.gid = primaryGroup(u.uid).value_or(nobody.gid);
        u.lines.push_back("📁 Using pkexec user: " + idText(u.uid, u.gid));
    } else if (consoleUid) {
        u.uid = *consoleUid;
        u.gid = primaryGroup(u.uid).value_or(nobody.gid);
        u.lines.push_back("📁 Using console owner: " + idText(u.uid, u.gid));
    } else {
        u.nobody = true;
        u.lines.push_back("⚠️ No invoking user found: the card is parsed and decoded as nobody (" +
                          idText(nobody.uid, nobody.gid) + ")");
    }
    if (!u.nobody && u.uid == 0) {
        // Root's own run: root's rights stay with unmounting and opening the card.
        u.nobody = true;
        u.lines.push_back("⚠️ Started by root: the card is parsed and decoded as nobody (" +
                          idText(nobody.uid, nobody.gid) + ")");
    }
    if (u.nobody) {
        u.uid = nobody.uid;
        u.gid = nobody.gid;
    }
    return u;
}

int runSession(int argc, char** argv, const SessionOptions& options) {
    // Known before the first line: the log itself is opened as this user.
    const InvokingUser user = findInvokingUser([](const char* name) { return std::getenv(name); }, consoleUser(),
                                               primaryGroupOf, nobodyIds());
    if (options.redirectOutput) redirectToLog(options.debugLogPath, user);
    logLine("=== TessarineHelper started at " + nowText() + " ===");
    logLine("Running as uid: " + std::to_string(::getuid()));
    if (argc < 5) {
        logLine("ERROR: Wrong argument count: " + std::to_string(argc) + " (need at least 5)");
        return 1;
    }
    const std::string devicePath = argv[1];
    const std::string outputDir = argv[2];
    ProgressWriter progress(argv[3]);
    const std::string controlPath = argv[4];
    const std::string filter = argc >= 6 ? argv[5] : "";
    const std::uint64_t minimumBytes = argc >= 7 ? parseResumeOffset(argv[6]) : 0;
    const std::uint64_t resumeOffset = argc >= 8 ? parseResumeOffset(argv[7]) : 0;
    logLine("Device: " + devicePath);
    logLine("Output: " + outputDir);
    logLine("Control: " + controlPath);
    logLine("Resume offset: " + std::to_string(resumeOffset));

    // Until root is given up, the run's files are written as the invoking user,
    // so that the user can replace each record and root writes nowhere the user
    // could not.
    progress.writeAs(user.uid, user.gid);
    auto fail = [&](const std::string& message) {
        progress.write(record(0, 0, 0, 0, "Error", true, message));
        return 1;
    };
    if (::getuid() != 0) return fail("Must run as root");

    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0)
        return fail("Device not found: " + devicePath + " - " + std::strerror(errno));
    const bool isChar = S_ISCHR(st.st_mode);
    if ((!isChar && !S_ISBLK(st.st_mode)) || (isChar && !characterDeviceIsDisk(devicePath.c_str())))
        return fail(devicePath + " is not a valid disk device");
    logLine("✅ Device validated: " + devicePath + " (type: " + (isChar ? "character" : "block") + ")");

    const std::string disk = diskIdentifier(devicePath);
    logLine("Unmounting " + disk + "...");
    const ProgressInfo unmounting = record(0, 0, 0, 0, "Unmounting disk…", false);
    progress.write(unmounting);
    const UnmountResult unmounted = unmountDisk(disk);
    logLine("diskutil: " + trim(unmounted.output));
    std::this_thread::sleep_for(std::chrono::seconds(1));

    for (const std::string& line : user.lines) logLine(line);
    const PreparedFolder folder = prepareOutputFolder(outputDir, user);
    if (folder.error) {
        logLine("❌ Could not create output dir: " + *folder.error);
        return fail("Could not create the output folder " + outputDir + ": " + *folder.error);
    }
    logLine("✅ Set output directory owner to " + idText(user.uid, user.gid));

    DiskCarver carver;
    carver.controlFilePath = controlPath;
    carver.owner = Owner{user.uid, user.gid};
    carver.minimumFileSize = minimumBytes;
    carver.diagnosticPath = options.diagnosticPath;
    if (!filter.empty()) {
        const FormatSet set = parseFormatFilter(filter);
        if (!set.empty()) {
            carver.enabledFormats = set;
            logLine("📋 Format filter: " + set.sortedNames(", "));
        }
    }
    attachProgressWriter(carver, progress);

    logLine("Starting scan…");
    // Root is needed only to open the device (and to unmount, done above); the
    // card's bytes are parsed and every file is written as the invoking user.
    if (const auto fd = carver.openDevice(devicePath, resumeOffset)) {
        std::string why;
        if (!dropPrivileges(user.uid, user.gid, why)) {
            ::close(*fd);
            logLine("❌ Could not give up root (" + why + "); not scanning");
            return fail("Could not drop root privileges to uid " + std::to_string(user.uid) + ": " + why);
        }
        logLine("✅ Running as " + idText(user.uid, user.gid));
        // The application sees the run only through this file: a scan it cannot follow is not run.
        if (!progress.write(unmounting)) {
            ::close(*fd);
            const std::string message = "Cannot write the progress file " + progress.path() + " as " +
                                        idText(user.uid, user.gid) + ": " + std::strerror(progress.lastError());
            logLine("❌ " + message);
            return 1;
        }
        // Made after the drop, so the tool runs as the user who owns the folder.
        const auto thumbs = makeThumbnailSink(Owner{user.uid, user.gid});
        carver.thumbnails = thumbs.get();
        carver.scanDescriptor(*fd, devicePath, folder.path, resumeOffset);
        carver.thumbnails = nullptr;
        ::close(*fd);
    }
    ::close(folder.fd);
    logLine("Scan complete. Files: " + std::to_string(carver.filesFound));
    return writeFinalRecord(carver, &progress);
}

void attachProgressWriter(DiskCarver& carver, ProgressWriter& writer) {
    carver.progressCallback = [&writer](std::uint64_t bytes, std::int64_t files, std::uint64_t offset,
                                        std::uint64_t total, const std::string& phase,
                                        const std::vector<RecoveredFileInfo>& list) {
        logLine("Progress: " + phase + " | bytes=" + std::to_string(bytes) + " files=" + std::to_string(files) +
                " new=" + std::to_string(list.size()));
        writer.write(record(bytes, files, offset, total, phase, false), list);
    };
}

int writeFinalRecord(DiskCarver& carver, ProgressWriter* writer) {
    if (carver.errorMessage) {
        logLine("ERROR: " + *carver.errorMessage);
        if (writer)
            writer->write(record(carver.bytesScanned, carver.filesFound, carver.currentOffset, carver.totalBytes,
                                 "Error", true, carver.errorMessage));
        return 1;
    }
    if (writer) writer->write(record(carver.bytesScanned, carver.filesFound, 0, carver.totalBytes, "Complete", true));
    logLine("=== Done ===");
    std::fflush(stdout);
    std::fflush(stderr);
    return 0;
}

}  // namespace vf
