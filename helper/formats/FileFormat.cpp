#include "helper/formats/FileFormat.h"

#include <algorithm>
#include <cctype>

namespace vf {
namespace {

struct CatalogueRow {
    FileFormat format;
    std::string_view name;
    std::uint64_t minimum;
};

// In declaration order; the index of a row is the value of its case.
constexpr std::array<CatalogueRow, kFormatCount> kCatalogue{{
    {FileFormat::jpeg, "JPEG", 102'400},     {FileFormat::png, "PNG", 4'096},
    {FileFormat::gif, "GIF", 1'024},         {FileFormat::bmp, "BMP", 1'024},
    {FileFormat::webp, "WebP", 1'024},       {FileFormat::heic, "HEIC", 102'400},
    {FileFormat::avif, "AVIF", 16'384},      {FileFormat::tiff, "TIFF", 4'096},
    {FileFormat::ppm, "PPM", 4'096},         {FileFormat::raw, "RAW", 4'096},
    {FileFormat::mdc, "MDC", 4'096},         {FileFormat::crw, "CRW", 4'194'304},
    {FileFormat::cr2, "CR2", 4'194'304},     {FileFormat::cr3, "CR3", 8'388'608},
    {FileFormat::nef, "NEF", 8'388'608},     {FileFormat::nrw, "NRW", 4'194'304},
    {FileFormat::arw, "ARW", 8'388'608},     {FileFormat::srf, "SRF", 4'194'304},
    {FileFormat::sr2, "SR2", 8'388'608},     {FileFormat::mrw, "MRW", 4'194'304},
    {FileFormat::erf, "ERF", 4'194'304},     {FileFormat::srw, "SRW", 4'194'304},
    {FileFormat::_3fr, "3FR", 10'485'760},   {FileFormat::raf, "RAF", 3'145'728},
    {FileFormat::orf, "ORF", 4'194'304},     {FileFormat::rw2, "RW2", 8'388'608},
    {FileFormat::pef, "PEF", 8'388'608},     {FileFormat::dng, "DNG", 4'194'304},
    {FileFormat::rwl, "RWL", 16'777'216},    {FileFormat::fff, "FFF", 41'943'040},
    {FileFormat::iiq, "IIQ", 41'943'040},    {FileFormat::x3f, "X3F", 4'194'304},
    {FileFormat::dcr, "DCR", 4'194'304},     {FileFormat::kdc, "KDC", 4'194'304},
    {FileFormat::mp4, "MP4", 524'288},       {FileFormat::mov, "MOV", 524'288},
    {FileFormat::avi, "AVI", 524'288},       {FileFormat::mts, "MTS", 4'194'304},
    {FileFormat::m2ts, "M2TS", 4'194'304},   {FileFormat::mxf, "MXF", 1'048'576},
    {FileFormat::braw, "BRAW", 67'108'864},
}};

constexpr bool catalogueInOrder() {
    for (std::size_t i = 0; i < kCatalogue.size(); ++i)
        if (static_cast<std::size_t>(kCatalogue[i].format) != i) return false;
    return true;
}
static_assert(catalogueInOrder(), "catalogue rows must follow the enumeration order");

const CatalogueRow& row(FileFormat f) { return kCatalogue[static_cast<std::size_t>(f)]; }

std::string toLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

const std::array<FileFormat, kFormatCount>& allFormats() {
    static const std::array<FileFormat, kFormatCount> formats = [] {
        std::array<FileFormat, kFormatCount> a{};
        for (std::size_t i = 0; i < kFormatCount; ++i) a[i] = kCatalogue[i].format;
        return a;
    }();
    return formats;
}

std::string_view displayName(FileFormat f) { return row(f).name; }

std::optional<FileFormat> formatFromName(std::string_view name) {
    for (const CatalogueRow& r : kCatalogue)
        if (r.name == name) return r.format;
    return std::nullopt;
}

std::optional<FileFormat> formatFromLowerName(std::string_view lowerExt) {
    for (const CatalogueRow& r : kCatalogue)
        if (toLower(r.name) == lowerExt) return r.format;
    return std::nullopt;
}

std::string lowerName(FileFormat f) { return toLower(row(f).name); }

std::uint64_t minimumSize(FileFormat f) { return row(f).minimum; }

std::vector<FileFormat> FormatSet::members() const {
    std::vector<FileFormat> out;
    for (FileFormat f : allFormats())
        if (contains(f)) out.push_back(f);
    return out;
}

std::string FormatSet::sortedNames(std::string_view separator) const {
    std::vector<std::string_view> names;
    for (FileFormat f : members()) names.push_back(displayName(f));
    std::sort(names.begin(), names.end());
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += separator;
        out += names[i];
    }
    return out;
}

FormatSet parseFormatFilter(std::string_view text) {
    FormatSet set;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = text.find(',', pos);
        const std::string_view piece =
            text.substr(pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos);
        if (!piece.empty())
            if (auto f = formatFromName(piece)) set.insert(*f);
        if (comma == std::string_view::npos) break;
        pos = comma + 1;
    }
    return set;
}

}  // namespace vf
