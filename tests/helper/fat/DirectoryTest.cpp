// The directory walk on entries no tool writes: reused slots, stand-in bytes,
// loops, deep trees, directories that claim the whole card.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "helper/fat/FATParser.h"
#include "tests/helper/fat/SyntheticVolumes.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using namespace test;

TEST(Fat32Directory, ReusedSlotsStandInBytesAndEntriesThatAreNoFile) {
    Fat32Volume v;
    v.entry(2, 0, "CARD       ", 0x08, 0, 0);  // volume label
    std::size_t slot = v.longNamed(2, 1, u"IMG_0002.HEIC", "IMG_00~2HEI", 20, 700, true);
    v.entry(2, slot++, "EMPTY   JPG", 0x20, 0, 0);         // an empty file has no cluster
    v.entry(2, slot++, "BROKEN  JPG", 0x20, 1, 10);        // nor is cluster 1 one
    v.entry(2, slot++, "README     ", 0x20, 22, 10);       // no extension, no format
    v.entry(2, slot++, "\x05" "BC     JPG", 0x20, 23, 10);  // first byte stands for 0xE5
    // A deleted long name whose first entry (the name's end) was reused by a
    // live short entry, and deleted long entries whose own short entry was
    // reused by another deleted file: neither is taken for a name.
    const std::size_t cut = slot;
    slot = v.longNamed(2, slot, u"VID_20240101_123456.mp4", "VID_20~1MP4", 24, 5, true);
    v.entry(2, cut, "LIVE    JPG", 0x20, 25, 6);
    const std::size_t orphan = v.longNamed(2, slot, u"IMG_0003.AVIF", "IMG_00~3AVI", 26, 7, true) - 1;
    v.entry(2, orphan, "\xE5THER   JPG", 0x20, 26, 7);
    v.entry(2, orphan + 2, "AFTER   JPG", 0x20, 31, 1);  // past the end marker
    MemoryDevice dev(v.bytes);
    FATParser p(dev, *FATParser::parseFAT32BootSector(dev, 0));
    const DirectoryIndex index = p.buildDirectoryIndex();
    const auto at = [&](std::uint32_t c) { return index.at(p.clusterOffset(c)); };
    ASSERT_EQ(index.size(), 5u);
    EXPECT_EQ(at(20), (DirectoryHint{20, "IMG_0002", "HEIC", 700, true, false}));
    EXPECT_EQ(at(23), (DirectoryHint{23, "", "JPG", 10, false, false}));  // 0xE5 is no ASCII name
    EXPECT_EQ(at(24), (DirectoryHint{24, "?ID_20~1", "MP4", 5, true, false}));
    EXPECT_EQ(at(25).originalName, "LIVE");
    EXPECT_EQ(at(26), (DirectoryHint{26, "?THER", "JPG", 7, true, false}));
}

TEST(Fat32Directory, WalksSixteenLevelsAndSurvivesCycles) {
    Fat32Volume v;
    // Root (level 0) → D1 in cluster 3 → … → D16 in cluster 18, each with one file.
    for (std::uint32_t level = 0; level <= 16; ++level) {
        const std::uint32_t dir = 2 + level;
        v.chain({dir});
        v.entry(dir, 0, "F" + std::to_string(100 + level) + "    JPG", 0x20, 40 + level, 1);
        v.entry(dir, 1, level == 16 ? "UP         " : "D          ", 0x10, level == 16 ? 2 : dir + 1, 0);
    }
    v.entry(5, 2, "SELF       ", 0x10, 5, 0);
    v.setFat(17, 17);  // a directory chain that loops onto itself
    MemoryDevice dev(v.bytes);
    FATParser p(dev, *FATParser::parseFAT32BootSector(dev, 0));
    const DirectoryIndex index = p.buildDirectoryIndex();
    EXPECT_EQ(index.size(), 16u);
    EXPECT_TRUE(index.count(p.clusterOffset(40 + 15)));
}

