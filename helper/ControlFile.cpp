#include "helper/ControlFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vf {
namespace {
// The longest sensible content: a word with some white space around it.
constexpr std::size_t kMaxControlBytes = 4096;
}

ControlWord parseControlWord(std::string_view text) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && space(text.front())) text.remove_prefix(1);
    while (!text.empty() && space(text.back())) text.remove_suffix(1);
    if (text == "pause") return ControlWord::pause;
    if (text == "resume") return ControlWord::resume;
    if (text == "stop") return ControlWord::stop;
    return ControlWord::none;
}

ControlWord readControlFile(const std::string& path, std::uint32_t ownerUid, bool* foreign) {
    // Non-blocking so that a FIFO planted at the path cannot hang the scan.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return ControlWord::none;
    struct stat st {};
    std::string text;
    const bool stat = ::fstat(fd, &st) == 0;
    if (stat && st.st_uid != 0 && st.st_uid != ownerUid) {
        if (foreign) *foreign = true;
        ::close(fd);
        return ControlWord::none;
    }
    if (stat && S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= kMaxControlBytes) {
        char buf[kMaxControlBytes + 1];
        std::size_t got = 0;
        while (got < sizeof buf) {
            const ssize_t n = ::read(fd, buf + got, sizeof buf - got);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got <= kMaxControlBytes) text.assign(buf, got);
    }
    ::close(fd);
    return parseControlWord(text);
}

}  // namespace vf
