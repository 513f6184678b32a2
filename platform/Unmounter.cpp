#include "platform/Unmounter.h"

#include <cctype>

namespace vf {

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    auto unescape = [](std::string_view s) {
        std::string out;
        for (std::size_t i = 0; i < s.size(); ++i) {
            auto digit = [&](std::size_t k) { return std::isdigit(static_cast<unsigned char>(s[k])) != 0; };
            if (s[i] == '\\' && i + 3 < s.size() && digit(i + 1) && digit(i + 2) && digit(i + 3)) {
                const int v = (s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0');
                out += static_cast<char>(v);
                i += 3;
            } else {
                out += s[i];
            }
        }
        return out;
    };
    std::vector<MountEntry> entries;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        const std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        std::vector<std::string_view> fields;
        std::size_t f = 0;
        while (f < line.size()) {
            while (f < line.size() && line[f] == ' ') ++f;
            std::size_t e = line.find(' ', f);
            if (e == std::string_view::npos) e = line.size();
            if (e > f) fields.push_back(line.substr(f, e - f));
            f = e;
        }
        // id parent major:minor root mountpoint options [optional...] - fstype source superopts
        std::size_t dash = 0;
        for (std::size_t i = 6; i < fields.size(); ++i)
            if (fields[i] == "-") { dash = i; break; }
        if (fields.size() < 5 || dash == 0 || dash + 2 >= fields.size()) continue;
        entries.push_back({unescape(fields[4]), unescape(fields[dash + 2])});
    }
    return entries;
}

bool isOnDisk(std::string_view devicePath, std::string_view diskIdentifier) {
    constexpr std::string_view dev = "/dev/";
    if (diskIdentifier.empty() || devicePath.substr(0, dev.size()) != dev) return false;
    std::string_view name = devicePath.substr(dev.size());
    if (name.substr(0, diskIdentifier.size()) != diskIdentifier) return false;
    std::string_view rest = name.substr(diskIdentifier.size());
    if (rest.empty()) return true;
    // Disks whose name ends in a digit number their partitions "p1"; others just "1".
    const bool endsInDigit = std::isdigit(static_cast<unsigned char>(diskIdentifier.back()));
    if (endsInDigit) {
        if (rest.front() != 'p') return false;
        rest.remove_prefix(1);
    }
    if (rest.empty()) return false;
    for (char c : rest)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::vector<std::string> diskutilUnmountArguments(std::string_view diskIdentifier) {
    return {"/usr/sbin/diskutil", "unmountDisk", std::string(diskIdentifier)};
}

}  // namespace vf
