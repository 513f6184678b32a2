#pragma once
// What the two programs of the thumbnail tool share: tessarine-thumb (still
// pictures and camera raw files) and tessarine-thumb-video (clips, to which
// tessarine-thumb hands them). They are two programs because loading FFmpeg's
// libraries costs a still picture more time than shrinking it.
// Only these programs include this file; it needs libvips.

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <malloc.h>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gmodule.h>
#include <vips/vips.h>

#include "common/ByteReader.h"
#include "platform/Files.h"
#include "thumbnail/Sandbox.h"
#include "thumbnail/ThumbnailFormat.h"
#include "platform/Thumbnailer.h"

#ifndef VF_VIPS_LIBDIR
#define VF_VIPS_LIBDIR "/usr/lib"
#endif

namespace vf::thumb {

enum Exit : int { kOk = 0, kNotDecoded = 1, kUsage = 2, kUnreadable = 3, kUnwritable = 4, kHandOver = 5 };

// Pictures larger than this are refused before decoding: the largest camera
// sensors have some 150 megapixels, a decompression bomb has billions.
inline constexpr std::uint64_t kMaxPixels = 400'000'000;

inline void say(const char* fmt, const std::string& detail = {}) {
    std::fprintf(stderr, "tessarine-thumb: %s%s%s\n", fmt, detail.empty() ? "" : ": ", detail.c_str());
}

inline std::string vipsError() {
    std::string e = vips_error_buffer();
    vips_error_clear();
    while (!e.empty() && (e.back() == '\n' || e.back() == ' ')) e.pop_back();
    return e;
}

struct Unref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
using Image = std::unique_ptr<VipsImage, Unref>;
using Source = std::unique_ptr<VipsSource, Unref>;

inline std::optional<int> parseInt(std::string_view s, int lo, int hi) {
    int v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || v < lo || v > hi) return std::nullopt;
    return v;
}

// ---------------------------------------------------------------- input

struct Input {
    int fd = -1;
    std::uint64_t size = 0;
    std::string extension;
};

