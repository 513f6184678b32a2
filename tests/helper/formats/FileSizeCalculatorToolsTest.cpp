// Real files made by the installed tools, measured inside random-padded
// images, and files at the very end of a device (image files read through FdDevice).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <string>

#include "helper/formats/FileSizeCalculator.h"
#include "tests/support/MediaMeasure.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/MediaTools.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::MediaKind;
using test::measure;

class FileSizeCalculatorTools : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        files_ = new std::map<MediaKind, std::vector<std::uint8_t>>;
        why_ = new std::map<MediaKind, std::string>;
    }
    static void TearDownTestSuite() {
        delete files_;
        delete why_;
        delete dir_;
    }
    // The file, made once per run; nullptr (with the reason logged) when its tool is missing.
    static const std::vector<std::uint8_t>* media(MediaKind kind) {
        if (!files_->count(kind) && !why_->count(kind)) {
            std::string why;
            if (auto f = test::makeMedia(*dir_, kind, &why)) (*files_)[kind] = std::move(*f);
            else (*why_)[kind] = why;
        }
        if (auto it = files_->find(kind); it != files_->end()) return &it->second;
        ADD_FAILURE() << (*why_)[kind];
        return nullptr;
    }
    static bool allTools() {
        for (const char* t : {"convert", "exiftool", "cwebp", "heif-enc", "ffmpeg"})
            if (!test::haveTool(t)) return false;
        return true;
    }

    static test::TempDir* dir_;
    static std::map<MediaKind, std::vector<std::uint8_t>>* files_;
    static std::map<MediaKind, std::string>* why_;
};
test::TempDir* FileSizeCalculatorTools::dir_ = nullptr;
std::map<MediaKind, std::vector<std::uint8_t>>* FileSizeCalculatorTools::files_ = nullptr;
std::map<MediaKind, std::string>* FileSizeCalculatorTools::why_ = nullptr;

