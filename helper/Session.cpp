#include "helper/Session.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "helper/DiskCarver.h"
#include "helper/OutputDirectory.h"
#include "helper/ProgressWriter.h"
#include "helper/ThumbnailAdapter.h"
#include "helper/io/Log.h"
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

// Points standard output and standard error at the debug log. The log lives in
// a folder every user can write, so it is opened without following a link and
// refused when someone else's file stands there.
void redirectToLog(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "TessarineHelper: not logging to %s: %s\n", path.c_str(), std::strerror(errno));
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        std::fprintf(stderr, "TessarineHelper: not logging to %s: it is not our own plain file\n", path.c_str());
        ::close(fd);
        return;
    }
    if (::ftruncate(fd, 0) != 0) {
        // An unwritable log only costs the log.
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // One open file for both streams, so their lines never overwrite each other.
    ::dup2(fd, STDOUT_FILENO);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
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

int runSession(int argc, char** argv, const SessionOptions& options) {
    if (options.redirectOutput) redirectToLog(options.debugLogPath);
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

    auto fail = [&](const std::string& message) {
        progress.write(record(0, 0, 0, 0, "Error", true, message));
        return 1;
    };
    if (::getuid() != 0) return fail("Must run as root");

    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0)
        return fail("Device not found: " + devicePath + " - " + std::strerror(errno));
    const bool isChar = S_ISCHR(st.st_mode);
    if (!isChar && !S_ISBLK(st.st_mode)) return fail(devicePath + " is not a valid disk device");
    logLine("✅ Device validated: " + devicePath + " (type: " + (isChar ? "character" : "block") + ")");

    const std::string disk = diskIdentifier(devicePath);
    logLine("Unmounting " + disk + "...");
    progress.write(record(0, 0, 0, 0, "Unmounting disk…", false));
    const UnmountResult unmounted = unmountDisk(disk);
    logLine("diskutil: " + trim(unmounted.output));
    std::this_thread::sleep_for(std::chrono::seconds(1));

    // The invoking user: the folder's owner, and who the scan runs as once the device is open.
    std::uint32_t uid = 501, gid = 20;
    std::string ownerLine = "⚠️ Using fallback: uid=501 gid=20";
    const auto sudoUid = parseId(std::getenv("SUDO_UID"));
    const auto sudoGid = parseId(std::getenv("SUDO_GID"));
    struct stat console {};
    if (sudoUid && sudoGid) {
        uid = *sudoUid;
        gid = *sudoGid;
        ownerLine = "📁 Using sudo user: uid=" + std::to_string(uid) + " gid=" + std::to_string(gid);
    } else if (::stat("/dev/console", &console) == 0) {
        uid = console.st_uid;
        gid = console.st_gid;
        ownerLine = "📁 Using console owner: uid=" + std::to_string(uid) + " gid=" + std::to_string(gid);
    }

    std::error_code ec;
    std::filesystem::create_directories(outputDir, ec);
    if (!ec) std::filesystem::permissions(outputDir, std::filesystem::perms(0755), ec);
    if (ec) {
        logLine("⚠️ Could not create output dir: " + ec.message());
    } else {
        logLine(ownerLine);
        // lchown: a link planted at the folder's path is never followed.
        if (::lchown(outputDir.c_str(), uid, gid) != 0) {
            // The print follows regardless, as the log has always shown.
        }
        logLine("✅ Set output directory owner to uid=" + std::to_string(uid) + " gid=" + std::to_string(gid));
    }

    DiskCarver carver;
    carver.controlFilePath = controlPath;
    carver.owner = ownerFromEnvironment();
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
        if (uid != 0 && !dropPrivileges(uid, gid, why)) {
            ::close(*fd);
            logLine("❌ Could not give up root (" + why + "); not scanning");
            return fail("Could not drop root privileges to uid " + std::to_string(uid) + ": " + why);
        }
        if (uid != 0) logLine("✅ Running as uid=" + std::to_string(uid) + " gid=" + std::to_string(gid));
        // Made after the drop, so the tool runs as the user who owns the folder.
        const auto thumbs = makeThumbnailSink(Owner{uid, gid});
        carver.thumbnails = thumbs.get();
        carver.scanDescriptor(*fd, devicePath, outputDir, resumeOffset);
        carver.thumbnails = nullptr;
        ::close(*fd);
    }
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
