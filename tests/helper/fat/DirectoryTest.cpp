#include <gtest/gtest.h>

#include "helper/fat/FATParser.h"
#include "tests/helper/fat/SyntheticVolumes.h"

namespace vf {
namespace {

using test::ExFatVolume;
using test::Fat32Volume;

std::unique_ptr<FATParser> fat32Parser(Device& dev, const Fat32Volume& v) {
    const auto g = FATParser::parseFAT32BootSector(dev, v.base);
    return g ? std::make_unique<FATParser>(dev, *g) : nullptr;
}
std::unique_ptr<FATParser> exfatParser(Device& dev, const ExFatVolume& v) {
    const auto g = FATParser::parseExFATBootSector(dev, v.base);
    return g ? std::make_unique<FATParser>(dev, *g) : nullptr;
}

TEST(Fat32Directory, IndexesShortAndLongNamesDeletedOnesIncluded) {
    Fat32Volume v(64, 1);
    v.entry(2, 0, "CARD       ", 0x08, 0, 0);  // volume label
    std::size_t slot = v.longNamed(2, 1, u"IMG_0001.AVIF", "IMG_00~1AVI", 10, 5000);
    v.chain({10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
    slot = v.longNamed(2, slot, u"IMG_0002.HEIC", "IMG_00~2HEI", 20, 700, true);
    v.entry(2, slot++, "\xE5HOTO001JPG", 0x20, 21, 100);  // deleted, its FAT entry freed
    v.entry(2, slot++, "README     ", 0x20, 22, 10);      // no extension
    v.entry(2, slot++, "EMPTY   JPG", 0x20, 0, 0);        // an empty file has no cluster
    v.entry(2, slot++, "\x05" "BC     JPG", 0x20, 23, 10); // first byte stands for 0xE5
    // A deleted long name whose first entry (the name's end) was reused by a
    // live short entry, and deleted long entries whose own short entry was
    // reused by another deleted file: neither is taken for a name.
    const std::size_t cut = slot;
    slot = v.longNamed(2, slot, u"VID_20240101_123456.mp4", "VID_20~1MP4", 24, 5, true);
    v.entry(2, cut, "LIVE    JPG", 0x20, 25, 6);
    const std::size_t orphan = v.longNamed(2, slot, u"IMG_0003.AVIF", "IMG_00~3AVI", 26, 7, true) - 1;
    v.entry(2, orphan, "\xE5THER   JPG", 0x20, 26, 7);
    slot = orphan + 1;
    v.entry(2, slot++, "SUB        ", 0x10, 3, 0);
    v.entry(3, 0, ".          ", 0x10, 3, 0);
    v.entry(3, 1, "..         ", 0x10, 0, 0);
    v.entry(3, 2, "CLIP    MOV", 0x20, 30, 1);
    v.entry(3, 3, std::string(11, '\0'), 0, 0, 0);
    v.entry(3, 4, "AFTER   JPG", 0x20, 31, 1);  // past the end marker
    v.chain({3});
    MemoryDevice dev(v.bytes);
    auto p = fat32Parser(dev, v);
    ASSERT_TRUE(p);
    const DirectoryIndex index = p->buildDirectoryIndex();

    auto at = [&](std::uint32_t c) { return index.at(p->clusterOffset(c)); };
    ASSERT_EQ(index.size(), 8u);
    EXPECT_EQ(at(24), (DirectoryHint{24, "?ID_20~1", "MP4", 5, true, false}));
    EXPECT_EQ(at(25).originalName, "LIVE");
    EXPECT_EQ(at(26), (DirectoryHint{26, "?THER", "JPG", 7, true, false}));
    EXPECT_EQ(at(10), (DirectoryHint{10, "IMG_0001", "AVIF", 5000, false, false}));
    EXPECT_EQ(at(20), (DirectoryHint{20, "IMG_0002", "HEIC", 700, true, false}));
    EXPECT_EQ(at(21), (DirectoryHint{21, "?HOTO001", "JPG", 100, true, false}));
    EXPECT_EQ(at(23), (DirectoryHint{23, "", "JPG", 10, false, false}));
    EXPECT_EQ(at(30), (DirectoryHint{30, "CLIP", "MOV", 1, false, false}));
    EXPECT_EQ(p->clusterChain(21), std::vector<std::uint32_t>{21});
}

TEST(Fat32Directory, WalksSixteenLevelsAndSurvivesCycles) {
    Fat32Volume v(64, 1);
    // Root (level 0) → D1 in cluster 3 → … → D16 in cluster 18, each with one file.
    for (std::uint32_t level = 0; level <= 16; ++level) {
        const std::uint32_t dir = level == 0 ? 2 : 2 + level;
        v.chain({dir});
        v.entry(dir, 0, "F" + std::to_string(100 + level) + "    JPG", 0x20, 40 + level, 1);
        v.entry(dir, 1, "D          ", 0x10, dir + 1, 0);
        if (level == 16) v.entry(dir, 1, "UP         ", 0x10, 2, 0);  // back to the root
    }
    v.entry(5, 2, "SELF       ", 0x10, 5, 0);
    v.setFat(17, 17);  // a directory chain that loops onto itself
    MemoryDevice dev(v.bytes);
    auto p = fat32Parser(dev, v);
    const DirectoryIndex index = p->buildDirectoryIndex();
    EXPECT_EQ(index.size(), 16u);
    EXPECT_TRUE(index.count(p->clusterOffset(40 + 15)));
    EXPECT_FALSE(index.count(p->clusterOffset(40 + 16)));
}

TEST(Fat32Directory, LiveEntryWinsOverDeletedOneForTheSameCluster) {
    // A camera reused the deleted photo's clusters; the deleted entry may come
    // before or after the live one in the directory.
    Fat32Volume v(64, 1);
    v.entry(2, 0, "NEW_0001JPG", 0x20, 10, 3000);
    v.entry(2, 1, "\xE5LD_0001JPG", 0x20, 10, 9000);
    v.entry(2, 2, "\xE5LD_0002JPG", 0x20, 20, 9000);
    v.entry(2, 3, "NEW_0002JPG", 0x20, 20, 2000);
    v.entry(2, 4, "\xE5LD_0003JPG", 0x20, 30, 1);
    v.entry(2, 5, "\xE5LD_0004JPG", 0x20, 30, 2);
    v.entry(2, 6, "TWIN_A  JPG", 0x20, 40, 1);
    v.entry(2, 7, "TWIN_B  JPG", 0x20, 40, 2);
    MemoryDevice dev(v.bytes);
    auto p = fat32Parser(dev, v);
    const DirectoryIndex index = p->buildDirectoryIndex();
    EXPECT_EQ(index.at(p->clusterOffset(10)).originalName, "NEW_0001");
    EXPECT_EQ(index.at(p->clusterOffset(10)).fileSize, 3000u);
    EXPECT_EQ(index.at(p->clusterOffset(20)).originalName, "NEW_0002");
    // Between equals the later entry still replaces the earlier.
    EXPECT_EQ(index.at(p->clusterOffset(30)).originalName, "?LD_0004");
    EXPECT_EQ(index.at(p->clusterOffset(40)).originalName, "TWIN_B");
}

TEST(ClusterChain, EndsAtLoopsMarkersAndClustersOutsideTheHeap) {
    Fat32Volume v(64, 1);
    v.setFat(5, 6); v.setFat(6, 7); v.setFat(7, 5);
    v.setFat(10, 11); v.setFat(11, 0x0FFFFFF7);  // bad cluster
    v.setFat(20, 21); v.setFat(21, 500);         // beyond the 64 clusters
    v.setFat(30, 0xF0000000 | 31); v.setFat(31, 0x0FFFFFFF);  // the top four bits are not part of the entry
    MemoryDevice dev(v.bytes);
    auto p = fat32Parser(dev, v);
    EXPECT_EQ(p->clusterChain(5), (std::vector<std::uint32_t>{5, 6, 7}));
    EXPECT_EQ(p->clusterChain(10), (std::vector<std::uint32_t>{10, 11}));
    EXPECT_EQ(p->clusterChain(20), (std::vector<std::uint32_t>{20, 21}));
    EXPECT_EQ(p->clusterChain(30), (std::vector<std::uint32_t>{30, 31}));
    EXPECT_TRUE(p->clusterChain(1).empty());
    EXPECT_TRUE(p->clusterChain(66).empty());
    EXPECT_EQ(p->fatEntry(30), 31u);

    // A FAT beyond the device's end ends every chain at its start.
    Geometry g = p->geo();
    g.fatStartByte = v.bytes.size() + 4096;
    FATParser lying(dev, g);
    EXPECT_EQ(lying.fatEntry(5), 0x0FFFFFF7u);
    EXPECT_EQ(lying.clusterChain(5), std::vector<std::uint32_t>{5});
}

TEST(ExFatDirectory, IndexesEntrySetsAndRecordsContiguousFiles) {
    ExFatVolume v(128, 1);
    std::size_t at = 32;  // after the bitmap entry
    at = v.set(2, at, {"IMG_0001.HEIC", false, 10, 3000, true, true});
    at = v.set(2, at, {"archive.tar.gz", false, 12, 10, false, true});
    at = v.set(2, at, {"DSC00002.JPG", false, 14, 700, true, false});
    at = v.set(2, at, {"NOEXT", false, 16, 1, false, true});
    at = v.set(2, at, {"DCIM", true, 3, 1024, true, true});
    // A file entry with SecondaryCount 1, and one whose second entry is no
    // stream: both are skipped entry by entry.
    const std::size_t bad = at;
    at = v.set(2, at, {"BAD1.JPG", false, 20, 1, false, true});
    v.bytes[v.clusterPos(2) + bad + 1] = 1;
    const std::size_t bad2 = at;
    at = v.set(2, at, {"BAD2.JPG", false, 21, 1, false, true});
    v.bytes[v.clusterPos(2) + bad2 + 32] = 0xC1;
    v.set(3, 0, {"MVI_0003.MP4", false, 30, 5000, false, true});
    v.chain({30, 31, 40, 41, 42});
    MemoryDevice dev(v.bytes);
    auto p = exfatParser(dev, v);
    ASSERT_TRUE(p);
    const DirectoryIndex index = p->buildDirectoryIndex();
    auto at_ = [&](std::uint32_t c) { return index.at(p->clusterOffset(c)); };
    ASSERT_EQ(index.size(), 4u);
    EXPECT_EQ(at_(10), (DirectoryHint{10, "IMG_0001", "HEIC", 3000, false, false}));
    EXPECT_EQ(at_(12), (DirectoryHint{12, "archive.tar", "gz", 10, false, false}));
    EXPECT_EQ(at_(14), (DirectoryHint{14, "DSC00002", "JPG", 700, true, false}));
    EXPECT_EQ(at_(30), (DirectoryHint{30, "MVI_0003", "MP4", 5000, false, false}));
    const auto& contiguous = p->contiguousFiles();
    EXPECT_EQ(contiguous.size(), 3u);
    EXPECT_EQ(contiguous.at(10), 3000u);
    EXPECT_EQ(contiguous.at(14), 700u);
    EXPECT_EQ(contiguous.at(3), 1024u);
}

TEST(ExFatDirectory, LiveSetDecidesHowItsClustersAreRead) {
    ExFatVolume v(128, 1);
    std::size_t at = 32;
    // A fragmented live file took the first cluster of a deleted contiguous one.
    at = v.set(2, at, {"NEW.JPG", false, 10, 3000, false, true});
    at = v.set(2, at, {"OLD.JPG", false, 10, 9000, true, false});
    // And the other way round, deleted first.
    at = v.set(2, at, {"OLD2.JPG", false, 20, 9000, true, false});
    at = v.set(2, at, {"NEW2.JPG", false, 20, 2000, false, true});
    at = v.set(2, at, {"LIVE3.JPG", false, 30, 1000, true, true});
    v.set(2, at, {"GONE3.JPG", false, 30, 8000, false, false});
    MemoryDevice dev(v.bytes);
    auto p = exfatParser(dev, v);
    const DirectoryIndex index = p->buildDirectoryIndex();
    EXPECT_EQ(index.at(p->clusterOffset(10)).originalName, "NEW");
    EXPECT_EQ(index.at(p->clusterOffset(20)).originalName, "NEW2");
    EXPECT_EQ(index.at(p->clusterOffset(30)).originalName, "LIVE3");
    EXPECT_FALSE(p->contiguousFiles().count(10));
    EXPECT_FALSE(p->contiguousFiles().count(20));
    EXPECT_EQ(p->contiguousFiles().at(30), 1000u);
}

TEST(ExFatDirectory, DepthAndCycleLimits) {
    ExFatVolume v(128, 1);
    for (std::uint32_t level = 0; level <= 16; ++level) {
        const std::uint32_t dir = 2 + level;
        const std::size_t at = level == 0 ? 32 : 0;
        const std::size_t next = v.set(dir, at, {"F" + std::to_string(level) + ".JPG", false, 60 + level, 1, false, true});
        // The deepest directory points back at the root.
        v.set(dir, next, {"D", true, level == 16 ? 2u : dir + 1, 512, true, true});
    }
    MemoryDevice dev(v.bytes);
    auto p = exfatParser(dev, v);
    const DirectoryIndex index = p->buildDirectoryIndex();
    EXPECT_EQ(index.size(), 16u);
    EXPECT_TRUE(index.count(p->clusterOffset(60 + 15)));
    EXPECT_FALSE(index.count(p->clusterOffset(60 + 16)));
}

// Serves zeros for any offset below `size` and counts what was asked of it.
class ZeroDevice final : public Device {
public:
    explicit ZeroDevice(std::vector<std::uint8_t> head, std::uint64_t size) : head_(std::move(head)), size_(size) {}
    ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
        ReadResult r;
        if (offset >= size_) return r;
        r.bytes = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - offset));
        std::fill_n(out.begin(), r.bytes, 0);
        if (offset < head_.size()) {
            const std::size_t n = std::min<std::size_t>(r.bytes, head_.size() - static_cast<std::size_t>(offset));
            std::copy_n(head_.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
        }
        largestRead = std::max<std::uint64_t>(largestRead, out.size());
        totalRead += r.bytes;
        return r;
    }
    std::uint64_t largestRead = 0;
    std::uint64_t totalRead = 0;

private:
    std::vector<std::uint8_t> head_;
    std::uint64_t size_;
};

// 400 directories that share their clusters, each claiming 256 MiB: each
// cluster is read once, so the walk reads no more than the volume; entries
// whose extension names no wanted format cost nothing; and a walk asked to
// stop ends at once.
TEST(ExFatDirectory, OverlappingDirectoriesAreReadOnceAndTheWalkObeysStop) {
    ExFatVolume v(1024, 3);  // 4 KiB clusters, 4 MiB
    std::vector<std::uint32_t> root;
    for (std::uint32_t c = 2; c < 12; ++c) root.push_back(c);
    v.chain(root);
    std::size_t at = 32;
    at = v.set(2, at, {"A.JPG", false, 500, 100, true, true});
    for (int k = 0; k < 200; ++k) at = v.set(2, at, {"N" + std::to_string(k) + ".TXT", false, 501, 100, true, true});
    for (std::uint32_t k = 0; k < 200; ++k) at = v.set(2, at, {"D", true, 12 + k, 256ull << 20, true, true});
    ZeroDevice dev(v.bytes, v.bytes.size());
    auto p = exfatParser(dev, v);
    const DirectoryIndex index = p->buildDirectoryIndex([](const std::string& ext) { return ext == "jpg"; });
    EXPECT_EQ(index.size(), 1u);
    EXPECT_LE(p->directoryBytesRead(), v.bytes.size());
    EXPECT_EQ(p->contiguousFiles().count(501), 0u);

    int asked = 0;
    const std::uint64_t before = dev.totalRead;
    p->buildDirectoryIndex({}, [&] { return ++asked < 2; });
    EXPECT_EQ(asked, 2);
    EXPECT_LE(dev.totalRead - before, 64u * 4096);
}

TEST(ExFatDirectory, HostileDataLengthIsReadOnlyUpToTheDirectoryLimit) {
    // 1 MiB clusters; a contiguous directory claiming 2^62 bytes on a device
    // of 1 TiB of zeros.
    ExFatVolume v(16, 11);
    test::put32(v.bytes, 92, 1u << 20);  // a million clusters
    v.set(2, 32, {"HUGE", true, 3, 1ull << 62, true, true});
    std::vector<std::uint8_t> head(v.bytes.begin(), v.bytes.begin() + static_cast<std::ptrdiff_t>(v.clusterPos(3)));
    ZeroDevice dev(std::move(head), 1ull << 40);
    const auto g = FATParser::parseExFATBootSector(dev, 0);
    ASSERT_TRUE(g);
    FATParser p(dev, *g);
    EXPECT_TRUE(p.buildDirectoryIndex().empty());
    EXPECT_LE(dev.totalRead, (256ull << 20) + 4 * (1ull << 20));
    EXPECT_LE(dev.largestRead, 1ull << 20);
}

}  // namespace
}  // namespace vf
