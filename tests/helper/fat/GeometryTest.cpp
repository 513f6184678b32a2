// Boot sectors, the volume search and FAT chains that no tool makes.
#include <gtest/gtest.h>

#include <tuple>

#include "helper/fat/FATParser.h"
#include "tests/helper/fat/SyntheticVolumes.h"
#include "tests/support/LogCapture.h"

namespace vf {
namespace {

using namespace test;

// An exFAT volume that no partition lists (a damaged table) is found by the boot
// region search; a backup copy found less than 12 sectors in gives start 0.
TEST(Detect, ExFatFoundByTheBootRegionSearch) {
    ExFatVolume v(256, 3);
    std::vector<std::uint8_t> image(1 << 20, 0);
    image.insert(image.end(), v.bytes.begin(), v.bytes.end());
    std::copy_n(v.bytes.begin() + 12 * 512, 512, v.bytes.begin() + 5 * 512);
    std::fill_n(v.bytes.begin(), 512, 0);
    std::fill_n(v.bytes.begin() + 12 * 512, 512, 0);
    for (const auto& [bytes, start, logged] : {std::tuple{image, 1u << 20, 1u << 20}, std::tuple{v.bytes, 0u, 5u * 512}}) {
        MemoryDevice dev(bytes);
        LogCapture log;
        const auto parser = FATParser::detect(dev);
        ASSERT_TRUE(parser) << start;
        EXPECT_EQ(parser->geo().partitionStart, start);
        EXPECT_EQ(parser->geo().dataStartByte, start + v.dataStart());
        EXPECT_EQ(log.lines.back(), "📂 Recovered exFAT geometry from backup boot region at byte " + std::to_string(logged));
    }
}

TEST(BootSector, FieldsOutOfRangeAreRejected) {
    const struct {
        const char* what;
        bool exfat;
        ByteWriter::Field damage;
    } rows[] = {
        {"not FAT32", false, {86, 1, '6'}},         {"8192-byte sectors", false, {11, 2, 8192}},
        {"768-byte sectors", false, {11, 2, 768}},  {"0 sectors per cluster", false, {13, 1, 0}},
        {"3 sectors per cluster", false, {13, 1, 3}}, {"no reserved sectors", false, {14, 2, 0}},
        {"3 FATs", false, {16, 1, 3}},              {"empty FAT", false, {36, 4, 0}},
        {"no sectors", false, {32, 4, 0}},          {"no data region", false, {32, 4, 32 + 5}},
        {"one cluster", false, {32, 4, 32 + 5 + 1}}, {"root cluster 1", false, {44, 4, 1}},
        {"exFAT name", true, {10, 1, 'X'}},         {"sector shift 8", true, {108, 1, 8}},
        {"cluster shift 26", true, {109, 1, 26}},   {"FAT at 0", true, {80, 4, 0}},
        {"FAT at heap", true, {80, 4, 64}},         {"one exFAT cluster", true, {92, 4, 1}},
        {"root cluster 0", true, {96, 4, 0}},
        // exFAT allows no cluster above 32 MiB; such a one would cost gigabytes.
        {"64 MiB clusters", true, {109, 1, 17}}};
    for (const auto& r : rows) {
        Volume v = r.exfat ? Volume(ExFatVolume(16)) : Volume(Fat32Volume(600));
        v.put({r.damage});
        MemoryDevice dev(v.bytes);
        EXPECT_FALSE(r.exfat ? FATParser::parseExFATBootSector(dev, 0) : FATParser::parseFAT32BootSector(dev, 0)) << r.what;
    }
    ExFatVolume v(16);
    v.u8(109, 16);  // 32 MiB: the largest exFAT allows
    MemoryDevice dev(v.bytes);
    const auto g = FATParser::parseExFATBootSector(dev, 0);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->bytesPerCluster, 32u << 20);
}

TEST(Geometry, OffsetsMapToClustersAndBack) {
    Fat32Volume v(100, 2);
    MemoryDevice dev(v.bytes);
    const auto g = FATParser::parseFAT32BootSector(dev, 0);
    ASSERT_TRUE(g);
    FATParser p(dev, *g);
    const std::uint64_t d = v.dataStart();
    const std::pair<std::uint64_t, std::optional<std::uint32_t>> cases[] = {
        {d - 1, std::nullopt}, {d, 2}, {d + 1023, 2}, {d + 1024, 3}, {d + 99 * 1024, 101}, {d + 100 * 1024, std::nullopt}};
    for (const auto& [offset, cluster] : cases) EXPECT_EQ(p.clusterForOffset(offset), cluster) << offset - d;
    EXPECT_EQ(p.clusterOffset(3), d + 1024);

    // A claimed cluster count near 2^32 must not wrap the cluster number.
    Geometry huge = *g;
    huge.totalDataClusters = 0x1'0000'0000ull;
    FATParser q(dev, huge);
    EXPECT_FALSE(q.clusterForOffset(huge.dataStartByte + 0xFFFFFFFEull * huge.bytesPerCluster));
    EXPECT_EQ(q.clusterForOffset(huge.dataStartByte + 0xFFFFFFFDull * huge.bytesPerCluster), 0xFFFFFFFFu);
}

TEST(ClusterChain, EndsAtLoopsMarkersAndClustersOutsideTheHeap) {
    Fat32Volume v;
    v.setFat(5, 6), v.setFat(6, 7), v.setFat(7, 5);
    v.setFat(10, 11), v.setFat(11, 0x0FFFFFF7);  // bad cluster
    v.setFat(20, 21), v.setFat(21, 500);         // beyond the 64 clusters
    v.setFat(30, 0xF0000000 | 31), v.setFat(31, 0x0FFFFFFF);  // the top four bits are not part of the entry
    MemoryDevice dev(v.bytes);
    const Geometry g = *FATParser::parseFAT32BootSector(dev, 0);
    // A boot sector may claim more clusters than the marker values: they still end a chain.
    Geometry claimsMore = g;
    claimsMore.totalDataClusters = 0x10000000;
    Geometry fatPastTheEnd = g;
    fatPastTheEnd.fatStartByte = v.bytes.size() + 4096;
    using Chain = std::vector<std::uint32_t>;
    const struct {
        const Geometry& geo;
        std::uint32_t start;
        Chain want;
    } cases[] = {{g, 5, {5, 6, 7}},          {g, 10, {10, 11}},          {claimsMore, 10, {10, 11}},
                 {g, 20, {20, 21}},          {g, 30, {30, 31}},          {g, 1, {}},
                 {g, 66, {}},                {fatPastTheEnd, 5, {5}}};
    for (const auto& c : cases) {
        FATParser p(dev, c.geo);
        EXPECT_EQ(p.clusterChain(c.start), c.want) << "from " << c.start;
    }
    FATParser p(dev, g);
    EXPECT_EQ(p.fatEntry(30), 31u);
}

}  // namespace
}  // namespace vf