// A deleted set must not decide how the live file that took its first cluster
// is read (a fragmented file read as contiguous comes out corrupted), in
// either order; broken sets are skipped entry by entry.
TEST(ExFatDirectory, LiveSetDecidesHowItsClustersAreRead) {
    ExFatVolume v;
    std::size_t at = 32;  // after the bitmap entry
    at = v.set(2, at, {"NEW.JPG", false, 10, 3000, false, true});
    at = v.set(2, at, {"OLD.JPG", false, 10, 9000, true, false});
    at = v.set(2, at, {"OLD2.JPG", false, 20, 9000, true, false});
    at = v.set(2, at, {"NEW2.JPG", false, 20, 2000, false, true});
    at = v.set(2, at, {"LIVE3.JPG", false, 30, 1000, true, true});
    at = v.set(2, at, {"GONE3.JPG", false, 30, 8000, false, false});
    const std::size_t bad = at;
    at = v.set(2, at, {"BAD1.JPG", false, 40, 1, false, true});
    v.bytes[v.clusterPos(2) + bad + 1] = 1;  // SecondaryCount 1
    const std::size_t bad2 = at;
    at = v.set(2, at, {"BAD2.JPG", false, 41, 1, false, true});
    v.bytes[v.clusterPos(2) + bad2 + 32] = 0xC1;  // second entry no stream
    v.set(2, at, {"NOEXT", false, 42, 1, false, true});
    MemoryDevice dev(v.bytes);
    FATParser p(dev, *FATParser::parseExFATBootSector(dev, 0));
    const DirectoryIndex index = p.buildDirectoryIndex();
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index.at(p.clusterOffset(10)), (DirectoryHint{10, "NEW", "JPG", 3000, false, false}));
    EXPECT_EQ(index.at(p.clusterOffset(20)).originalName, "NEW2");
    EXPECT_EQ(index.at(p.clusterOffset(30)).originalName, "LIVE3");
    EXPECT_FALSE(p.contiguousFiles().count(10));
    EXPECT_FALSE(p.contiguousFiles().count(20));
    EXPECT_EQ(p.contiguousFiles().at(30), 1000u);
}

// 200 directories that share their clusters, each claiming 256 MiB: each
// cluster is read once, so the walk reads no more than the volume; entries
// whose extension names no wanted format cost nothing; a walk asked to stop
// ends at once; a directory claiming 2^62 bytes is read to the limit only.
TEST(ExFatDirectory, HostileDirectoriesCostNoMoreThanTheVolume) {
    ExFatVolume v(1024, 3);  // 4 KiB clusters, 4 MiB
    v.chain({2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    std::size_t at = 32;
    at = v.set(2, at, {"A.JPG", false, 500, 100, true, true});
    for (int k = 0; k < 200; ++k) at = v.set(2, at, {"N" + std::to_string(k) + ".TXT", false, 501, 100, true, true});
    for (std::uint32_t k = 0; k < 200; ++k) at = v.set(2, at, {"D", true, 12 + k, 256ull << 20, true, true});
    MemoryDevice dev(v.bytes);
    FATParser p(dev, *FATParser::parseExFATBootSector(dev, 0));
    EXPECT_EQ(p.buildDirectoryIndex([](const std::string& ext) { return ext == "jpg"; }).size(), 1u);
    EXPECT_LE(p.directoryBytesRead(), v.bytes.size());
    EXPECT_EQ(p.contiguousFiles().count(501), 0u);
    int asked = 0;
    p.buildDirectoryIndex({}, [&] { return ++asked < 2; });
    EXPECT_EQ(asked, 2);
    EXPECT_LE(p.directoryBytesRead(), 64u * 4096);

    ExFatVolume huge(16, 11);  // 1 MiB clusters, a million claimed, on a sparse file of 1 TiB
    huge.u32(92, 1u << 20);
    huge.set(2, 32, {"HUGE", true, 3, 1ull << 62, true, true});
    TempDir dir;
    writeFile(dir / "card.img", huge.bytes);
    std::filesystem::resize_file(dir / "card.img", 1ull << 40);
    const int fd = ::open((dir / "card.img").c_str(), O_RDONLY);
    FdDevice zeros(fd);
    FATParser q(zeros, *FATParser::parseExFATBootSector(zeros, 0));
    EXPECT_TRUE(q.buildDirectoryIndex().empty());
    EXPECT_LE(q.directoryBytesRead(), (256ull << 20) + 4 * (1ull << 20));
    ::close(fd);
}

// A hostile long name must still give valid UTF-8 for the records.
TEST(Names, BrokenSurrogatesAreReplaced) {
    const std::vector<std::uint16_t> lone = {0xD83D, 'a', 0xDC37, 0xD800, 0xD83D, 0xDCF7};
    EXPECT_EQ(decodeUtf16(lone), "\xEF\xBF\xBD" "a" "\xEF\xBF\xBD" "\xEF\xBF\xBD" "\xF0\x9F\x93\xB7");
}

}  // namespace
}  // namespace vf
