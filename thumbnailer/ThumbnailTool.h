#pragma once
// What the two programs of the thumbnail tool share: tessarine-thumb (still
// pictures and camera raw files) and tessarine-thumb-video (clips, to which
// tessarine-thumb hands them). They are two programs because loading FFmpeg's
// libraries costs a still picture more time than shrinking it.
// Only these programs include this file; it needs libvips. Its parts live in
// ToolFiles.cpp (arguments, input, output), ToolVips.cpp (decoding and
// encoding through libvips) and ToolServe.cpp (one process serving many files).

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
#include "thumbnailer/Sandbox.h"
#include "thumbnailer/ThumbnailFormat.h"
#include "platform/Thumbnailer.h"

namespace vf::thumb {

enum Exit : int { kOk = 0, kNotDecoded = 1, kUsage = 2, kUnreadable = 3, kUnwritable = 4, kHandOver = 5 };

// Pictures larger than this are refused before decoding: the largest camera
// sensors have some 150 megapixels, a decompression bomb has billions.
inline constexpr std::uint64_t kMaxPixels = 400'000'000;

void say(const char* fmt, const std::string& detail = {});

std::string vipsError();

struct Unref {
    void operator()(gpointer p) const {
        if (p) g_object_unref(p);
    }
};
using Image = std::unique_ptr<VipsImage, Unref>;
using Source = std::unique_ptr<VipsSource, Unref>;

std::optional<int> parseInt(std::string_view s, int lo, int hi);

// ---------------------------------------------------------------- input

struct Input {
    int fd = -1;
    std::uint64_t size = 0;
    std::string extension;
};

std::optional<Input> openInput(const char* path);

std::vector<std::uint8_t> readHead(const Input& in);

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

// Set once libvips is up; the programs shut it down at their end.
extern bool vipsStarted;

bool loadVipsModule(const char* name);

// Starts libvips with no module loaded and every loader blocked; allowLoaders
// then opens the ones a file needs.
bool startVips(const char* argv0);

// Leaves `loaders` the only loader classes unblocked, whatever libvips's own
// sniffing would make of the bytes, loading the named `modules` ("vips-heif")
// they live in. Null entries are skipped.
void allowLoaders(std::span<const char* const> loaders, std::span<const char* const> modules = {});

// Where libvips reads a picture from: the source file, or bytes in memory.
struct VipsInput {
    int fd = -1;
    const void* data = nullptr;
    std::size_t size = 0;

    Source open() const {
        return Source(fd >= 0 ? vips_source_new_from_descriptor(fd) : vips_source_new_from_memory(data, size));
    }
};

bool sizeAllowed(std::uint64_t width, std::uint64_t height);

// A thumbnail through libvips's shrink-on-load (JPEG, WebP, HEIF scale while
// decoding), rendered into memory so that nothing refers to the input after.
Image vipsThumbnail(const VipsInput& input, int longestSide, bool autorotate);

// Packed 8- or 16-bit pixels (grey or RGB) scaled down to the longest side.
Image pixelThumbnail(const void* data, std::size_t size, int width, int height, int bands, int bits,
                     int longestSide);

Image rotated(Image img, VipsAngle angle);

inline int longerSide(const Image& img) { return img ? std::max(img->Xsize, img->Ysize) : 0; }

// ---------------------------------------------------------------- output

// 8-bit sRGB or grey without alpha (transparency shows white), as JPEG.
std::optional<std::vector<std::uint8_t>> encodeJpeg(Image img, int quality);

bool writeAll(int fd, std::span<const std::uint8_t> bytes);

// Written under a temporary name in the same folder and renamed, so that
// OUTPUT is either absent or complete. An existing OUTPUT stays: it may be a
// recovered file, or another file's thumbnail.
bool writeOutput(const std::filesystem::path& output, std::span<const std::uint8_t> bytes);

// Writing the thumbnail over its own source would destroy a recovered file.
bool sameFile(const Input& in, const char* output);

struct Arguments {
    const char* source;
    std::filesystem::path output;
    int longestSide;
    int quality;
};

std::optional<Arguments> parseArguments(int argc, char** argv);

struct Start {
    Arguments args;
    Input in;
};

// The arguments checked and the source opened, or nothing with the exit
// status to end with in `status`.
std::optional<Start> start(int argc, char** argv, int& status);

// The thumbnail as JPEG bytes in `jpeg`; the exit status.
int encode(Image thumb, int quality, std::vector<std::uint8_t>& jpeg);

// Writes the thumbnail to OUTPUT; the program's exit status.
int finish(int status, std::span<const std::uint8_t> jpeg, const Arguments& args);

// ---------------------------------------------------------------- serving

// One file's thumbnail as JPEG bytes; the exit status it would end with.
using Maker = int (*)(const Input& in, int longestSide, int quality, std::vector<std::uint8_t>& jpeg);

long long cpuMilliseconds();

// PROGRAM --serve CPU_SECONDS: many files one after another, so that the
// libraries load once. Standard input is a SOCK_SEQPACKET socket. Each
// request is "LONGEST QUALITY EXTENSION" with two descriptors, the source
// (read-only) and an empty output file; each reply is "STATUS CPU_MS", the
// status one run would exit with and the CPU time used so far. Each file gets
// CPU_SECONDS more before SIGXCPU. The socket's end ends the program.
int serve(const char* cpuArg, Maker make);

}  // namespace vf::thumb
