#include "thumbnailer/ThumbnailTool.h"

namespace vf::thumb {

void say(const char* fmt, const std::string& detail) {
    std::fprintf(stderr, "tessarine-thumb: %s%s%s\n", fmt, detail.empty() ? "" : ": ", detail.c_str());
}

std::optional<int> parseInt(std::string_view s, int lo, int hi) {
    int v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return std::nullopt;
    return v;
}

std::optional<Input> openInput(const char* path) {
    // O_NONBLOCK so that a FIFO cannot stall the open; only regular files pass.
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        ::close(fd);
        return std::nullopt;
    }
    ::fcntl(fd, F_SETFL, 0);
    Input in;
    in.fd = fd;
    in.size = static_cast<std::uint64_t>(st.st_size);
    in.extension = std::filesystem::path(path).extension().string();
    return in;
}

std::vector<std::uint8_t> readHead(const Input& in) {
    std::vector<std::uint8_t> head(std::min<std::uint64_t>(in.size, vf::kThumbnailSniffBytes));
    std::size_t got = 0;
    while (got < head.size()) {
        const ssize_t n = ::pread(in.fd, head.data() + got, head.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    head.resize(got);
    return head;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeOutput(const std::filesystem::path& output, std::span<const std::uint8_t> bytes) {
    const std::filesystem::path temp = vf::thumbnailTempPath(output, ::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = writeAll(fd, bytes);
    ok = ::fchmod(fd, 0644) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    ok = ok && vf::renameNoReplace(AT_FDCWD, temp.c_str(), AT_FDCWD, output.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool sameFile(const Input& in, const char* output) {
    struct stat a {}, b {};
    return ::fstat(in.fd, &a) == 0 && ::stat(output, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::optional<Arguments> parseArguments(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: tessarine-thumb SOURCE OUTPUT LONGEST_SIDE QUALITY\n");
        return std::nullopt;
    }
    const auto longest = parseInt(argv[3], 1, 16384);
    const auto quality = parseInt(argv[4], 1, 100);
    const std::filesystem::path output = argv[2];
    if (!longest || !quality || output.filename().empty()) {
        say("bad arguments");
        return std::nullopt;
    }
    return Arguments{argv[1], output, *longest, *quality};
}

std::optional<Start> start(int argc, char** argv, int& status) {
    std::optional<Arguments> args = parseArguments(argc, argv);
    if (!args) {
        status = kUsage;
        return std::nullopt;
    }
    std::optional<Input> in = openInput(args->source);
    if (!in) {
        say("cannot read the source, or it is not a regular file", std::strerror(errno));
        status = kUnreadable;
        return std::nullopt;
    }
    if (sameFile(*in, argv[2])) {
        say("the output is the source");
        status = kUsage;
        return std::nullopt;
    }
    return Start{*args, std::move(*in)};
}

int finish(int status, std::span<const std::uint8_t> jpeg, const Arguments& args) {
    if (status != kOk) return status;
    if (!writeOutput(args.output, jpeg)) {
        say("cannot write the output", std::strerror(errno));
        return kUnwritable;
    }
    return kOk;
}

}  // namespace vf::thumb
