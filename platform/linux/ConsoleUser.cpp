#include "platform/ConsoleUser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace vf {
namespace {

// logind keeps each seat's state here; /dev/console on Linux is root's whoever is logged in.
constexpr const char* kSeat0 = "/run/systemd/seats/seat0";
constexpr std::size_t kMaxStateBytes = 65536;

}  // namespace

std::optional<std::uint32_t> activeUidOfSeat(std::string_view text) {
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        constexpr std::string_view kKey = "ACTIVE_UID=";
        if (line.substr(0, kKey.size()) != kKey) continue;
        line.remove_prefix(kKey.size());
        if (line.empty() || line.size() > 10) return std::nullopt;
        std::uint64_t v = 0;
        for (char c : line) {
            if (c < '0' || c > '9') return std::nullopt;
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
        // (uid_t)-1 is "no user" to every call that takes one.
        if (v >= UINT32_MAX) return std::nullopt;
        return static_cast<std::uint32_t>(v);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> consoleUser() {
    const int fd = ::open(kSeat0, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::string text;
    // Only the login manager (root) writes the seat's state; anything else is not its word.
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 && !(st.st_mode & 022) &&
        static_cast<std::size_t>(st.st_size) <= kMaxStateBytes) {
        char buf[4096];
        ssize_t n;
        while (text.size() <= kMaxStateBytes && (n = ::read(fd, buf, sizeof buf)) > 0)
            text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return activeUidOfSeat(text);
}

}  // namespace vf
