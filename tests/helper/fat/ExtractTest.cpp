#include <gtest/gtest.h>

#include <cerrno>

#include "helper/fat/FATParser.h"
#include "tests/helper/fat/SyntheticVolumes.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using test::ExFatVolume;
using test::Fat32Volume;

using test::LogCapture;

// A memory device that checks every read against an alignment and can fail
// or end early.
class StrictDevice final : public Device {
public:
    StrictDevice(std::vector<std::uint8_t> data, std::uint64_t alignment) : data_(std::move(data)), alignment_(alignment) {}
    ReadResult readAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
        ++reads;
        if (offset % alignment_ || out.size() % alignment_) misaligned = true;
        ReadResult r;
        const std::uint64_t end = std::min<std::uint64_t>(data_.size(), failAt);
        if (offset < end) {
            r.bytes = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), end - offset));
            std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(offset), r.bytes, out.begin());
        }
        if (failAt < data_.size() && offset + out.size() > failAt) r.error = EIO;
        return r;
    }
    std::uint64_t failAt = UINT64_MAX;
    bool misaligned = false;
    std::size_t reads = 0;

private:
    std::vector<std::uint8_t> data_;
    std::uint64_t alignment_;
};

std::vector<std::uint8_t> concat(const Fat32Volume& v, std::vector<std::uint32_t> clusters) {
    std::vector<std::uint8_t> out;
    for (std::uint32_t c : clusters) {
        const auto b = v.bytes.begin() + static_cast<std::ptrdiff_t>(v.clusterPos(c));
        out.insert(out.end(), b, b + static_cast<std::ptrdiff_t>(v.bytesPerCluster()));
    }
    return out;
}

Fat32Volume fragmentedVolume() {
    Fat32Volume v(64, 1);
    for (std::uint32_t c = 3; c < 66; ++c) v.fill(c, test::randomBytes(512, c));
    v.chain({10, 11, 30, 31, 32, 5});
    return v;
}

TEST(Extract, FollowsAFragmentedChainWithAlignedReads) {
    const Fat32Volume v = fragmentedVolume();
    const std::vector<std::uint8_t> whole = concat(v, {10, 11, 30, 31, 32, 5});
    for (std::uint64_t alignment : {512u, 4096u}) {
        for (std::uint64_t skip : {0u, 100u}) {
            StrictDevice dev(v.bytes, alignment);
            const auto g = FATParser::parseFAT32BootSector(dev, 0);
            FATParser p(dev, *g);
            dev.misaligned = false;  // boot sectors are read as 512-byte blocks
            MemorySink out;
            const std::uint64_t size = 5 * 512 + 7 - skip;
            ASSERT_TRUE(p.extractFile(v.clusterPos(10) + skip, size, out, alignment));
            EXPECT_FALSE(dev.misaligned) << alignment;
            EXPECT_EQ(out.data, std::vector<std::uint8_t>(whole.begin() + static_cast<std::ptrdiff_t>(skip),
                                                          whole.begin() + static_cast<std::ptrdiff_t>(skip + size)));
            for (std::uint32_t c : {10u, 11u, 30u, 31u, 32u, 5u}) EXPECT_TRUE(p.isClusterRecovered(c)) << c;
            EXPECT_FALSE(p.isClusterRecovered(12));
        }
    }
}

TEST(Extract, ReportsOffsetsOutsideTheDataAndEmptyChains) {
    const Fat32Volume v = fragmentedVolume();
    MemoryDevice dev(v.bytes);
    FATParser p(dev, *FATParser::parseFAT32BootSector(dev, 0));
    LogCapture log;
    MemorySink out;
    EXPECT_FALSE(p.extractFile(v.dataStart() - 1, 10, out, 512));
    EXPECT_EQ(log.lines.back(), "⛔️ FAT: offset " + std::to_string(v.dataStart() - 1) + " not in data region");
    EXPECT_TRUE(out.data.empty());

    // A contiguous file of length 0 gives no clusters to follow.
    ExFatVolume e(64, 0);
    e.set(2, 32, {"EMPTY.JPG", false, 50, 0, true, true});
    MemoryDevice dev2(e.bytes);
    FATParser q(dev2, *FATParser::parseExFATBootSector(dev2, 0));
    q.buildDirectoryIndex();
    EXPECT_FALSE(q.extractFile(e.clusterPos(50), 100, out, 512));
    EXPECT_EQ(log.lines.back(), "⛔️ FAT: empty chain from cluster 50");
    EXPECT_TRUE(out.data.empty());
}

TEST(Extract, ChainShorterThanTheSizeIsWrittenWholeAndCounts) {
    const Fat32Volume v = fragmentedVolume();
    MemoryDevice dev(v.bytes);
    FATParser p(dev, *FATParser::parseFAT32BootSector(dev, 0));
    LogCapture log;
    MemorySink out;
    ASSERT_TRUE(p.extractFile(v.clusterPos(10), 6 * 512 + 1000, out, 512));
    EXPECT_EQ(out.data, concat(v, {10, 11, 30, 31, 32, 5}));
    EXPECT_EQ(log.lines.back(), "⚠️ FAT chain exhausted with 1000 bytes remaining (size estimator overshoot) — file likely intact");
}

