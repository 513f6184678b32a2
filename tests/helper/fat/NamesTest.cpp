#include <gtest/gtest.h>

#include <array>

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

// Long-name entries as Windows and mtools lay them out.
struct LfnSet {
    std::vector<std::array<std::uint8_t, 32>> entries;  // long-name entries in disk order, then the short one
};

std::array<std::uint8_t, 32> shortEntry(std::string_view name11, bool deleted = false) {
    std::array<std::uint8_t, 32> e{};
    std::copy(name11.begin(), name11.end(), e.begin());
    e[11] = 0x20;
    if (deleted) e[0] = 0xE5;
    return e;
}

LfnSet makeSet(std::u16string_view longName, std::string_view name11, bool deleted = false) {
    constexpr std::array<std::size_t, 13> at = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::array<std::uint8_t, 11> sn{};
    std::copy(name11.begin(), name11.end(), sn.begin());
    const std::uint8_t sum = shortNameChecksum(sn);
    std::vector<std::uint16_t> u(longName.begin(), longName.end());
    if (u.size() % 13) u.push_back(0);
    while (u.size() % 13) u.push_back(0xFFFF);
    const std::size_t n = u.size() / 13;
    LfnSet set;
    for (std::size_t k = n; k >= 1; --k) {
        std::array<std::uint8_t, 32> e{};
        e[0] = static_cast<std::uint8_t>(k | (k == n ? 0x40 : 0));
        if (deleted) e[0] = 0xE5;
        e[11] = 0x0F;
        e[13] = sum;
        for (std::size_t i = 0; i < 13; ++i) {
            e[at[i]] = static_cast<std::uint8_t>(u[(k - 1) * 13 + i]);
            e[at[i] + 1] = static_cast<std::uint8_t>(u[(k - 1) * 13 + i] >> 8);
        }
        set.entries.push_back(e);
    }
    set.entries.push_back(shortEntry(name11, deleted));
    return set;
}

std::optional<std::string> resolve(const LfnSet& set, std::size_t skipLongEntries = 0) {
    LongNameCollector c;
    for (std::size_t i = skipLongEntries; i + 1 < set.entries.size(); ++i) c.add(set.entries[i]);
    return c.takeFor(set.entries.back());
}

TEST(LongNames, ChecksumMatchesWhatMtoolsWrites) {
    // mtools wrote 0xBA for the long name IMG_0001.AVIF of IMG_00~1.AVI.
    const std::array<std::uint8_t, 11> sn = {'I', 'M', 'G', '_', '0', '0', '~', '1', 'A', 'V', 'I'};
    EXPECT_EQ(shortNameChecksum(sn), 0xBA);
}

TEST(LongNames, LiveSetNeedsOrdinalsAndChecksum) {
    const LfnSet set = makeSet(u"VID_20240101_123456.mp4", "VID_20~1MP4");
    EXPECT_EQ(resolve(set), "VID_20240101_123456.mp4");

    LfnSet wrongSum = set;
    wrongSum.entries.back()[7] = '2';  // VID_20~2: another file's short entry
    EXPECT_EQ(resolve(wrongSum), std::nullopt);

    EXPECT_EQ(resolve(set, 1), std::nullopt);  // the entry with 0x40 is gone

    LfnSet swapped = set;
    std::swap(swapped.entries[0], swapped.entries[1]);
    EXPECT_EQ(resolve(swapped), std::nullopt);

    EXPECT_EQ(resolve(makeSet(u"Ünïcode photo.heic", "\x9A" "NICOD~1HEI")), "Ünïcode photo.heic");
}

TEST(LongNames, DeletedSetMatchesByTheLongNamesFirstLetter) {
    EXPECT_EQ(resolve(makeSet(u"IMG_0001.AVIF", "IMG_00~1AVI", true)), "IMG_0001.AVIF");
    EXPECT_EQ(resolve(makeSet(u"photo of the day.jpeg", "PHOTOO~1JPE", true)), "photo of the day.jpeg");

    // Long entries left by another file whose short entry was reused.
    LfnSet other = makeSet(u"IMG_0001.AVIF", "IMG_00~1AVI", true);
    other.entries.back() = shortEntry("ZZZ     JPG", true);
    EXPECT_EQ(resolve(other), std::nullopt);

    // The slot holding the name's end was reused: the part left is not the name.
    const LfnSet cut = makeSet(u"VID_20240101_123456.mp4", "VID_20~1MP4", true);
    EXPECT_EQ(resolve(cut, 1), std::nullopt);
}

TEST(LongNames, AVolumeLabelOrGarbageBreaksTheSet) {
    const LfnSet set = makeSet(u"IMG_0001.HEIC", "IMG_00~1HEI");
    LongNameCollector c;
    c.add(set.entries[0]);
    c.reset();
    EXPECT_EQ(c.takeFor(set.entries.back()), std::nullopt);

    std::array<std::uint8_t, 32> bad = set.entries[0];
    bad[26] = 7;  // long-name entries carry no cluster
    c.add(bad);
    EXPECT_EQ(c.takeFor(set.entries.back()), std::nullopt);
}

}  // namespace
}  // namespace vf
