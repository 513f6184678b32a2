#include "app/FileExporter.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "platform/Files.h"

namespace vf {
namespace {

constexpr std::string_view kTempPrefix = ".vf-export-";
constexpr std::size_t kChunk = 1 << 20;

std::string describe(int err) { return std::system_category().message(err); }

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports the error close gives (a network or USB disk may
    // only say here that the data did not reach it).
    int close() {
        const int fd = fd_;
        fd_ = -1;
        return fd >= 0 && ::close(fd) != 0 ? errno : 0;
    }

private:
    int fd_;
};

// Names come from the progress file; only a plain name inside the folder is taken.
bool plainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool sameContent(int a, int b, std::uint64_t size) {
    std::vector<char> x(1 << 20), y(1 << 20);
    for (std::uint64_t off = 0; off < size;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(x.size(), size - off));
        const ssize_t na = ::pread(a, x.data(), want, static_cast<off_t>(off));
        const ssize_t nb = ::pread(b, y.data(), want, static_cast<off_t>(off));
        if (na <= 0 || na != nb || std::memcmp(x.data(), y.data(), static_cast<std::size_t>(na)) != 0) return false;
        off += static_cast<std::uint64_t>(na);
    }
    return true;
}

// Copies the whole of `in` to `out`: 0, or the errno of the failure.
int copyData(int in, int out, const std::atomic<bool>* cancel) {
    bool kernelCopy = true;
    std::vector<char> buf;
    for (;;) {
        if (cancel && cancel->load(std::memory_order_relaxed)) return ECANCELED;
        if (kernelCopy) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
            if (n > 0) {
                // Start writing back what is copied, so the flush before naming waits less.
                ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
                continue;
            }
            if (n == 0) return 0;
            if (errno == EINTR) continue;
            // Not between these two file systems: copy through memory instead.
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
            kernelCopy = false;
            buf.resize(1 << 20);
        }
        const ssize_t n = ::read(in, buf.data(), buf.size());
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buf.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return errno;
            }
            done += w;
        }
        ::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
    }
}

// Gives `tmp` the name `name` unless something already has it: 0, EEXIST, or another errno.
int renameUnlessTaken(int dir, const std::string& tmp, const std::string& name) {
    const int err = renameNoReplace(dir, tmp.c_str(), dir, name.c_str());
    if (err != EPERM && err != EOPNOTSUPP) return err;
    // FAT can neither rename without replacing nor link: look, then rename (a
    // name taken in between is lost to that race only).
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    return ::renameat(dir, tmp.c_str(), dir, name.c_str()) == 0 ? 0 : errno;
}

ExportFileResult failure(const std::string& name, int err) {
    return {ExportFileResult::Outcome::failed, {}, "❌ Failed to copy " + name + ": " + describe(err)};
}

}  // namespace

std::string clashName(const std::string& name, unsigned n) {
    if (n == 0) return name;
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return name + "_" + std::to_string(n);
    return name.substr(0, dot) + "_" + std::to_string(n) + name.substr(dot);
}

bool FileExporter::isTemporaryName(const std::string& name) { return name.rfind(kTempPrefix, 0) == 0; }

std::unique_ptr<FileExporter> FileExporter::open(const std::filesystem::path& source,
                                                 const std::filesystem::path& destination, std::string* error) {
    const int src = ::open(source.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (src < 0) {
        if (error) *error = describe(errno);
        return nullptr;
    }
    const int dst = ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dst < 0) {
        if (error) *error = describe(errno);
        ::close(src);
        return nullptr;
    }
    return std::unique_ptr<FileExporter>(new FileExporter(src, dst));
}

FileExporter::~FileExporter() {
    ::close(sourceFd_);
    ::close(destinationFd_);
}

// A copy written under its hidden name, not yet flushed nor named.
struct StagedCopy {
    std::string name, tmp;
    std::uint64_t size;
    Fd in, out;
};