TEST(Extract, ReadFailureOrDeviceEndStopsWithoutClosingTheGap) {
    const Fat32Volume v = fragmentedVolume();
    {
        // A bad sector in cluster 31: clusters 10, 11, 30 are written, then it stops.
        StrictDevice dev(v.bytes, 512);
        dev.failAt = v.clusterPos(31) + 512 / 2;
        FATParser p(dev, *FATParser::parseFAT32BootSector(dev, 0));
        LogCapture log;
        MemorySink out;
        EXPECT_FALSE(p.extractFile(v.clusterPos(10), 6 * 512, out, 512));
        EXPECT_EQ(out.data, concat(v, {10, 11, 30}));
        EXPECT_FALSE(p.isClusterRecovered(10));
        EXPECT_NE(log.lines.back().find("read failed"), std::string::npos);
    }
    {
        // The image ends inside cluster 32, and the chain goes on to cluster 5.
        std::vector<std::uint8_t> cut(v.bytes.begin(), v.bytes.begin() + static_cast<std::ptrdiff_t>(v.clusterPos(32) + 200));
        MemoryDevice dev(cut);
        FATParser p(dev, *FATParser::parseFAT32BootSector(dev, 0));
        LogCapture log;
        MemorySink out;
        EXPECT_FALSE(p.extractFile(v.clusterPos(10), 6 * 512, out, 512));
        std::vector<std::uint8_t> expected = concat(v, {10, 11, 30, 31});
        expected.insert(expected.end(), cut.end() - 200, cut.end());
        EXPECT_EQ(out.data, expected);
    }
}

TEST(Extract, ContiguousFileIsReadAsOneRunCutToTheSmallerSize) {
    ExFatVolume v(4096, 0);  // 512-byte clusters, 2 MiB of heap
    const std::vector<std::uint8_t> clip = test::randomBytes(1'500'000, 7);
    std::copy(clip.begin(), clip.end(), v.bytes.begin() + static_cast<std::ptrdiff_t>(v.clusterPos(100)));
    v.set(2, 32, {"MVI_0001.MP4", false, 100, clip.size(), true, true});
    // Its FAT entries say nothing (a contiguous file has none).
    StrictDevice dev(v.bytes, 512);
    FATParser p(dev, *FATParser::parseExFATBootSector(dev, 0));
    p.buildDirectoryIndex();
    ASSERT_EQ(p.contiguousFiles().at(100), clip.size());

    MemorySink out;
    const std::size_t readsBefore = dev.reads;
    ASSERT_TRUE(p.extractFile(v.clusterPos(100), clip.size(), out, 512));
    EXPECT_EQ(out.data, clip);
    EXPECT_LE(dev.reads - readsBefore, 2u);  // several clusters per read
    EXPECT_FALSE(dev.misaligned);
    const std::uint32_t last = 100 + static_cast<std::uint32_t>((clip.size() - 1) / 512);
    EXPECT_TRUE(p.isClusterRecovered(last));
    EXPECT_FALSE(p.isClusterRecovered(last + 1));

    // Asked for more than the directory says: the run ends at its data length.
    LogCapture log;
    MemorySink more;
    ASSERT_TRUE(p.extractFile(v.clusterPos(100), clip.size() + 5000, more, 512));
    const std::uint64_t runBytes = (last - 99) * 512ull;
    EXPECT_EQ(more.data.size(), runBytes);
    EXPECT_TRUE(std::equal(clip.begin(), clip.end(), more.data.begin()));
    EXPECT_EQ(log.lines.back(), "⚠️ FAT chain exhausted with " + std::to_string(clip.size() + 5000 - runBytes) +
                                    " bytes remaining (size estimator overshoot) — file likely intact");
}

TEST(Extract, HostileContiguousLengthStopsAtTheHeapEnd) {
    ExFatVolume v(64, 0);
    v.set(2, 32, {"X.MOV", false, 60, UINT64_MAX, true, true});
    MemoryDevice dev(v.bytes);
    FATParser p(dev, *FATParser::parseExFATBootSector(dev, 0));
    p.buildDirectoryIndex();
    LogCapture log;
    MemorySink out;
    EXPECT_TRUE(p.extractFile(v.clusterPos(60), UINT64_MAX, out, 512));
    EXPECT_EQ(out.data.size(), 6 * 512u);  // clusters 60 to 65, the heap's last
    EXPECT_FALSE(p.isClusterRecovered(66));
}

TEST(Extract, ClustersFarOutAreMarkedWithoutAFullSizeBitmap) {
    ExFatVolume v(64, 0);
    v.setFat(10, 0xFFFFFFF0);  // a chain into a claimed cluster far away
    MemoryDevice dev(v.bytes);
    Geometry g = *FATParser::parseExFATBootSector(dev, 0);
    g.totalDataClusters = 0xFFFFFFF5;
    FATParser p(dev, g);
    MemorySink out;
    // That cluster's data would lie far beyond the device's end.
    EXPECT_FALSE(p.extractFile(v.clusterPos(10), 1024, out, 512));
    EXPECT_EQ(out.data.size(), 512u);
    EXPECT_FALSE(p.isClusterRecovered(0xFFFFFFF0u));
    EXPECT_FALSE(p.isClusterRecovered(10));
    ASSERT_TRUE(p.extractFile(v.clusterPos(10), 512, out, 512));
    EXPECT_TRUE(p.isClusterRecovered(10));
    EXPECT_TRUE(p.isClusterRecovered(0xFFFFFFF0u));
    EXPECT_FALSE(p.isClusterRecovered(0xFFFFFFEFu));
}

}  // namespace
}  // namespace vf
