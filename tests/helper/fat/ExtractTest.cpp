// Writing a file out by its clusters: aligned reads, read failures, chains
// and lengths that disagree with the file.
#include <gtest/gtest.h>

#include "helper/fat/FATParser.h"
#include "tests/helper/fat/SyntheticVolumes.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Synthetic.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

using namespace test;

// Every read the device was asked for starts and ends on the alignment.
bool alignedReads(const FaultyDevice& dev, std::uint64_t alignment) {
    for (const auto& [at, n] : dev.reads)
        if (at % alignment || n % alignment) return false;
    return true;
}

const std::vector<std::uint32_t> kChain = {10, 11, 30, 31, 32, 5};

Fat32Volume fragmentedVolume() {
    Fat32Volume v;
    v.raw(v.clusterPos(3), randomBytes(63 * 512, 3));
    v.chain(kChain);
    return v;
}

Bytes concat(const Fat32Volume& v, std::size_t clusters) {
    Bytes out;
    for (std::size_t i = 0; i < clusters; ++i) {
        const auto b = v.bytes.begin() + static_cast<std::ptrdiff_t>(v.clusterPos(kChain[i]));
        out.insert(out.end(), b, b + 512);
    }
    return out;
}

// Reads on the alignment asked for; whatever stops a file midway, the bytes
// after the gap are not appended and its clusters are not marked recovered.
TEST(Extract, FragmentedChainsFailuresAndShortChains) {
    const Fat32Volume v = fragmentedVolume();
    const Bytes whole = concat(v, 6);
    const std::uint64_t cutAt = v.clusterPos(32) + 200;
    Bytes cut = concat(v, 5);
    cut.resize(4 * 512 + 200);
    const struct {
        const char* what;
        std::uint64_t alignment, badSector, deviceSize, offset, size;
        bool ok;
        Bytes want;
        std::string log;  // what the last log line starts with
    } cases[] = {
        {"whole chain", 512, 0, v.bytes.size(), v.clusterPos(10), 5 * 512 + 7, true, Bytes(whole.begin(), whole.end() - 505), ""},
        {"from 100 bytes in, 4096-byte reads", 4096, 0, v.bytes.size(), v.clusterPos(10) + 100, 5 * 512 - 93, true,
         Bytes(whole.begin() + 100, whole.end() - 505), ""},
        {"outside the data", 512, 0, v.bytes.size(), v.dataStart() - 1, 10, false, {},
         "⛔️ FAT: offset " + std::to_string(v.dataStart() - 1) + " not in data region"},
        {"chain shorter than the size", 512, 0, v.bytes.size(), v.clusterPos(10), 6 * 512 + 1000, true, whole,
         "⚠️ FAT chain exhausted with 1000 bytes remaining (size estimator overshoot) — file likely intact"},
        {"bad sector in cluster 31", 512, v.clusterPos(31), v.bytes.size(), v.clusterPos(10), 6 * 512, false, concat(v, 3),
         "⛔️ FAT: read failed"},
        {"device ends inside cluster 32", 512, 0, cutAt, v.clusterPos(10), 6 * 512, false, cut,
         "⛔️ FAT: device ends at byte " + std::to_string(cutAt)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FaultyDevice dev(Bytes(v.bytes.begin(), v.bytes.begin() + static_cast<std::ptrdiff_t>(c.deviceSize)));
        if (c.badSector) dev.failRange(c.badSector + 256, c.badSector + 512);
        FATParser p(dev, *FATParser::parseFAT32BootSector(dev, 0));
        dev.reads.clear();  // boot sectors are read as 512-byte blocks
        LogCapture log;
        MemorySink out;
        EXPECT_EQ(p.extractFile(c.offset, c.size, out, c.alignment), c.ok);
        EXPECT_EQ(out.data, c.want);
        EXPECT_TRUE(alignedReads(dev, c.alignment));
        for (std::uint32_t cluster : kChain) EXPECT_EQ(p.isClusterRecovered(cluster), c.ok) << cluster;
        EXPECT_FALSE(p.isClusterRecovered(12));
        if (!c.log.empty()) {
            EXPECT_EQ(log.lines.empty() ? "" : log.lines.back().substr(0, c.log.size()), c.log);
        }
    }
}

TEST(Extract, ContiguousRunsAndChainsEndAtTheirLengthAndTheHeap) {
    ExFatVolume v(4096, 0);  // 512-byte clusters, 2 MiB of heap
    const Bytes clip = randomBytes(1'500'000, 7);
    v.raw(v.clusterPos(100), clip);
    v.set(2, 32, {"MVI_0001.MP4", false, 100, clip.size(), true, true});
    v.set(2, 128, {"EMPTY.JPG", false, 50, 0, true, true});
    v.set(2, 224, {"X.MOV", false, 4090, UINT64_MAX, true, true});
    v.setFat(10, 0xFFFFFFF0);  // a chain into a claimed cluster far away
    FaultyDevice dev(v.bytes);  // its FAT entries say nothing: a contiguous file has none
    FATParser p(dev, *FATParser::parseExFATBootSector(dev, 0));
    p.buildDirectoryIndex();
    LogCapture log;
    MemorySink out;
    dev.reads.clear();
    ASSERT_TRUE(p.extractFile(v.clusterPos(100), clip.size(), out, 512));
    EXPECT_EQ(out.data, clip);
    EXPECT_LE(dev.reads.size(), 2u);  // several clusters per read
    EXPECT_TRUE(alignedReads(dev, 512));
    const std::uint32_t last = 100 + static_cast<std::uint32_t>((clip.size() - 1) / 512);
    EXPECT_TRUE(p.isClusterRecovered(last));
    EXPECT_FALSE(p.isClusterRecovered(last + 1));

    // Asked for more than the directory says: the run ends at its data length.
    MemorySink more;
    ASSERT_TRUE(p.extractFile(v.clusterPos(100), clip.size() + 5000, more, 512));
    const std::uint64_t runBytes = (last - 99) * 512ull;
    EXPECT_EQ(more.data.size(), runBytes);
    EXPECT_TRUE(std::equal(clip.begin(), clip.end(), more.data.begin()));
    EXPECT_EQ(log.lines.back(), "⚠️ FAT chain exhausted with " + std::to_string(clip.size() + 5000 - runBytes) +
                                    " bytes remaining (size estimator overshoot) — file likely intact");

    MemorySink none;  // a contiguous file of length 0 gives no clusters to follow
    EXPECT_FALSE(p.extractFile(v.clusterPos(50), 100, none, 512));
    EXPECT_EQ(log.lines.back(), "⛔️ FAT: empty chain from cluster 50");
    EXPECT_TRUE(none.data.empty());

    MemorySink hostile;  // a length no card holds ends at the heap's end
    EXPECT_TRUE(p.extractFile(v.clusterPos(4090), UINT64_MAX, hostile, 512));
    EXPECT_EQ(hostile.data.size(), 8 * 512u);
    EXPECT_FALSE(p.isClusterRecovered(4098));

    Geometry g = p.geo();
    g.totalDataClusters = 0xFFFFFFF5;
    FATParser far(dev, g);
    MemorySink chained;
    // That cluster's data would lie far beyond the device's end; marking it needs no full-size bitmap.
    EXPECT_FALSE(far.extractFile(v.clusterPos(10), 1024, chained, 512));
    EXPECT_EQ(chained.data.size(), 512u);
    EXPECT_FALSE(far.isClusterRecovered(10));
    ASSERT_TRUE(far.extractFile(v.clusterPos(10), 512, chained, 512));
    EXPECT_TRUE(far.isClusterRecovered(10));
    EXPECT_TRUE(far.isClusterRecovered(0xFFFFFFF0u));
    EXPECT_FALSE(far.isClusterRecovered(0xFFFFFFEFu));
}

}  // namespace
}  // namespace vf
