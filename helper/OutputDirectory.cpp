#include "helper/OutputDirectory.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "platform/Files.h"

namespace vf {
namespace {

constexpr std::string_view kTempPrefix = ".vf-partial-";
constexpr std::string_view kThumbSuffix = ".thumb.jpg";
// Characters FAT, exFAT and NTFS refuse in a name, where users copy their
// photos to. A deleted short entry's lost first letter reads "?".
constexpr std::string_view kNotOnCardsOrDisks = "/\\?*:<>|\"";

bool endsWith(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// ".NAME.thumb.jpg.PID.part": where the thumbnail tool writes before its rename.
bool isThumbnailTemporary(const std::string& name) {
    constexpr std::string_view kPart = ".part";
    if (name.size() < 2 || name[0] != '.' || !endsWith(name, kPart)) return false;
    const std::string rest = name.substr(0, name.size() - kPart.size());
    const auto dot = rest.rfind('.');
    if (dot == std::string::npos || dot + 1 == rest.size()) return false;
    for (std::size_t i = dot + 1; i < rest.size(); ++i)
        if (rest[i] < '0' || rest[i] > '9') return false;
    return endsWith(rest.substr(0, dot), kThumbSuffix);
}

}  // namespace

std::optional<std::uint32_t> parseId(const char* text) {
    if (!text) return std::nullopt;
    std::string_view s(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    std::uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
        if (v > UINT32_MAX) return std::nullopt;
    }
    if (negative && v != 0) return std::nullopt;
    return static_cast<std::uint32_t>(v);
}

Owner ownerFromEnvironment() {
    Owner o;
    if (auto uid = parseId(std::getenv("SUDO_UID"))) o.uid = *uid;
    if (auto gid = parseId(std::getenv("SUDO_GID"))) o.gid = *gid;
    return o;
}

PendingFile::~PendingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) ::unlinkat(dirFd_, tempName_.c_str(), 0);
}

bool PendingFile::write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::uint64_t PendingFile::size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::unique_ptr<OutputDirectory> OutputDirectory::open(const std::filesystem::path& dir, std::optional<Owner> owner) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::unique_ptr<OutputDirectory>(new OutputDirectory(dir, fd, owner));
}

OutputDirectory::~OutputDirectory() {
    if (manifestFd_ >= 0) ::close(manifestFd_);
    if (fd_ >= 0) ::close(fd_);
}

bool OutputDirectory::isTemporaryName(const std::string& name) { return name.rfind(kTempPrefix, 0) == 0; }

bool OutputDirectory::isThumbnailName(const std::string& name) { return endsWith(name, kThumbSuffix); }

std::int64_t OutputDirectory::countFiles() const {
    std::int64_t n = 0;
    for (const std::string& name : folderEntries(fd_))
        if (name != kManifestName && !isTemporaryName(name) && !endsWith(name, kThumbSuffix)) ++n;
    return n;
}

void OutputDirectory::removeStaleTemporaries() {
    for (const std::string& name : folderEntries(fd_)) {
        if (!isTemporaryName(name) && !isThumbnailTemporary(name)) continue;
        if (::unlinkat(fd_, name.c_str(), 0) != 0 && errno == EISDIR && isTemporaryName(name))
            removeFlatFolder(fd_, name.c_str());
    }
}

bool OutputDirectory::exists(const std::string& name) const {
    struct stat st {};
    return ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<std::uint64_t> OutputDirectory::freeBytes() const {
    struct statvfs st {};
    if (::fstatvfs(fd_, &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.f_bavail) * st.f_frsize;
}

std::unique_ptr<PendingFile> OutputDirectory::create(int* error) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = std::string(kTempPrefix) + std::to_string(::getpid()) + "-" +
                                 std::to_string(counter++);
        const int fd = ::openat(fd_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            if (error) *error = errno;
            return nullptr;
        }
        // Set on the descriptor, so nothing planted under the name can be changed instead.
        if (owner_ && ::fchown(fd, owner_->uid, owner_->gid) != 0) {
            // Not root (a user's own scan): the file is the user's anyway.
        }
        ::fchmod(fd, 0644);
        return std::unique_ptr<PendingFile>(new PendingFile(fd_, fd, name));
    }
    if (error) *error = EEXIST;
    return nullptr;
}

