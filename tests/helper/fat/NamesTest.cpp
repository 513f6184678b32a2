#include <gtest/gtest.h>


#include "helper/fat/FatNames.h"

namespace vf {
namespace {

std::vector<std::uint16_t> units(std::u16string_view s) { return {s.begin(), s.end()}; }

TEST(Utf16, DecodesPairsAndReplacesBrokenSurrogates) {
    EXPECT_EQ(decodeUtf16(units(u"Ünïcode photo.heic")), "Ünïcode photo.heic");
    EXPECT_EQ(decodeUtf16(units(u"\U0001F4F7.jpg")), "\xF0\x9F\x93\xB7.jpg");
    const std::vector<std::uint16_t> lone = {0xD83D, 'a', 0xDC37, 0xD800};
    EXPECT_EQ(decodeUtf16(lone), "\xEF\xBF\xBD" "a" "\xEF\xBF\xBD" "\xEF\xBF\xBD");
}

TEST(Names, SplitAtTheLastFullStop) {
    EXPECT_EQ(splitFileName("IMG_0001.HEIC").base, "IMG_0001");
    EXPECT_EQ(splitFileName("IMG_0001.HEIC").extension, "HEIC");
    EXPECT_EQ(splitFileName("archive.tar.gz").base, "archive.tar");
    EXPECT_EQ(splitFileName("archive.tar.gz").extension, "gz");
    EXPECT_EQ(splitFileName("README").extension, "");
}

TEST(LongNames, ChecksumMatchesWhatMtoolsWrites) {
    // mtools wrote 0xBA for the long name IMG_0001.AVIF of IMG_00~1.AVI.
    const std::string_view sn = "IMG_00~1AVI";
    EXPECT_EQ(shortNameChecksum(std::vector<std::uint8_t>(sn.begin(), sn.end())), 0xBA);
}

}  // namespace
}  // namespace vf
