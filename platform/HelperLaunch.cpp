#include "platform/HelperLaunch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vf {

std::string shellQuote(std::string_view value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::vector<std::string> helperArguments(const HelperInvocation& inv) {
    return {inv.helperPath,  inv.devicePath,   inv.outputDirectory,           inv.progressFile,
            inv.controlFile, inv.formatFilter, std::to_string(inv.minFileSize), std::to_string(inv.resumeOffset)};
}

std::string quotedHelperCommand(const HelperInvocation& inv) {
    std::string out;
    for (const std::string& a : helperArguments(inv)) {
        if (!out.empty()) out += ' ';
        out += shellQuote(a);
    }
    return out;
}

std::string sudoShellCommand(const HelperInvocation& inv, std::string_view launchLog) {
    return "sudo " + quotedHelperCommand(inv) + " > " + std::string(launchLog) + " 2>&1 &";
}

std::string appleScriptSource(const HelperInvocation& inv, std::string_view launchLog) {
    std::string escaped;
    for (char c : sudoShellCommand(inv, launchLog)) {
        if (c == '\\' || c == '"') escaped += '\\';
        escaped += c;
    }
    return "do shell script \"" + escaped + "\" with administrator privileges";
}

namespace {

// A file of ours that may be written: regular, one link, this user's.
bool isOwnPlainFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid();
}

int openOwnFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    // Truncate only once the file is known to be ours.
    if (!isOwnPlainFile(fd) || ::ftruncate(fd, 0) != 0) {
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

}  // namespace

LaunchLog openLaunchLog(const std::string& path, const std::string& fallbackDir) {
    if (const int fd = openOwnFile(path); fd >= 0) return {fd, path};
    const std::string dir = fallbackDir + "/tessarine-" + std::to_string(::geteuid());
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st {};
    // The folder must be ours and closed to others, or a planted one could hold a link.
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) != 0)
        return {};
    const std::string privatePath = dir + "/tessarine_launch.log";
    if (const int fd = openOwnFile(privatePath); fd >= 0) return {fd, privatePath};
    return {};
}

}  // namespace vf