TEST_F(FileSizeCalculatorTools, RealFilesAreMeasuredToTheirTrueSize) {
    if (!allTools()) GTEST_SKIP() << "needs convert, exiftool, cwebp, heif-enc and ffmpeg";
    const std::pair<MediaKind, FileFormat> cases[] = {
        {MediaKind::jpegWithThumbnail, FileFormat::jpeg}, {MediaKind::png, FileFormat::png},
        {MediaKind::gifFlat, FileFormat::gif},            {MediaKind::gifPlasma, FileFormat::gif},
        {MediaKind::bmp3, FileFormat::bmp},               {MediaKind::bmp5, FileFormat::bmp},
        {MediaKind::ppm, FileFormat::ppm},                {MediaKind::tiff, FileFormat::tiff},
        {MediaKind::tiffLzw, FileFormat::tiff},           {MediaKind::webp, FileFormat::webp},
        {MediaKind::heic, FileFormat::heic},              {MediaKind::avif, FileFormat::avif},
        {MediaKind::mp4IndexFirst, FileFormat::mp4},      {MediaKind::mp4IndexLast, FileFormat::mp4},
        {MediaKind::mov, FileFormat::mov},                {MediaKind::avi, FileFormat::avi},
        {MediaKind::ts, FileFormat::mts},                 {MediaKind::mxf, FileFormat::mxf},
    };
    std::uint32_t seed = 100;
    for (const auto& [kind, format] : cases) {
        const auto* file = media(kind);
        if (!file) continue;
        for (std::uint64_t blockSize : {512u, 4096u}) {
            const std::size_t off = 12'345 + 7 * seed;
            auto image = test::embedAt(*file, off, off + file->size() + 300'000, ++seed);
            // A sync byte right after a stream would make the packet run longer.
            if (image[off + file->size()] == 0x47) image[off + file->size()] = 0;
            EXPECT_EQ(measure(format, image, off, blockSize), file->size()) << test::mediaName(kind);
            MemoryDevice device(image);
            FileSizeCalculator calc(blockSize);
            EXPECT_TRUE(calc.plausibleStart(format, device, off)) << test::mediaName(kind);
        }
    }
}

TEST_F(FileSizeCalculatorTools, CameraPreviewJoinedByAnMpfIndex) {
    if (!allTools()) GTEST_SKIP() << "needs convert and exiftool";
    const auto* photo = media(MediaKind::jpegWithThumbnail);
    if (!photo) return;
    const auto file = test::mpfJpeg(*photo, test::jpegOfSize(60'000, 3));
    const auto image = test::embedAt(file, 8191, file.size() + 100'000, 4);
    EXPECT_EQ(measure(FileFormat::jpeg, image, 8191), file.size());
}

// An image file read through FdDevice, as the scanner reads a card.
class ImageFile {
public:
    ImageFile(const test::TempDir& dir, const std::vector<std::uint8_t>& bytes) : path_(dir / "device.img") {
        test::writeFile(path_, bytes);
        fd_ = ::open(path_.c_str(), O_RDONLY);
    }
    ~ImageFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    ImageFile(const ImageFile&) = delete;
    ImageFile& operator=(const ImageFile&) = delete;
    int fd() const { return fd_; }

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

// Measures like the scan loop at the end of a device: with no hint, and with
// the device's last (short) chunk of 1 MiB as the hint.
std::uint64_t measureAtEnd(FileFormat format, const std::vector<std::uint8_t>& image, std::uint64_t off,
                           std::uint64_t blockSize) {
    test::TempDir dir;
    ImageFile file(dir, image);
    EXPECT_GE(file.fd(), 0);
    FdDevice device(file.fd());
    FileSizeCalculator plain(blockSize);
    const std::uint64_t a = plain.calculateSize(format, device, off);
    const std::uint64_t chunk = 1 << 20;
    const std::uint64_t base = alignDown(off, chunk);
    FileSizeCalculator hinted(blockSize);
    hinted.setHint(std::span<const std::uint8_t>(image).subspan(base), base);
    EXPECT_EQ(hinted.calculateSize(format, device, off), a) << displayName(format);
    return a;
}

// A NEF-like raw: a small preview strip in the main directory and the sensor
// data in a SubIFD strip.
std::vector<std::uint8_t> tiffRaw(std::size_t rawBytes) {
    test::ByteWriter w(true);
    test::writeTiffHeader(w, 42, 8);
    test::writeIfd(w, 8, {{271, 2, 6, 200}, {273, 4, 1, 300}, {279, 4, 1, 1000}, {330, 4, 1, 2000}}, 0);
    w.text(200, "NIKON");
    w.raw(300, test::randomBytes(1000, 1));
    test::writeIfd(w, 2000, {{273, 4, 1, 4096}, {279, 4, 1, static_cast<std::uint32_t>(rawBytes)}}, 0);
    w.raw(4096, test::randomBytes(rawBytes, 2));
    return w.bytes;
}

TEST_F(FileSizeCalculatorTools, FilesEndingInTheLastBytesOfTheDevice) {
    const auto* photo = test::haveTool("exiftool") ? media(MediaKind::jpegWithThumbnail) : nullptr;
    const auto* ppm = test::haveTool("convert") ? media(MediaKind::ppm) : nullptr;
    std::vector<std::pair<FileFormat, std::vector<std::uint8_t>>> files = {
        {FileFormat::nef, tiffRaw(600'000)}, {FileFormat::jpeg, test::jpegOfSize(2'500'000, 5)}};
    if (photo) files.emplace_back(FileFormat::jpeg, *photo);
    if (ppm) files.emplace_back(FileFormat::ppm, *ppm);
    std::uint32_t seed = 7;
    for (const auto& [format, file] : files) {
        // Ends 1 to 4,000 bytes before the end of a device whose size is no block multiple.
        for (std::size_t tail : {1u, 1000u, 4000u}) {
            const std::size_t off = 3'000'001 + seed;
            const auto image = test::embedAt(file, off, off + file.size() + tail, ++seed);
            for (std::uint64_t blockSize : {512u, 4096u})
                EXPECT_EQ(measureAtEnd(format, image, off, blockSize), file.size())
                    << displayName(format) << " ending " << tail << " bytes before the end";
        }
    }
    // Starting 1 MiB before the end: its first read (2 MiB) comes back short.
    if (photo) {
        const std::size_t off = 2'000'000;
        const auto image = test::embedAt(*photo, off, off + (1 << 20), 9);
        EXPECT_EQ(measureAtEnd(FileFormat::jpeg, image, off, 512), photo->size());
    }
}

}  // namespace
}  // namespace vf