inline std::optional<Input> openInput(const char* path) {
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

inline std::vector<std::uint8_t> readHead(const Input& in) {
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

// The file mapped read-only, for decoders that want it in memory.
class Mapping {
public:
    explicit Mapping(const Input& in) {
        if (in.size > SIZE_MAX) return;
        void* p = ::mmap(nullptr, static_cast<std::size_t>(in.size), PROT_READ, MAP_PRIVATE, in.fd, 0);
        if (p == MAP_FAILED) return;
        data_ = p;
        size_ = static_cast<std::size_t>(in.size);
    }
    ~Mapping() {
        if (data_) ::munmap(data_, size_);
    }
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    void* data() const { return data_; }
    std::size_t size() const { return size_; }

private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

// ---------------------------------------------------------------- libvips

inline bool vipsStarted = false;

inline bool loadVipsModule(const char* name) {
    char path[512];
    std::snprintf(path, sizeof path, "%s/vips-modules-%d.%d/%s.so", VF_VIPS_LIBDIR, vips_version(0), vips_version(1),
                  name);
    // Kept open for the life of the process: the module registers its loaders.
    return g_module_open(path, G_MODULE_BIND_LAZY) != nullptr;
}

// Starts libvips with no module loaded and every loader blocked; allowLoaders
// then opens the ones a file needs.
inline bool startVips(const char* argv0) {
    // Loading every module (PDF, OpenSlide, ImageMagick, ...) takes longer
    // than a whole JPEG thumbnail.
    ::setenv("VIPSHOME", "/nonexistent", 1);
    if (VIPS_INIT(argv0) != 0) return false;
    vipsStarted = true;
    vips_concurrency_set(1);  // the caller runs several thumbnails side by side
    vips_cache_set_max(0);
    vips_operation_block_set("VipsForeignLoad", TRUE);
    return true;
}

// Leaves `loaders` the only loader classes unblocked, whatever libvips's own
// sniffing would make of the bytes, loading the named `modules` ("vips-heif")
// they live in. Null entries are skipped.
inline void allowLoaders(std::span<const char* const> loaders, std::span<const char* const> modules = {}) {
    static std::vector<std::string> loaded;
    for (const char* m : modules) {
        if (!m || std::find(loaded.begin(), loaded.end(), m) != loaded.end()) continue;
        if (loadVipsModule(m))
            loaded.emplace_back(m);
        else
            say("cannot load the libvips module", m);
    }
    vips_operation_block_set("VipsForeignLoad", TRUE);
    for (const char* cls : loaders)
        if (cls) vips_operation_block_set(cls, FALSE);
}

// Where libvips reads a picture from: the source file, or bytes in memory.
struct VipsInput {
    int fd = -1;
    const void* data = nullptr;
    std::size_t size = 0;

    Source open() const {
        return Source(fd >= 0 ? vips_source_new_from_descriptor(fd) : vips_source_new_from_memory(data, size));
    }
};

inline bool sizeAllowed(std::uint64_t width, std::uint64_t height) {
    const auto pixels = vf::checkedMul(width, height);
    return width > 0 && height > 0 && pixels && *pixels <= kMaxPixels;
}

// A thumbnail through libvips's shrink-on-load (JPEG, WebP, HEIF scale while
// decoding), rendered into memory so that nothing refers to the input after.
inline Image vipsThumbnail(const VipsInput& input, int longestSide, bool autorotate) {
    const bool fromBuffer = input.fd < 0;
    {
        VipsImage* header = nullptr;
        Source src;
        if (fromBuffer) {
            header = vips_image_new_from_buffer(input.data, input.size, "", nullptr);
        } else {
            src = input.open();
            if (src) header = vips_image_new_from_source(src.get(), "", nullptr);
        }
        Image h(header);
        if (!h) return nullptr;
        if (!sizeAllowed(static_cast<std::uint64_t>(h->Xsize), static_cast<std::uint64_t>(h->Ysize))) {
            say("picture too large");
            return nullptr;
        }
    }
    VipsImage* out = nullptr;
    int rc;
    if (fromBuffer) {
        rc = vips_thumbnail_buffer(const_cast<void*>(input.data), input.size, &out, longestSide, "size",
                                   VIPS_SIZE_DOWN, "no_rotate", !autorotate, nullptr);
    } else {
        Source src = input.open();
        if (!src) return nullptr;
        rc = vips_thumbnail_source(src.get(), &out, longestSide, "size", VIPS_SIZE_DOWN, "no_rotate", !autorotate,
                                   nullptr);
    }
    Image thumb(out);
    if (rc != 0 || !thumb) return nullptr;
    return Image(vips_image_copy_memory(thumb.get()));
}

// Packed 8- or 16-bit pixels (grey or RGB) scaled down to the longest side.
inline Image pixelThumbnail(const void* data, std::size_t size, int width, int height, int bands, int bits,
                     int longestSide) {
    if (width <= 0 || height <= 0 || (bands != 1 && bands != 3) || (bits != 8 && bits != 16)) return nullptr;
    if (!sizeAllowed(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height))) return nullptr;
    const auto need = vf::checkedMul(static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height),
                                     static_cast<std::uint64_t>(bands) * static_cast<std::uint64_t>(bits / 8));
    if (!need || *need > size) return nullptr;
    Image raw(vips_image_new_from_memory_copy(data, static_cast<std::size_t>(*need), width, height, bands,
                                              bits == 8 ? VIPS_FORMAT_UCHAR : VIPS_FORMAT_USHORT));
    if (!raw) return nullptr;
    VipsInterpretation kind = bands == 3 ? (bits == 8 ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_RGB16)
                                         : (bits == 8 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_GREY16);
    VipsImage* tagged = nullptr;
    if (vips_copy(raw.get(), &tagged, "interpretation", kind, nullptr) != 0) return nullptr;
    Image t(tagged);
    VipsImage* out = nullptr;
    if (vips_thumbnail_image(t.get(), &out, longestSide, "size", VIPS_SIZE_DOWN, nullptr) != 0) return nullptr;
    Image thumb(out);
    return Image(vips_image_copy_memory(thumb.get()));
}

inline Image rotated(Image img, VipsAngle angle) {
    if (!img || angle == VIPS_ANGLE_D0) return img;
    VipsImage* out = nullptr;
    if (vips_rot(img.get(), &out, angle, nullptr) != 0) return nullptr;
    return Image(out);
}

inline int longerSide(const Image& img) { return img ? std::max(img->Xsize, img->Ysize) : 0; }

// ---------------------------------------------------------------- output

// 8-bit sRGB or grey without alpha (transparency shows white), as JPEG.
inline std::optional<std::vector<std::uint8_t>> encodeJpeg(Image img, int quality) {
    const VipsInterpretation kind = vips_image_get_interpretation(img.get());
    if (kind != VIPS_INTERPRETATION_sRGB && kind != VIPS_INTERPRETATION_B_W) {
        VipsImage* out = nullptr;
        if (vips_colourspace(img.get(), &out, VIPS_INTERPRETATION_sRGB, nullptr) == 0)
            img = Image(out);
        else
            vips_error_clear();  // the saver converts what it can
    }
    if (vips_image_hasalpha(img.get())) {
        VipsArrayDouble* white = vips_array_double_newv(1, 255.0);
        VipsImage* out = nullptr;
        const int rc = vips_flatten(img.get(), &out, "background", white, nullptr);
        vips_area_unref(VIPS_AREA(white));
        if (rc != 0) return std::nullopt;
        img = Image(out);
    }
    void* data = nullptr;
    std::size_t size = 0;
    if (vips_jpegsave_buffer(img.get(), &data, &size, "Q", quality, "strip", TRUE, nullptr) != 0) return std::nullopt;
    std::vector<std::uint8_t> bytes(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
    g_free(data);
    return bytes;
}

inline bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Written under a temporary name in the same folder and renamed, so that
// OUTPUT is either absent or complete. An existing OUTPUT stays: it may be a
// recovered file, or another file's thumbnail.
inline bool writeOutput(const std::filesystem::path& output, std::span<const std::uint8_t> bytes) {
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

// Writing the thumbnail over its own source would destroy a recovered file.
inline bool sameFile(const Input& in, const char* output) {
    struct stat a {}, b {};
    return ::fstat(in.fd, &a) == 0 && ::stat(output, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

struct Arguments {
    const char* source;
    std::filesystem::path output;
    int longestSide;
    int quality;
};

inline std::optional<Arguments> parseArguments(int argc, char** argv) {
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

struct Start {
    Arguments args;
    Input in;
};

// The arguments checked and the source opened, or nothing with the exit
// status to end with in `status`.
inline std::optional<Start> start(int argc, char** argv, int& status) {
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

// The thumbnail as JPEG bytes in `jpeg`; the exit status.
inline int encode(Image thumb, int quality, std::vector<std::uint8_t>& jpeg) {
    if (!thumb) return kNotDecoded;
    auto bytes = encodeJpeg(std::move(thumb), quality);
    if (!bytes) {
        say("JPEG encoding failed", vipsError());
        return kNotDecoded;
    }
    jpeg = std::move(*bytes);
    return kOk;
}

// Writes the thumbnail to OUTPUT; the program's exit status.
inline int finish(int status, std::span<const std::uint8_t> jpeg, const Arguments& args) {
    if (status != kOk) return status;
    if (!writeOutput(args.output, jpeg)) {
        say("cannot write the output", std::strerror(errno));
        return kUnwritable;
    }
    return kOk;
}

// ---------------------------------------------------------------- serving

// One file's thumbnail as JPEG bytes; the exit status it would end with.
using Maker = int (*)(const Input& in, int longestSide, int quality, std::vector<std::uint8_t>& jpeg);

inline long long cpuMilliseconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return (static_cast<long long>(u.ru_utime.tv_sec) + u.ru_stime.tv_sec) * 1000 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
}

// PROGRAM --serve CPU_SECONDS: many files one after another, so that the
// libraries load once. Standard input is a SOCK_SEQPACKET socket. Each
// request is "LONGEST QUALITY EXTENSION" with two descriptors, the source
// (read-only) and an empty output file; each reply is "STATUS CPU_MS", the
// status one run would exit with and the CPU time used so far. Each file gets
// CPU_SECONDS more before SIGXCPU. The socket's end ends the program.
inline int serve(const char* cpuArg, Maker make) {
    const auto cpuSeconds = parseInt(cpuArg, 1, 1000000);
    if (!cpuSeconds) {
        say("bad arguments");
        return kUsage;
    }
    // Each file's decoder allocates its buffers anew. Handed back to the
    // kernel after every file, they return as page faults on zeroed pages,
    // which cost more than decoding a modest video key frame; so the heap
    // keeps a bounded amount, and only very large blocks are mapped apart.
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
    // The libraries are loaded; every file comes as a descriptor. A decoder
    // taken over by a hostile file can write nothing else, read none of the
    // user's files and connect nowhere.
    vf::denyNewFilesAndConnections();
    for (;;) {
        char text[256];
        alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
        iovec iov{text, sizeof text - 1};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n;
        do {
            n = ::recvmsg(0, &msg, MSG_CMSG_CLOEXEC);
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return kOk;
        std::vector<int> fds;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                fds.push_back(fd);
            }
        }
        text[n] = '\0';
        int status = kUsage;
        int side = 0, quality = 0;
        char extension[64] = "";
        const int fields = std::sscanf(text, "%d %d %63s", &side, &quality, extension);
        struct stat st {};
        if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) || fds.size() != 2 || fields < 2 || side < 1 ||
            side > 16384 || quality < 1 || quality > 100) {
            say("bad request");
        } else if (::fstat(fds[0], &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
            status = kUnreadable;
        } else {
            const long long usedSeconds = cpuMilliseconds() / 1000 + 1;
            rlimit cpu{};
            if (::getrlimit(RLIMIT_CPU, &cpu) == 0 && cpu.rlim_max != RLIM_INFINITY) {
                cpu.rlim_cur = std::min<rlim_t>(cpu.rlim_max, static_cast<rlim_t>(usedSeconds + *cpuSeconds));
                ::setrlimit(RLIMIT_CPU, &cpu);
            }
            Input in;
            in.fd = fds[0];
            in.size = static_cast<std::uint64_t>(st.st_size);
            in.extension = fields == 3 ? extension : "";
            std::vector<std::uint8_t> jpeg;
            status = make(in, side, quality, jpeg);
            if (status == kOk && !writeAll(fds[1], jpeg)) status = kUnwritable;
            vips_error_clear();
        }
        for (int fd : fds) ::close(fd);
        char reply[64];
        const int len = std::snprintf(reply, sizeof reply, "%d %lld", status, cpuMilliseconds());
        if (::send(0, reply, static_cast<std::size_t>(len), MSG_NOSIGNAL) < 0) return kOk;
    }
}

}  // namespace vf::thumb
