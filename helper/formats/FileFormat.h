#pragma once
// The catalogue of recoverable formats. The order of the cases is part of the
// system: it is the order of `allFormats()`, and name look-ups that can match
// several formats take the first one in this order.

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vf {

enum class FileFormat : std::uint8_t {
    jpeg, png, gif, bmp, webp, heic, avif, tiff, ppm, raw, mdc, crw, cr2, cr3, nef, nrw, arw,
    srf, sr2, mrw, erf, srw, _3fr, raf, orf, rw2, pef, dng, rwl, fff, iiq, x3f, dcr, kdc, mp4,
    mov, avi, mts, m2ts, mxf, braw,
};

inline constexpr std::size_t kFormatCount = 41;

const std::array<FileFormat, kFormatCount>& allFormats();

// The display name ("JPEG", "3FR", "M2TS"): the format's name in every external interface.
std::string_view displayName(FileFormat f);

// Exact, case-sensitive inverse of displayName.
std::optional<FileFormat> formatFromName(std::string_view name);

// First format in catalogue order whose lower-cased display name equals `lowerExt`.
std::optional<FileFormat> formatFromLowerName(std::string_view lowerExt);

// The format a file name's extension (any case, without the dot) stands for:
// the display names, and the other extensions cameras write (".JPG", ".JPE",
// ".MPO" for JPEG, ".TIF" for TIFF, ".HIF", ".HEIF" for HEIC).
std::optional<FileFormat> formatFromExtension(std::string_view ext);

// The extension of a carved file: the display name in lower case ("jpeg", "3fr").
std::string lowerName(FileFormat f);

// Smallest length the scanner accepts for a file of this format.
std::uint64_t minimumSize(FileFormat f);

// How the start of the next file bounds the length a format's rule gives.
enum class NextFileBound : std::uint8_t {
    near,     // cuts a length that runs into it; takes up a short gap before it
    reaches,  // the file runs up to it: the rule knows where the data starts, not where it ends
    cuts,     // the file ends on its own: the next one only cuts a length that runs into it
};
NextFileBound nextFileBound(FileFormat f);

// How far past a file's start (of that length) a next file's start can change
// its length; nothing when any distance can.
std::optional<std::uint64_t> nextFileReach(FileFormat f, std::uint64_t length);

// The length once the next file is known to start gap bytes past this one's start.
std::uint64_t boundByNextFile(FileFormat f, std::uint64_t length, std::uint64_t gap);

class FormatSet {
public:
    FormatSet() = default;
    static FormatSet all() { FormatSet s; s.bits_.set(); return s; }
    static FormatSet of(std::initializer_list<FileFormat> fs) {
        FormatSet s;
        for (FileFormat f : fs) s.insert(f);
        return s;
    }
    bool contains(FileFormat f) const { return bits_.test(static_cast<std::size_t>(f)); }
    void insert(FileFormat f) { bits_.set(static_cast<std::size_t>(f)); }
    void erase(FileFormat f) { bits_.reset(static_cast<std::size_t>(f)); }
    bool empty() const { return bits_.none(); }
    std::size_t size() const { return bits_.count(); }
    bool intersects(const FormatSet& o) const { return (bits_ & o.bits_).any(); }
    bool operator==(const FormatSet&) const = default;
    // Members in catalogue order.
    std::vector<FileFormat> members() const;
    // Display names sorted by name (byte order) and joined with `separator`.
    std::string sortedNames(std::string_view separator) const;

private:
    std::bitset<kFormatCount> bits_;
};

// Parses a comma-separated filter of display names: empty pieces are dropped,
// pieces are matched exactly without trimming, unknown ones are dropped.
FormatSet parseFormatFilter(std::string_view text);

}  // namespace vf
