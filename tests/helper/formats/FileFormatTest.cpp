#include "helper/formats/FileFormat.h"

#include <gtest/gtest.h>

namespace vf {
namespace {

TEST(FileFormat, NamesParseBackExactly) {
    for (FileFormat f : allFormats()) EXPECT_EQ(formatFromName(displayName(f)), f);
    EXPECT_EQ(formatFromName("JPEG"), FileFormat::jpeg);
    EXPECT_FALSE(formatFromName("jpeg"));
    EXPECT_EQ(formatFromName("3FR"), FileFormat::_3fr);
    EXPECT_EQ(formatFromName("M2TS"), FileFormat::m2ts);
    EXPECT_FALSE(formatFromName("MKV"));
    EXPECT_EQ(lowerName(FileFormat::_3fr), "3fr");
    EXPECT_EQ(lowerName(FileFormat::webp), "webp");
    EXPECT_EQ(formatFromLowerName("webp"), FileFormat::webp);
}

TEST(FileFormat, CameraExtensionsNameTheirFormats) {
    const std::pair<const char*, std::optional<FileFormat>> cases[] = {
        {"JPG", FileFormat::jpeg}, {"jpeg", FileFormat::jpeg}, {"JPE", FileFormat::jpeg}, {"MPO", FileFormat::jpeg},
        {"HIF", FileFormat::heic}, {"heif", FileFormat::heic}, {"HEIC", FileFormat::heic}, {"TIF", FileFormat::tiff},
        {"Cr2", FileFormat::cr2},  {"3FR", FileFormat::_3fr},  {"THM", std::nullopt},       {"", std::nullopt},
    };
    for (const auto& [ext, format] : cases) EXPECT_EQ(formatFromExtension(ext), format) << ext;
}

TEST(FileFormat, CatalogueOrderAndMinimums) {
    EXPECT_EQ(allFormats().size(), 41u);
    EXPECT_EQ(allFormats().front(), FileFormat::jpeg);
    EXPECT_EQ(allFormats()[34], FileFormat::mp4);
    EXPECT_EQ(allFormats().back(), FileFormat::braw);
    EXPECT_EQ(minimumSize(FileFormat::jpeg), 102'400u);
    EXPECT_EQ(minimumSize(FileFormat::braw), 67'108'864u);
    EXPECT_EQ(minimumSize(FileFormat::avif), 16'384u);
}

TEST(FileFormat, NextFileBoundsALength) {
    constexpr std::uint64_t M = 1 << 20;
    struct Case {
        FileFormat format;
        std::uint64_t length, gap, want;
        std::optional<std::uint64_t> reach;
    } const cases[] = {
        {FileFormat::jpeg, 10 * M, 4 * M, 4 * M, 12 * M},    // runs into the next file
        {FileFormat::jpeg, 10 * M, 12 * M, 12 * M, 12 * M},  // close behind
        {FileFormat::jpeg, 10 * M, 12 * M + 1, 10 * M, 12 * M},
        {FileFormat::rw2, 10 * M, 200 * M, 200 * M, std::nullopt},
        {FileFormat::fff, 0, 64 * M, 64 * M, std::nullopt},
        {FileFormat::x3f, 10 * M, 11 * M, 10 * M, 10 * M - 1},
        {FileFormat::raf, 10 * M, 4 * M, 4 * M, 10 * M - 1},
        {FileFormat::mrw, 0, 4 * M, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(displayName(c.format)) + " gap " + std::to_string(c.gap));
        EXPECT_EQ(boundByNextFile(c.format, c.length, c.gap), c.want);
        EXPECT_EQ(nextFileReach(c.format, c.length), c.reach);
    }
}

TEST(FileFormat, FilterParsing) {
    EXPECT_EQ(parseFormatFilter("JPEG,,jpeg, PNG"), FormatSet::of({FileFormat::jpeg}));
    EXPECT_TRUE(parseFormatFilter("xyz").empty());
    EXPECT_TRUE(parseFormatFilter("").empty());
    EXPECT_EQ(parseFormatFilter(",CR2,MP4,"), FormatSet::of({FileFormat::cr2, FileFormat::mp4}));
    EXPECT_EQ(FormatSet::of({FileFormat::mp4, FileFormat::_3fr, FileFormat::jpeg, FileFormat::webp}).sortedNames(", "),
              "3FR, JPEG, MP4, WebP");
    EXPECT_EQ(FormatSet::all().size(), 41u);
}

}  // namespace
}  // namespace vf