std::optional<std::string> OutputDirectory::commit(PendingFile& file, const std::string& base, const std::string& ext,
                                                   std::uint64_t deviceOffset, bool carved) {
    const std::uint64_t size = file.size();
    if (file.fd_ >= 0) {
        if (::close(file.fd_) != 0 && file.error_ == 0) file.error_ = errno;
        file.fd_ = -1;
    }
    if (file.error_ != 0) return std::nullopt;
    openManifest();
    for (unsigned n = 0; n < 1'000'000; ++n) {
        const std::string name = (n == 0 ? base : base + "_" + std::to_string(n)) + "." + ext;
        if (exists(name) || isThumbnailName(name)) continue;
        if (manifestFd_ >= 0) {
            const std::string line = std::to_string(deviceOffset) + " " + std::to_string(size) + (carved ? " c " : " d ") + name + "\n";
            if (::write(manifestFd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
                file.error_ = errno ? errno : EIO;
                return std::nullopt;
            }
        }
        const int err = renameNoReplace(fd_, file.tempName_.c_str(), fd_, name.c_str());
        if (err == 0) {
            file.committed_ = true;
            return name;
        }
        if (err != EEXIST) {
            file.error_ = err;
            return std::nullopt;
        }
    }
    return std::nullopt;
}

bool OutputDirectory::openManifest() {
    if (manifestFd_ < 0) {
        manifestFd_ = ::openat(fd_, kManifestName, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (manifestFd_ >= 0 && owner_ && ::fchown(manifestFd_, owner_->uid, owner_->gid) != 0) {
            // Not root: it is the user's already.
        }
    }
    return manifestFd_ >= 0;
}

void OutputDirectory::recordThumbnail(std::uint64_t deviceOffset, const std::string& thumbName) {
    if (!openManifest()) return;
    // Size 0 and kind "t": an older reader finds no file of that size and passes over it.
    const std::string line = std::to_string(deviceOffset) + " 0 t " + thumbName + "\n";
    if (::write(manifestFd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        // Without the note a resumed run gives the file a thumbnail name again.
    }
}

std::map<std::uint64_t, OutputDirectory::ManifestEntry> OutputDirectory::loadManifest() const {
    std::map<std::uint64_t, ManifestEntry> out;
    const int fd = ::openat(fd_, kManifestName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return out;
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) break;  // a line cut short by a kill
        const std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        const auto s1 = line.find(' ');
        const auto s2 = s1 == std::string::npos ? s1 : line.find(' ', s1 + 1);
        if (s2 == std::string::npos || s2 + 3 > line.size() || line[s2 + 2] != ' ') continue;
        const bool carved = line[s2 + 1] == 'c';
        char* end = nullptr;
        const std::uint64_t offset = std::strtoull(line.c_str(), &end, 10);
        const std::uint64_t size = std::strtoull(line.c_str() + s1 + 1, &end, 10);
        const std::string name = line.substr(s2 + 3);
        struct stat st {};
        if (name.empty() || name.find('/') != std::string::npos) continue;
        if (line[s2 + 1] == 't') {  // follows the line of the file it belongs to
            if (auto it = out.find(offset); it != out.end() && isThumbnailName(name)) it->second.thumb = name;
            continue;
        }
        if (::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_size) != size)
            continue;
        out[offset] = ManifestEntry{name, carved, std::nullopt};
    }
    return out;
}

void OutputDirectory::discard(std::unique_ptr<PendingFile> file) { file.reset(); }

bool OutputDirectory::remove(const std::string& name) { return ::unlinkat(fd_, name.c_str(), 0) == 0; }

std::string sanitizeCardName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    std::size_t i = 0;
    while (i < name.size()) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            out.push_back(c < 0x20 || c == 0x7F || kNotOnCardsOrDisks.find(static_cast<char>(c)) != std::string_view::npos
                              ? '_'
                              : static_cast<char>(c));
            ++i;
            continue;
        }
        // Keep well-formed UTF-8 sequences; replace anything else.
        std::size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
        bool ok = len != 0 && i + len <= name.size();
        for (std::size_t k = 1; ok && k < len; ++k)
            ok = (static_cast<unsigned char>(name[i + k]) & 0xC0) == 0x80;
        if (ok && len == 3) {
            const auto c1 = static_cast<unsigned char>(name[i + 1]);
            ok = !(c == 0xE0 && c1 < 0xA0) && !(c == 0xED && c1 >= 0xA0);  // overlong, surrogates
        }
        if (ok && len == 4) {
            const auto c1 = static_cast<unsigned char>(name[i + 1]);
            ok = !(c == 0xF0 && c1 < 0x90) && !(c == 0xF4 && c1 >= 0x90);
        }
        if (ok) {
            out.append(name, i, len);
            i += len;
        } else {
            out.push_back('_');
            ++i;
        }
    }
    if (!out.empty() && out.front() == '.') out.front() = '_';
    constexpr std::size_t kMaxBytes = 200;  // leaves room for "_N" and an extension within NAME_MAX
    if (out.size() > kMaxBytes) {
        std::size_t cut = kMaxBytes;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
        out.resize(cut);
    }
    return out;
}

}  // namespace vf
