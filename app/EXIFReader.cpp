#include "app/EXIFReader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <exiv2/exiv2.hpp>

#include "app/ImageHeader.h"

namespace vf {
namespace {

// The pixel size and colour model are looked for in the file's first bytes;
// a JPEG's frame header follows its metadata segments, which rarely pass this.
constexpr std::size_t kHeaderBytes = 1 << 20;

void setUpLibrary() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Damaged files are expected here; the library must not print about them.
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::LogMsg::setHandler(nullptr);
        Exiv2::XmpParser::initialize();  // makes later use from several threads safe
        Exiv2::enableBMFF(true);
    });
}

bool isInteger(Exiv2::TypeId t) {
    switch (t) {
        case Exiv2::unsignedByte:
        case Exiv2::unsignedShort:
        case Exiv2::unsignedLong:
        case Exiv2::signedByte:
        case Exiv2::signedShort:
        case Exiv2::signedLong:
            return true;
        default:
            return false;
    }
}

// A numeric value as a real number; nothing for other types, an empty list,
// a zero denominator or a value that is not finite.
std::optional<double> real(const Exiv2::Exifdatum& d, long index = 0) {
    if (d.count() <= index) return std::nullopt;
    const Exiv2::TypeId t = d.typeId();
    double v = 0;
    if (t == Exiv2::unsignedRational || t == Exiv2::signedRational) {
        const Exiv2::Rational r = d.toRational(index);
        if (r.second == 0) return std::nullopt;
        if (t == Exiv2::unsignedRational)  // two unsigned 32-bit values, handed out as signed ones
            v = static_cast<double>(static_cast<std::uint32_t>(r.first)) /
                static_cast<double>(static_cast<std::uint32_t>(r.second));
        else
            v = static_cast<double>(r.first) / static_cast<double>(r.second);
    } else if (isInteger(t)) {
        v = static_cast<double>(d.toLong(index));
    } else if (t == Exiv2::tiffFloat || t == Exiv2::tiffDouble) {
        v = d.toFloat(index);
    } else {
        return std::nullopt;
    }
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

// Truncated toward zero; nothing when it does not fit 64 bits.
std::optional<std::int64_t> integer(std::optional<double> v) {
    if (!v || !(*v > -9.2233720368547758e18 && *v < 9.2233720368547758e18)) return std::nullopt;
    return static_cast<std::int64_t>(*v);
}

// Fixed-point text independent of the process's locale (the window system
// sets one, and a decimal comma has no place in "ƒ/2.8").
std::string fixed(double v, int precision) {
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, precision);
    return res.ec == std::errc() ? std::string(buf, res.ptr) : std::string();
}

const Exiv2::Exifdatum* find(const Exiv2::ExifData& exif, const char* key) {
    const auto it = exif.findKey(Exiv2::ExifKey(key));
    return it == exif.end() ? nullptr : &*it;
}

std::optional<std::string> text(const Exiv2::ExifData& exif, const char* key) {
    const auto* d = find(exif, key);
    if (!d || d->typeId() != Exiv2::asciiString) return std::nullopt;
    return d->toString();
}

std::optional<double> number(const Exiv2::ExifData& exif, const char* key) {
    const auto* d = find(exif, key);
    return d ? real(*d) : std::nullopt;
}

std::optional<std::string> apertureText(const Exiv2::ExifData& exif) {
    // An F-number of zero is what lenses without contacts record: no value.
    if (const auto f = number(exif, "Exif.Photo.FNumber"); f && *f > 0) return "ƒ/" + fixed(*f, 1);
    if (const auto a = number(exif, "Exif.Photo.ApertureValue")) {
        const double f = std::exp2(*a / 2);
        if (std::isfinite(f)) return "ƒ/" + fixed(f, 1);
    }
    return std::nullopt;
}

std::optional<std::string> shutterText(const Exiv2::ExifData& exif) {
    const auto t = number(exif, "Exif.Photo.ExposureTime");
    if (!t || !(*t > 0)) return std::nullopt;
    if (*t >= 1) return fixed(*t, 0) + "s";
    const auto n = integer(1 / *t + 0.5);
    if (!n) return std::nullopt;
    return "1/" + std::to_string(*n) + "s";
}

std::optional<std::string> biasText(const Exiv2::ExifData& exif) {
    const auto b = number(exif, "Exif.Photo.ExposureBiasValue");
    if (!b) return std::nullopt;
    if (*b == 0) return "±0 EV";
    const std::string digits = fixed(*b, 1);  // carries its own "-"
    return (std::signbit(*b) ? "" : "+") + digits + " EV";
}

