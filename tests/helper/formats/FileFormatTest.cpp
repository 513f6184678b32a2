#include "helper/formats/FileFormat.h"

#include <gtest/gtest.h>

namespace vf {
namespace {

// Records and settings store these names: each parses back to its format.
TEST(FileFormat, NamesExtensionsAndFilters) {
    for (FileFormat f : allFormats()) {
        EXPECT_EQ(formatFromName(displayName(f)), f);
        EXPECT_EQ(formatFromLowerName(lowerName(f)), f);
    }
    EXPECT_FALSE(formatFromName("jpeg"));
    EXPECT_EQ(lowerName(FileFormat::_3fr), "3fr");
    const std::pair<const char*, std::optional<FileFormat>> extensions[] = {
        {"JPG", FileFormat::jpeg}, {"jpeg", FileFormat::jpeg}, {"MPO", FileFormat::jpeg}, {"HIF", FileFormat::heic},
        {"heif", FileFormat::heic}, {"TIF", FileFormat::tiff}, {"Cr2", FileFormat::cr2}, {"THM", std::nullopt},
        {"", std::nullopt}};
    for (const auto& [ext, format] : extensions) EXPECT_EQ(formatFromExtension(ext), format) << ext;
    EXPECT_EQ(parseFormatFilter("JPEG,,jpeg, PNG"), FormatSet::of({FileFormat::jpeg}));
    EXPECT_EQ(parseFormatFilter(",CR2,MP4,"), FormatSet::of({FileFormat::cr2, FileFormat::mp4}));
    EXPECT_EQ(FormatSet::of({FileFormat::mp4, FileFormat::_3fr, FileFormat::jpeg, FileFormat::webp}).sortedNames(", "),
              "3FR, JPEG, MP4, WebP");
}

TEST(FileFormat, NextFileBoundsALength) {
    constexpr std::uint64_t M = 1 << 20;
    const struct {
        FileFormat format;
        std::uint64_t length, gap, want;
        std::optional<std::uint64_t> reach;
    } cases[] = {  // running into the next file, close behind it, far from it
        {FileFormat::jpeg, 10 * M, 4 * M, 4 * M, 12 * M},       {FileFormat::jpeg, 10 * M, 12 * M, 12 * M, 12 * M},
        {FileFormat::jpeg, 10 * M, 12 * M + 1, 10 * M, 12 * M}, {FileFormat::rw2, 10 * M, 200 * M, 200 * M, std::nullopt},
        {FileFormat::fff, 0, 64 * M, 64 * M, std::nullopt},     {FileFormat::x3f, 10 * M, 11 * M, 10 * M, 10 * M - 1},
        {FileFormat::raf, 10 * M, 4 * M, 4 * M, 10 * M - 1},    {FileFormat::mrw, 0, 4 * M, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(displayName(c.format)) + " gap " + std::to_string(c.gap));
        EXPECT_EQ(boundByNextFile(c.format, c.length, c.gap), c.want);
        EXPECT_EQ(nextFileReach(c.format, c.length), c.reach);
    }
}

}  // namespace
}  // namespace vf
