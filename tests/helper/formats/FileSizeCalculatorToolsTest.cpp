// Real files made by the installed tools, measured inside random bytes and
// ending in the last bytes of a device read through FdDevice, as a card is.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "helper/formats/FileSizeCalculator.h"
#include "tests/support/MediaMeasure.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/MediaTools.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::MediaKind;
using Bytes = std::vector<std::uint8_t>;

// Measures like the scan loop at the end of a device: with no hint, and with
// the device's last (short) chunk of 1 MiB as the hint.
std::uint64_t measureAtEnd(FileFormat format, const Bytes& image, std::uint64_t off, std::uint64_t blockSize) {
    test::TempDir dir;
    test::writeFile(dir / "device.img", image);
    const int fd = ::open((dir / "device.img").c_str(), O_RDONLY);
    EXPECT_GE(fd, 0);
    FdDevice device(fd);
    FileSizeCalculator plain(blockSize), hinted(blockSize);
    const std::uint64_t a = plain.calculateSize(format, device, off);
    const std::uint64_t base = alignDown(off, 1 << 20);
    hinted.setHint(std::span<const std::uint8_t>(image).subspan(base), base);
    EXPECT_EQ(hinted.calculateSize(format, device, off), a) << displayName(format);
    ::close(fd);
    return a;
}

// A NEF-like raw: a small preview strip in the main directory and the sensor
// data in a SubIFD strip.
Bytes tiffRaw(std::size_t rawBytes) {
    test::ByteWriter w(true);
    test::writeTiffHeader(w, 42, 8);
    test::writeIfd(w, 8, {{271, 2, 6, 200}, {273, 4, 1, 300}, {279, 4, 1, 1000}, {330, 4, 1, 2000}}, 0);
    w.text(200, "NIKON");
    w.raw(300, test::randomBytes(1000, 1));
    test::writeIfd(w, 2000, {{273, 4, 1, 4096}, {279, 4, 1, static_cast<std::uint32_t>(rawBytes)}}, 0);
    w.raw(4096, test::randomBytes(rawBytes, 2));
    return w.bytes;
}

TEST(FileSizeCalculatorTools, RealFilesAreMeasuredToTheirTrueSize) {
    for (const char* tool : {"convert", "exiftool", "cwebp", "heif-enc", "ffmpeg"})
        if (!test::haveTool(tool)) GTEST_SKIP() << "needs convert, exiftool, cwebp, heif-enc and ffmpeg";
    const std::pair<MediaKind, FileFormat> kinds[] = {
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
    test::TempDir dir;
    std::vector<std::tuple<std::string, FileFormat, Bytes>> files = {
        {"NEF-like raw", FileFormat::nef, tiffRaw(600'000)}, {"2.5 MB JPEG", FileFormat::jpeg, test::jpegOfSize(2'500'000, 5)}};
    for (const auto& [kind, format] : kinds) {
        std::string why;
        auto file = test::makeMedia(dir, kind, &why);
        ASSERT_TRUE(file) << why;
        files.emplace_back(test::mediaName(kind), format, std::move(*file));
        if (kind == MediaKind::jpegWithThumbnail)  // a camera's preview joined by an MPF index
            files.emplace_back("MPF photo", format, test::mpfJpeg(std::get<2>(files.back()), test::jpegOfSize(60'000, 3)));
    }
    std::uint32_t seed = 100;
    for (const auto& [name, format, file] : files) {
        SCOPED_TRACE(name);
        ++seed;
        for (std::uint64_t blockSize : {512u, 4096u}) {
            const std::size_t off = 12'345 + 7 * seed;
            auto image = test::embedAt(file, off, off + file.size() + 300'000, seed);
            // A sync byte right after a stream would make the packet run longer.
            if (image[off + file.size()] == 0x47) image[off + file.size()] = 0;
            EXPECT_EQ(test::measure(format, image, off, blockSize), file.size()) << blockSize;
            MemoryDevice device(image);
            FileSizeCalculator calc(blockSize);
            EXPECT_TRUE(calc.plausibleStart(format, device, off));
        }
        // Ending 1 to 4,000 bytes before the end of a device whose size is no block multiple.
        const std::size_t tail = std::size_t{1} << (seed % 13), off = 3'000'001 + seed;
        auto image = test::embedAt(file, off, off + file.size() + tail, seed);
        image[off + file.size()] = 0;
        EXPECT_EQ(measureAtEnd(format, image, off, 512 << (seed % 4)), file.size()) << "ending " << tail << " bytes before the end";
    }
}

}  // namespace
}  // namespace vf
