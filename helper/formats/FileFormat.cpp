#include "helper/formats/FileFormat.h"

#include <algorithm>
#include <cctype>

#include "common/FormatNames.h"

namespace vf {
namespace {

struct CatalogueRow {
    FileFormat format;
    std::uint64_t minimum;
    NextFileBound nextFile = NextFileBound::near;
};

// A next file at most this far behind the end a rule gives extends the file up to it.
constexpr std::uint64_t kCloseGap = 2'097'152;

// In declaration order; the index of a row is the value of its case and of its
// name in kFormatNames.
constexpr std::array<CatalogueRow, kFormatCount> kCatalogue{{
    {FileFormat::jpeg, 102'400},      {FileFormat::png, 4'096},
    {FileFormat::gif, 1'024},         {FileFormat::bmp, 1'024},
    {FileFormat::webp, 1'024},        {FileFormat::heic, 102'400},
    {FileFormat::avif, 16'384},       {FileFormat::tiff, 4'096},
    {FileFormat::ppm, 4'096},         {FileFormat::raw, 4'096},
    {FileFormat::mdc, 4'096},         {FileFormat::crw, 4'194'304},
    {FileFormat::cr2, 4'194'304},     {FileFormat::cr3, 8'388'608},
    {FileFormat::nef, 8'388'608},     {FileFormat::nrw, 4'194'304},
    {FileFormat::arw, 8'388'608},     {FileFormat::srf, 4'194'304},
    {FileFormat::sr2, 8'388'608},     {FileFormat::mrw, 4'194'304, NextFileBound::cuts},
    {FileFormat::erf, 4'194'304},     {FileFormat::srw, 4'194'304},
    {FileFormat::_3fr, 10'485'760, NextFileBound::reaches},   {FileFormat::raf, 3'145'728, NextFileBound::cuts},
    {FileFormat::orf, 4'194'304},     {FileFormat::rw2, 8'388'608, NextFileBound::reaches},
    {FileFormat::pef, 8'388'608},     {FileFormat::dng, 4'194'304},
    {FileFormat::rwl, 16'777'216},    {FileFormat::fff, 41'943'040, NextFileBound::reaches},
    {FileFormat::iiq, 41'943'040},    {FileFormat::x3f, 4'194'304, NextFileBound::cuts},
    {FileFormat::dcr, 4'194'304},     {FileFormat::kdc, 4'194'304},
    {FileFormat::mp4, 524'288},       {FileFormat::mov, 524'288},
    {FileFormat::avi, 524'288},       {FileFormat::mts, 4'194'304},
    {FileFormat::m2ts, 4'194'304},    {FileFormat::mxf, 1'048'576},
    {FileFormat::braw, 67'108'864},
}};
static_assert(kFormatNames.size() == kFormatCount);

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

std::string_view displayName(FileFormat f) { return kFormatNames[static_cast<std::size_t>(f)]; }

std::optional<FileFormat> formatFromName(std::string_view name) {
    for (const CatalogueRow& r : kCatalogue)
        if (displayName(r.format) == name) return r.format;
    return std::nullopt;
}

std::optional<FileFormat> formatFromLowerName(std::string_view lowerExt) {
    for (const CatalogueRow& r : kCatalogue)
        if (toLower(displayName(r.format)) == lowerExt) return r.format;
    return std::nullopt;
}

std::optional<FileFormat> formatFromExtension(std::string_view ext) {
    const std::string lower = toLower(ext);
    static constexpr std::pair<std::string_view, FileFormat> kCameraExtensions[] = {
        {"jpg", FileFormat::jpeg}, {"jpe", FileFormat::jpeg}, {"mpo", FileFormat::jpeg}, {"tif", FileFormat::tiff},
        {"hif", FileFormat::heic}, {"heif", FileFormat::heic},
    };
    for (const auto& [name, format] : kCameraExtensions)
        if (lower == name) return format;
    return formatFromLowerName(lower);
}

std::string lowerName(FileFormat f) { return toLower(displayName(f)); }

std::uint64_t minimumSize(FileFormat f) { return row(f).minimum; }

NextFileBound nextFileBound(FileFormat f) { return row(f).nextFile; }

std::optional<std::uint64_t> nextFileReach(FileFormat f, std::uint64_t length) {
    switch (nextFileBound(f)) {
        case NextFileBound::reaches: return std::nullopt;
        case NextFileBound::cuts: return length ? length - 1 : 0;
        case NextFileBound::near: break;
    }
    return length + kCloseGap;
}

std::uint64_t boundByNextFile(FileFormat f, std::uint64_t length, std::uint64_t gap) {
    if (gap < length) return gap;
    switch (nextFileBound(f)) {
        case NextFileBound::reaches: return gap;
        case NextFileBound::cuts: return length;
        case NextFileBound::near: break;
    }
    return length < gap && gap - length <= kCloseGap ? gap : length;
}

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
