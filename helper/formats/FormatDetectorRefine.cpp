// Refinement of a raw match: the ISO media brand, the DNG version tag and the
// maker text that tell apart formats sharing one header.

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "helper/formats/FormatDetector.h"
#include "common/ByteReader.h"

namespace vf {
namespace {

constexpr std::size_t kWindow = 65'536;
constexpr std::uint16_t kDngVersionTag = 50'706;

const FormatSet& makerRefinableFormats() {
    using F = FileFormat;
    static const FormatSet set = FormatSet::of({F::tiff, F::cr2, F::nef, F::nrw, F::arw, F::srf, F::sr2, F::pef, F::dng,
                                                F::rwl, F::orf, F::dcr, F::kdc, F::erf, F::srw, F::_3fr, F::fff});
    return set;
}

std::optional<FileFormat> formatFromBrand(std::span<const std::uint8_t> brand) {
    std::string_view b;
    char text[4];
    if (std::all_of(brand.begin(), brand.end(), [](std::uint8_t c) { return c < 0x80; })) {
        std::copy(brand.begin(), brand.end(), text);
        b = std::string_view(text, 4);
    }
    for (std::string_view heic : {"heic", "heis", "hevx", "heim", "hevm", "hevs", "mif1", "msf1"})
        if (b == heic) return FileFormat::heic;
    if (b == "avif" || b == "avis") return FileFormat::avif;
    if (b == "crx ") return FileFormat::cr3;
    if (b == "qt  ") return FileFormat::mov;
    return std::nullopt;
}

// Case-sensitive byte search; the maker names are ASCII, so this is the search
// over the window read as Latin-1 text.
bool contains(std::span<const std::uint8_t> hay, std::string_view needle) {
    if (needle.empty()) return true;
    const auto first = static_cast<std::uint8_t>(needle[0]);
    std::size_t i = 0;
    while (hay.size() - i >= needle.size()) {
        const void* hit = std::memchr(hay.data() + i, first, hay.size() - i - needle.size() + 1);
        if (!hit) return false;
        i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - hay.data());
        if (std::equal(needle.begin() + 1, needle.end(), hay.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                       [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
            return true;
        ++i;
    }
    return false;
}

bool containsAny(std::span<const std::uint8_t> hay, std::initializer_list<std::string_view> needles) {
    return std::any_of(needles.begin(), needles.end(), [&](std::string_view n) { return contains(hay, n); });
}

// The maker rules, in the order in which they decide.
std::optional<FileFormat> formatFromMakerText(std::span<const std::uint8_t> t) {
    using F = FileFormat;
    if (contains(t, "NRW ")) return F::nrw;
    if (containsAny(t, {"DJI", "FC8282", "FC8482", "FC9313", "iPhone", "Apple"})) return F::dng;
    const bool ricoh = containsAny(t, {"RICOH", "Ricoh"});
    if (ricoh && contains(t, "GR DIGITAL")) return F::dng;
    if (contains(t, "Canon")) return F::cr2;
    if (containsAny(t, {"Nikon", "NIKON"})) return F::nef;
    if (containsAny(t, {"SONY", "Sony"})) {
        if (contains(t, "SR2")) return F::sr2;
        if (contains(t, "SRF")) return F::srf;
        return F::arw;
    }
    if (ricoh || containsAny(t, {"PENTAX", "Pentax"})) return F::pef;
    if (containsAny(t, {"OLYMPUS", "OM SYSTEM", "Olympus"})) return F::orf;
    if (containsAny(t, {"Panasonic", "PANASONIC"})) return F::rw2;
    if (containsAny(t, {"LEICA", "Leica"})) return F::rwl;
    if (containsAny(t, {"KODAK", "Kodak"})) return contains(t, "KDC") ? F::kdc : F::dcr;
    if (containsAny(t, {"EPSON", "Epson"})) return F::erf;
    if (containsAny(t, {"SAMSUNG", "Samsung"})) return F::srw;
    if (containsAny(t, {"Hasselblad", "HASSELBLAD"})) return F::_3fr;
    return std::nullopt;
}

}  // namespace

bool hasDngVersionInIfd0(std::span<const std::uint8_t> bytes, bool littleEndian) {
    const ByteReader in(bytes);
    const Endian e = littleEndian ? Endian::little : Endian::big;
    if (bytes.size() < 9) return false;
    const std::uint64_t d = *in.u32(4, e);
    if (d + 2 >= bytes.size()) return false;
    const std::uint16_t k = *in.u16(static_cast<std::size_t>(d), e);
    if (k == 0 || k >= 500) return false;
    for (std::size_t i = 0; i < k; ++i) {
        const std::size_t tagAt = static_cast<std::size_t>(d) + 2 + 12 * i;
        const std::optional<std::uint16_t> tag = in.u16(tagAt, e);
        if (!tag) return false;
        if (*tag == kDngVersionTag) return true;
    }
    return false;
}

FileFormat FormatDetector::refineFormat(FileFormat format, Device& device, std::uint64_t absoluteOffset,
                                        std::uint64_t blockSize) const {
    // The window is the 64 KiB that a block-aligned read at the match returns. It is
    // taken from the lent buffer only when that holds all of it, so a match near the
    // end of the scan loop's buffer is judged on the same bytes as any other.
    const std::uint64_t block = blockSize == 0 ? 1 : blockSize;
    const std::uint64_t aligned = alignDown(absoluteOffset, block);
    const std::uint64_t r = absoluteOffset - aligned;
    std::vector<std::uint8_t> storage;
    std::span<const std::uint8_t> window;  // bytes from the match to the end of what was read
    std::uint64_t n = 0;                   // bytes read from the aligned start
    const std::optional<std::uint64_t> windowEnd = checkedAdd(aligned, kWindow);
    if (hintValid && r < kWindow && windowEnd && absoluteOffset >= hintBase &&
        *windowEnd - hintBase <= hintBuf.size()) {
        window = hintBuf.subspan(static_cast<std::size_t>(absoluteOffset - hintBase),
                                 static_cast<std::size_t>(kWindow - r));
        n = kWindow;
    } else {
        storage.assign(kWindow, 0);
        n = device.readAt(aligned, storage).bytes;
        // With a block larger than the window the match may lie beyond what was read.
        if (r < n) window = std::span<const std::uint8_t>(storage).subspan(static_cast<std::size_t>(r),
                                                                           static_cast<std::size_t>(n - r));
    }
    if (n < 9) return format;

    if (format == FileFormat::mp4 && window.size() >= 12) {
        if (auto branded = formatFromBrand(window.subspan(8, 4))) return *branded;
    }
    if (!makerRefinableFormats().contains(format)) return format;

    if (hasDngVersionInIfd0(window, !window.empty() && window[0] == 0x49)) return FileFormat::dng;
    if (TiffParser::containsTag(device, absoluteOffset, kDngVersionTag)) return FileFormat::dng;
    return formatFromMakerText(window).value_or(format);
}

}  // namespace vf
