#pragma once
// The scanner's format names in catalogue order. Both programs take them from
// here: the scanner's catalogue by index, the application's settings by name.

#include <array>
#include <string_view>

namespace vf {

inline constexpr std::array<std::string_view, 41> kFormatNames{
    "JPEG", "PNG",  "GIF",  "BMP", "WebP", "HEIC", "AVIF", "TIFF", "PPM", "RAW", "MDC",
    "CRW",  "CR2",  "CR3",  "NEF", "NRW",  "ARW",  "SRF",  "SR2",  "MRW", "ERF", "SRW",
    "3FR",  "RAF",  "ORF",  "RW2", "PEF",  "DNG",  "RWL",  "FFF",  "IIQ", "X3F", "DCR",
    "KDC",  "MP4",  "MOV",  "AVI", "MTS",  "M2TS", "MXF",  "BRAW",
};

constexpr bool isScannerFormatName(std::string_view name) {
    for (std::string_view n : kFormatNames)
        if (n == name) return true;
    return false;
}

}  // namespace vf
