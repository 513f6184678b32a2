#include <gtest/gtest.h>

#include <functional>

#include "helper/fat/FATParser.h"
#include "tests/helper/fat/SyntheticVolumes.h"
#include "tests/support/LogCapture.h"

namespace vf {
namespace {

using test::ExFatVolume;
using test::Fat32Volume;
using test::put32;

using test::LogCapture;

void addPartition(std::vector<std::uint8_t>& image, int slot, std::uint8_t type, std::uint32_t startSector) {
    const std::size_t e = 446 + 16 * static_cast<std::size_t>(slot);
    image[e + 4] = type;
    put32(image, e + 8, startSector);
    image[510] = 0x55;
    image[511] = 0xAA;
}

TEST(Detect, IgnoresOtherPartitionTypes) {
    for (std::uint8_t type : {0x0E, 0x06, 0xEE}) {
        Fat32Volume v(600, 1, 2048 * 512);
        addPartition(v.bytes, 1, type, 2048);
        MemoryDevice dev(v.bytes);
        LogCapture log;
        EXPECT_FALSE(FATParser::detect(dev)) << int(type);
        EXPECT_EQ(log.lines.back(), "ℹ️  No FAT32 volume found — will use linear carving only");
    }
}

TEST(Detect, UnreadableSectorZeroIsSilent) {
    MemoryDevice dev(std::vector<std::uint8_t>(300, 0));
    LogCapture log;
    EXPECT_FALSE(FATParser::detect(dev));
    EXPECT_TRUE(log.lines.empty());
}

TEST(Detect, FindsExFatThroughItsBackupBootSector) {
    ExFatVolume v(256, 3, 1 << 20);  // volume at 1 MiB, outside any partition table
    std::fill_n(v.bytes.begin() + (1 << 20), 512, 0);  // main boot sector wiped
    MemoryDevice dev(v.bytes);
    LogCapture log;
    const auto parser = FATParser::detect(dev);
    ASSERT_TRUE(parser);
    EXPECT_EQ(parser->geo().kind, FileSystemKind::exfat);
    EXPECT_EQ(parser->geo().partitionStart, 1u << 20);
    EXPECT_EQ(parser->geo().dataStartByte, v.dataStart());
    EXPECT_EQ(log.lines.back(), "📂 Recovered exFAT geometry from backup boot region at byte " +
                                    std::to_string((1 << 20) + 12 * 512));

    // With its main sector intact the search finds that one first.
    ExFatVolume intact(256, 3, 1 << 20);
    MemoryDevice dev2(intact.bytes);
    const auto p2 = FATParser::detect(dev2);
    ASSERT_TRUE(p2);
    EXPECT_EQ(p2->geo().partitionStart, 1u << 20);
    EXPECT_EQ(log.lines.back(), "📂 Recovered exFAT geometry from backup boot region at byte 1048576");
}

TEST(Detect, BackupSectorBelowTwelveSectorsGivesStartZero) {
    ExFatVolume v(16);
    std::copy_n(v.bytes.begin(), 512, v.bytes.begin() + 5 * 512);
    std::fill_n(v.bytes.begin(), 512, 0);
    std::fill_n(v.bytes.begin() + 12 * 512, 512, 0);
    MemoryDevice dev(v.bytes);
    LogCapture log;
    const auto parser = FATParser::detect(dev);
    ASSERT_TRUE(parser);
    EXPECT_EQ(parser->geo().partitionStart, 0u);
    EXPECT_EQ(log.lines.back(), "📂 Recovered exFAT geometry from backup boot region at byte 2560");
}

TEST(BootSector, Fat32FieldsOutOfRangeAreRejected) {
    const std::vector<std::pair<const char*, std::function<void(std::vector<std::uint8_t>&)>>> damages = {
        {"no signature", [](auto& b) { b[511] = 0; }},
        {"not FAT32", [](auto& b) { b[86] = '6'; }},
        {"256-byte sectors", [](auto& b) { test::put16(b, 11, 256); }},
        {"8192-byte sectors", [](auto& b) { test::put16(b, 11, 8192); }},
        {"768-byte sectors", [](auto& b) { test::put16(b, 11, 768); }},
        {"0 sectors per cluster", [](auto& b) { b[13] = 0; }},
        {"3 sectors per cluster", [](auto& b) { b[13] = 3; }},
        {"255 sectors per cluster", [](auto& b) { b[13] = 255; }},
        {"no reserved sectors", [](auto& b) { test::put16(b, 14, 0); }},
        {"3 FATs", [](auto& b) { b[16] = 3; }},
        {"empty FAT", [](auto& b) { put32(b, 36, 0); }},
        {"no sectors", [](auto& b) { put32(b, 32, 0); }},
        {"no data region", [](auto& b) { put32(b, 32, 32 + 5); }},
        {"one cluster", [](auto& b) { put32(b, 32, 32 + 5 + 1); }},
        {"root cluster 1", [](auto& b) { put32(b, 44, 1); }},
    };
    Fat32Volume good(600);
    {
        MemoryDevice dev(good.bytes);
        ASSERT_TRUE(FATParser::parseFAT32BootSector(dev, 0));
    }
    for (const auto& [what, damage] : damages) {
        Fat32Volume v(600);
        damage(v.bytes);
        MemoryDevice dev(v.bytes);
        EXPECT_FALSE(FATParser::parseFAT32BootSector(dev, 0)) << what;
    }
}

TEST(BootSector, ExFatFieldsOutOfRangeAreRejected) {
    const std::vector<std::pair<const char*, std::function<void(std::vector<std::uint8_t>&)>>> damages = {
        {"name", [](auto& b) { b[10] = 'X'; }},
        {"signature", [](auto& b) { b[510] = 0; }},
        {"sector shift 8", [](auto& b) { b[108] = 8; }},
        {"sector shift 13", [](auto& b) { b[108] = 13; }},
        {"cluster shift 26", [](auto& b) { b[109] = 26; }},
        // exFAT allows no cluster above 32 MiB; such a one would cost gigabytes.
        {"64 MiB clusters", [](auto& b) { b[109] = 17; }},
        {"4 GiB clusters", [](auto& b) { b[108] = 12; b[109] = 20; }},
        {"FAT at 0", [](auto& b) { put32(b, 80, 0); }},
        {"FAT at heap", [](auto& b) { put32(b, 80, 64); }},
        {"one cluster", [](auto& b) { put32(b, 92, 1); }},
        {"root cluster 0", [](auto& b) { put32(b, 96, 0); }},
    };
    for (const auto& [what, damage] : damages) {
        ExFatVolume v(16);
        damage(v.bytes);
        MemoryDevice dev(v.bytes);
        EXPECT_FALSE(FATParser::parseExFATBootSector(dev, 0)) << what;
    }
    ExFatVolume v(16);
    v.bytes[109] = 16;  // 32 MiB: the largest exFAT allows
    MemoryDevice dev(v.bytes);
    const auto g = FATParser::parseExFATBootSector(dev, 0);
    ASSERT_TRUE(g);
    EXPECT_EQ(g->bytesPerCluster, 32u << 20);
}

TEST(Geometry, OffsetsMapToClustersAndBack) {
    Fat32Volume v(100, 2);
    MemoryDevice dev(v.bytes);
    auto g = FATParser::parseFAT32BootSector(dev, 0);
    ASSERT_TRUE(g);
    FATParser p(dev, *g);
    EXPECT_FALSE(p.clusterForOffset(v.dataStart() - 1));
    EXPECT_EQ(p.clusterForOffset(v.dataStart()), 2u);
    EXPECT_EQ(p.clusterForOffset(v.dataStart() + 1023), 2u);
    EXPECT_EQ(p.clusterForOffset(v.dataStart() + 1024), 3u);
    EXPECT_EQ(p.clusterForOffset(v.dataStart() + 99 * 1024), 101u);
    EXPECT_FALSE(p.clusterForOffset(v.dataStart() + 100 * 1024));
    EXPECT_EQ(p.clusterOffset(3), v.dataStart() + 1024);

    // A claimed cluster count near 2^32 must not wrap the cluster number.
    Geometry huge = *g;
    huge.totalDataClusters = 0x1'0000'0000ull;
    FATParser q(dev, huge);
    EXPECT_FALSE(q.clusterForOffset(huge.dataStartByte + 0xFFFFFFFEull * huge.bytesPerCluster));
    EXPECT_EQ(q.clusterForOffset(huge.dataStartByte + 0xFFFFFFFDull * huge.bytesPerCluster), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace vf