// The TIFF directory that holds the full image: the first whose subfile type
// marks it as the primary one, as raw files put a small preview first.
std::string primaryGroup(const Exiv2::ExifData& exif) {
    static constexpr const char* groups[] = {"Image", "Image2", "Image3", "SubImage1", "SubImage2", "SubImage3",
                                             "SubImage4", "SubImage5", "SubImage6", "SubImage7", "SubImage8",
                                             "SubImage9"};
    for (const char* g : groups) {
        const auto* d = find(exif, (std::string("Exif.") + g + ".NewSubfileType").c_str());
        if (d && integer(real(*d)) == 0) return g;
    }
    return "Image";
}

void readExif(const Exiv2::ExifData& exif, EXIFData& out) {
    out.make = text(exif, "Exif.Image.Make");
    out.model = text(exif, "Exif.Image.Model");
    out.dateTaken = text(exif, "Exif.Photo.DateTimeOriginal");
    if (const auto* d = find(exif, "Exif.Photo.ISOSpeedRatings"))
        if (const auto iso = integer(real(*d))) out.iso = "ISO " + std::to_string(*iso);
    if (const auto f = integer(number(exif, "Exif.Photo.FocalLength"))) out.focalLength = std::to_string(*f) + "mm";
    out.exposureBias = biasText(exif);
    out.aperture = apertureText(exif);
    out.shutterSpeed = shutterText(exif);
    if (const auto* d = find(exif, "Exif.Photo.Flash"); d && isInteger(d->typeId()) && d->count() > 0)
        out.flash = (d->toLong(0) & 1) ? "Flash fired" : "No flash";
    if (const auto* d = find(exif, "Exif.Photo.WhiteBalance"); d && isInteger(d->typeId()) && d->count() > 0)
        out.whiteBalance = d->toLong(0) == 0 ? "Auto WB" : "Manual WB";
}

// TIFF-based files (TIFF and most raw formats) state their size and colour
// model in the primary directory, which the library has already read.
void tiffGeometry(const Exiv2::ExifData& exif, EXIFData& out) {
    const std::string g = "Exif." + primaryGroup(exif) + ".";
    // A size is a 16- or 32-bit count; a damaged file may give it as a float
    // of any size, which would be shown as billions of pixels.
    const auto dimension = [&](const char* tag) -> std::optional<std::int64_t> {
        const auto v = integer(number(exif, (g + tag).c_str()));
        if (!v || *v <= 0 || *v > 0xFFFFFFFFll) return std::nullopt;
        return v;
    };
    out.width = dimension("ImageWidth");
    out.height = dimension("ImageLength");
    if (const auto p = integer(number(exif, (g + "PhotometricInterpretation").c_str())))
        out.colorSpace = tiffColorModel(*p);
}

EXIFData readImage(Exiv2::Image& image, std::span<const std::uint8_t> head) {
    EXIFData out;
    image.readMetadata();
    const Exiv2::ExifData& exif = image.exifData();
    readExif(exif, out);
    if (const auto h = readImageHeader(head)) {
        out.width = h->width;
        out.height = h->height;
        out.colorSpace = h->colorModel;
    } else {
        tiffGeometry(exif, out);
    }
    // Formats whose header we do not read (or whose frame header lies beyond
    // the bytes looked at): the library's own reading of it.
    if (!out.width && image.pixelWidth() > 0) out.width = image.pixelWidth();
    if (!out.height && image.pixelHeight() > 0) out.height = image.pixelHeight();
    return out;
}

template <typename Open>
EXIFData guarded(Open open, std::span<const std::uint8_t> head) {
    setUpLibrary();
    try {
        Exiv2::Image::AutoPtr image = open();
        if (!image.get()) return {};
        return readImage(*image, head);
    } catch (...) {
        // Damaged or foreign data: Exiv2 reports it by throwing (and may run
        // out of memory on lengths it believes). Nothing is readable then.
        return {};
    }
}

}  // namespace

EXIFData EXIFReader::read(std::span<const std::uint8_t> bytes) const {
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(std::numeric_limits<long>::max())) return {};
    return guarded([&] { return Exiv2::ImageFactory::open(bytes.data(), static_cast<long>(bytes.size())); },
                   bytes.first(std::min(bytes.size(), kHeaderBytes)));
}

EXIFData EXIFReader::read(const std::filesystem::path& file) const {
    std::vector<std::uint8_t> head;
    {
        const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return {};
        struct stat st {};
        // Only regular files: a FIFO or device would block or never end.
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return {};
        }
        head.resize(kHeaderBytes);
        std::size_t got = 0;
        while (got < head.size()) {
            const ssize_t n = ::read(fd, head.data() + got, head.size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        ::close(fd);
        head.resize(got);
    }
    if (head.empty()) return {};
    return guarded([&] { return Exiv2::ImageFactory::open(file.string(), false); }, head);
}

}  // namespace vf