namespace {

// Whether the regular file `target` in `dir` holds the same bytes as `in`.
bool identicalThere(int dir, const std::string& target, const struct stat& there, int in, std::uint64_t size) {
    if (!S_ISREG(there.st_mode) || static_cast<std::uint64_t>(there.st_size) != size) return false;
    Fd other(::openat(dir, target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    return other.get() >= 0 && sameContent(in, other.get(), size);
}

ExportFileResult alreadyThere(const std::string& name, const std::string& target) {
    return {ExportFileResult::Outcome::alreadyThere, target,
            target == name ? std::string() : "📁 " + name + " is already there as " + target};
}

constexpr unsigned kMaxClashes = 1'000'000;

}  // namespace

ExportFileResult FileExporter::exportFile(const RecoveredFileInfo& file, const std::atomic<bool>* cancel) {
    std::unique_ptr<StagedCopy> staged;
    const ExportFileResult result = stage(file, cancel, &staged);
    return staged ? commit(*staged) : result;
}

ExportFileResult FileExporter::stage(const RecoveredFileInfo& file, const std::atomic<bool>* cancel,
                                     std::unique_ptr<StagedCopy>* staged) {
    const std::string& name = file.fileName;
    if (!plainName(name)) return failure(name, EINVAL);
    // Never through a link, and never blocking on a FIFO planted in the cache.
    Fd in(::openat(sourceFd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (in.get() < 0) return failure(name, errno);
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return failure(name, errno);
    if (!S_ISREG(st.st_mode)) return failure(name, EINVAL);
    ::fcntl(in.get(), F_SETFL, 0);
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size < file.fileSize &&
        static_cast<double>(size) < kTruncationTolerance * static_cast<double>(file.fileSize))
        return {ExportFileResult::Outcome::failed, {},
                "❌ Refusing truncated export for " + name + ": cache has " + std::to_string(size) +
                    " bytes, scan expected " + std::to_string(file.fileSize) + " bytes"};

    // A copy already there under the name or one of its clash names ends the work early.
    for (unsigned n = 0;; ++n) {
        if (n == kMaxClashes) return failure(name, EEXIST);
        const std::string target = clashName(name, n);
        struct stat there {};
        if (::fstatat(destinationFd_, target.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return failure(name, errno);
            break;
        }
        if (identicalThere(destinationFd_, target, there, in.get(), size)) return alreadyThere(name, target);
    }

    static std::atomic<unsigned> counter{0};
    std::string tmp = std::string(kTempPrefix) + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    Fd out(::openat(destinationFd_, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (out.get() < 0) return failure(name, errno);
    int err = copyData(in.get(), out.get(), cancel);
    // Times as a copy in the file manager keeps them.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times);
    if (err != 0) {
        out.close();
        ::unlinkat(destinationFd_, tmp.c_str(), 0);
        return failure(name, err);
    }
    staged->reset(new StagedCopy{name, std::move(tmp), size, Fd(in.release()), Fd(out.release())});
    return {};
}

// The name is chosen again here: another file may have taken it meanwhile.
ExportFileResult FileExporter::commit(StagedCopy& s) {
    int err = ::fsync(s.out.get()) != 0 ? errno : 0;
    if (const int closed = s.out.close(); err == 0) err = closed;
    if (err != 0) {
        discard(s);
        return failure(s.name, err);
    }
    for (unsigned n = 0; n < kMaxClashes; ++n) {
        const std::string target = clashName(s.name, n);
        struct stat there {};
        if (::fstatat(destinationFd_, target.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
            if (identicalThere(destinationFd_, target, there, s.in.get(), s.size)) {
                discard(s);
                return alreadyThere(s.name, target);
            }
            continue;
        }
        if (errno != ENOENT) break;
        err = renameUnlessTaken(destinationFd_, s.tmp, target);
        if (err == EEXIST) continue;
        if (err != 0) break;
        return {ExportFileResult::Outcome::copied, target,
                target == s.name ? std::string()
                                 : "📁 " + s.name + " saved as " + target + ": another file of that name is already there"};
    }
    if (err == 0) err = errno != 0 ? errno : EEXIST;
    discard(s);
    return failure(s.name, err);
}

void FileExporter::discard(StagedCopy& s) {
    s.out.close();
    ::unlinkat(destinationFd_, s.tmp.c_str(), 0);
}

bool FileExporter::finish() { return ::fsync(destinationFd_) == 0 || errno == EINVAL; }

void FileExporter::removeStaleTemporaries() {
    for (const std::string& name : folderEntries(destinationFd_)) {
        if (!isTemporaryName(name)) continue;
        // ".vf-export-<pid>-<n>": an export still running elsewhere keeps its file.
        const long pid = std::strtol(name.c_str() + kTempPrefix.size(), nullptr, 10);
        if (pid > 0 && pid != ::getpid() && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) continue;
        struct stat st {};
        if (::fstatat(destinationFd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid())
            ::unlinkat(destinationFd_, name.c_str(), 0);
    }
}

// Copies are flushed a batch at a time: the first flush of a batch writes what
// the others need too, so the disk waits once where it would wait per file.
// Only then are they named, the folder flushed, and the files reported.
ExportCounts exportAll(FileExporter& exporter, const std::vector<RecoveredFileInfo>& files,
                       const std::function<void(const ExportFileResult&, const ExportCounts&)>& afterEach,
                       const std::atomic<bool>* cancel) {
    constexpr std::size_t kBatchFiles = 32;
    constexpr std::uint64_t kBatchBytes = 256ull << 20;
    struct Entry {
        ExportFileResult result;
        std::unique_ptr<StagedCopy> staged;
    };
    std::vector<Entry> batch;
    std::uint64_t batchBytes = 0;
    ExportCounts counts;
    const auto cancelled = [cancel] { return cancel && cancel->load(); };
    const auto settle = [&] {
        if (cancelled()) {
            for (Entry& e : batch)
                if (e.staged) exporter.discard(*e.staged);
        } else {
            for (Entry& e : batch)
                if (e.staged) e.result = exporter.commit(*e.staged);
            exporter.finish();
            for (const Entry& e : batch) {
                (e.result.succeeded() ? counts.copied : counts.failed) += 1;
                if (afterEach) afterEach(e.result, counts);
            }
        }
        batch.clear();
        batchBytes = 0;
    };
    exporter.removeStaleTemporaries();
    for (const auto& file : files) {
        if (cancelled()) break;
        Entry e;
        e.result = exporter.stage(file, cancel, &e.staged);
        if (e.staged) batchBytes += e.staged->size;
        batch.push_back(std::move(e));
        if (batch.size() >= kBatchFiles || batchBytes >= kBatchBytes) settle();
    }
    settle();
    return counts;
}

}  // namespace vf
