// Cards made by the real tools (mkfs.vfat + mtools, mkfs.exfat + exfat-fuse)
// through tools/make-fat32-image and tools/make-exfat-image, read as the
// scanner reads a card.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <regex>

#include "helper/fat/FATParser.h"
#include "helper/fat/FatNames.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/TestSupport.h"
#include "tests/support/VolumeImage.h"

namespace vf {
namespace {

using namespace test;

// A card image opened as the scanner opens a device.
struct ImageDevice {
    explicit ImageDevice(const std::filesystem::path& p) : fd(::open(p.c_str(), O_RDONLY)) {}
    ~ImageDevice() { ::close(fd); }
    int fd;
    FdDevice device{fd};
};

// The number after `label` (a pattern), spaces, ':' or '=' in a tool's report.
std::uint64_t field(const std::string& text, const std::string& label) {
    std::smatch m;
    if (std::regex_search(text, m, std::regex(label + "[ \t:=]*([0-9]+)"))) return std::stoull(m[1]);
    ADD_FAILURE() << "no " << label << " in\n" << text;
    return 0;
}

// Has the card take `data` at `path`; returns the data.
Bytes put(VolumeImage& card, const TempDir& dir, const std::string& path, Bytes data) {
    const auto source = dir / std::to_string(std::hash<std::string>{}(path));
    writeFile(source, data);
    card.put(source, path);
    return data;
}

// The index entry named as the file at `path`, and the bytes written out for it.
struct Found {
    const DirectoryHint* hint = nullptr;
    Bytes bytes;
};
Found find(FATParser& p, const DirectoryIndex& index, const std::string& path) {
    const SplitName name = splitFileName(path.substr(path.rfind('/') + 1));
    for (const auto& [key, h] : index)
        if (h.originalName == name.base && h.originalExtension == name.extension) {
            MemorySink out;
            EXPECT_TRUE(p.extractFile(key, h.fileSize, out, 512)) << path;
            return {&h, out.data};
        }
    ADD_FAILURE() << path << " not in the index";
    return {};
}

// The file at `path` is in the index with its bytes, size and state.
Found expectFile(FATParser& p, const DirectoryIndex& index, const std::string& path, const Bytes& data,
                 bool deleted = false) {
    const Found f = find(p, index, path);
    EXPECT_TRUE(f.hint && f.hint->fileSize == data.size() && f.hint->isDeleted == deleted) << path;
    EXPECT_EQ(f.bytes, data) << path;
    return f;
}

bool haveFatTools() { return haveTool("mkfs.vfat") && haveTool("mcopy") && haveTool("sfdisk"); }

// A card as a camera leaves it. A 68 MiB file first gives every later file a
// cluster number past 65,535 (whose high half is in the entry's bytes 20-21), as
// on every card over 256 MB with 4 KiB clusters.
TEST(RealFat32, SdCardLayoutIndexedAndExtracted) {
    if (!haveFatTools()) GTEST_SKIP() << "mkfs.vfat, mtools or sfdisk missing";
    TempDir dir;
    ASSERT_EQ(run("truncate -s 68M '" + (dir / "filler").string() + "'").status, 0);
    VolumeImage card(VolumeImage::Kind::fat32, dir / "card.img");
    card.mbr().mkdir("/DCIM/100CANON").mkdir("/DCIM/101CANON").mkdir("/PRIVATE/AVCHD/BDMV/STREAM").put(dir / "filler", "/FILLER.BIN");
    // New photos in deleted photos' clusters: empty placeholders take the first
    // directory slots; once deleted, the new photos' entries go there, before the
    // deleted photos' entries, and take as many clusters with fewer bytes.
    const auto name = [](const char* kind, int i) { return "/DCIM/101CANON/" + std::string(kind) + std::to_string(i) + ".JPG"; };
    for (int i = 1; i <= 3; ++i) put(card, dir, name("TMP_000", i), {});
    for (int i = 1; i <= 3; ++i) put(card, dir, name("OLD_000", i), randomBytes(5500 + 100 * i, 30 + i));
    for (int i = 1; i <= 3; ++i) card.del(name("TMP_000", i)).del(name("OLD_000", i));
    card.firstFit();
    std::vector<Bytes> fresh;
    for (int i = 1; i <= 3; ++i) fresh.push_back(put(card, dir, name("NEW_000", i), randomBytes(5200 + 10 * i, 40 + i)));
    std::map<std::string, Bytes> photos;
    std::uint32_t seed = 1;
    for (const char* path : {"/DCIM/100CANON/IMG_0001.AVIF", "/DCIM/100CANON/IMG_0002.HEIC", "/DCIM/100CANON/IMG_0003.JPG",
                             "/DCIM/100CANON/00004.M2TS", "/DCIM/100CANON/photo of the day.webp",
                             "/DCIM/100CANON/Ünïcode photo.heic", "/PRIVATE/AVCHD/BDMV/STREAM/00005.MTS"}) {
        photos[path] = put(card, dir, path, randomBytes(12000 * seed - 11000, seed));  // the last above 64 KiB
        ++seed;
    }
    // Fragmentation as a camera's first-fit allocation makes it: holes of
    // three clusters, then a file larger than one hole.
    for (int i = 1; i <= 6; ++i) put(card, dir, "/DCIM/100CANON/FILL" + std::to_string(i) + ".JPG", randomBytes(3000, 9));
    for (int i : {1, 3, 5}) card.del("/DCIM/100CANON/FILL" + std::to_string(i) + ".JPG");
    card.firstFit();
    const Bytes movie = put(card, dir, "/DCIM/100CANON/MVI_0009.MOV", randomBytes(9500, 10));
    // Deleted last, so its clusters still hold its data.
    const Bytes gone = put(card, dir, "/DCIM/100CANON/DSC_0010.JPEG", randomBytes(4000, 11));
    card.del("/DCIM/100CANON/DSC_0010.JPEG");
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;

    ImageDevice image(card.image());
    LogCapture log;
    const auto parser = FATParser::detect(image.device);
    ASSERT_TRUE(parser);
    const auto info = run("MTOOLS_SKIP_CHECK=1 minfo -i '" + card.image().string() + "@@4194304'");
    ASSERT_EQ(info.status, 0) << info.output;
    const std::uint64_t bps = field(info.output, "sector size"), spc = field(info.output, "cluster size");
    const std::uint64_t reserved = field(info.output, "reserved \\(boot\\) sectors");
    const std::uint64_t firstData = reserved + field(info.output, "\nfats") * field(info.output, "Big fatlen");
    const Geometry expected{FileSystemKind::fat32, 4194304, bps, spc, bps * spc, 4194304 + reserved * bps,
                            4194304 + firstData * bps, (field(info.output, "big size") - firstData) / spc,
                            static_cast<std::uint32_t>(field(info.output, "rootCluster"))};
    EXPECT_EQ(parser->geo(), expected);
    EXPECT_EQ(log.lines.at(0), "📂 FAT32 volume: partition at byte 4194304, 1 KB clusters, data region at byte " +
                                   std::to_string(expected.dataStartByte) + ", " +
                                   std::to_string(expected.totalDataClusters) + " clusters total");

    const DirectoryIndex index = parser->buildDirectoryIndex();
    for (const auto& [path, data] : photos) {
        const Found f = expectFile(*parser, index, path, data);
        EXPECT_TRUE(f.hint && f.hint->startCluster > 65535u) << path;
    }
    const Found m = expectFile(*parser, index, "/MVI_0009.MOV", movie);
    ASSERT_TRUE(m.hint);
    const auto chain = parser->clusterChain(m.hint->startCluster);
    ASSERT_EQ(chain.size(), 10u);
    EXPECT_NE(chain.back() - chain.front(), 9u) << "the test file did not fragment";
    // A deleted file keeps its long name; its chain is gone, so only its first
    // cluster can be followed.
    const Found deleted = find(*parser, index, "/DSC_0010.JPEG");
    EXPECT_TRUE(deleted.hint && deleted.hint->isDeleted);
    EXPECT_EQ(deleted.bytes, Bytes(gone.begin(), gone.begin() + 1024));

    // The layout the new photos are about: each new entry before a deleted one.
    const auto bytes = readFile(card.image());
    const std::string raw(bytes.begin(), bytes.end());
    ASSERT_LT(raw.find("NEW_0001JPG"), raw.find("\xE5LD_0001JPG"));
    for (int i = 1; i <= 3; ++i) {
        expectFile(*parser, index, name("NEW_000", i), fresh[i - 1]);
        for (const auto& [key, h] : index) EXPECT_NE(h.originalName, "?LD_000" + std::to_string(i));
    }
}

// Older cameras and tools mark the partition 0x0B rather than 0x0C, or leave no table.
TEST(RealFat32, PartitionTypes) {
    if (!haveFatTools()) GTEST_SKIP() << "mkfs.vfat, mtools or sfdisk missing";
    for (const std::uint8_t type : {0, 0x0B}) {  // 0: no partition table
        SCOPED_TRACE(int{type});
        TempDir dir;
        VolumeImage card(VolumeImage::Kind::fat32, dir / "card.img");
        if (type) card.mbr(2048).partitionType(type);
        const Bytes photo = put(card, dir, "/IMG_0001.JPG", randomBytes(20000, 70));
        const auto built = card.build();
        ASSERT_TRUE(built.ok()) << built.output;
        ImageDevice image(card.image());
        LogCapture log;
        const auto parser = FATParser::detect(image.device);
        ASSERT_TRUE(parser);
        EXPECT_EQ(parser->geo().partitionStart, type ? 2048u * 512 : 0u);
        expectFile(*parser, parser->buildDirectoryIndex(), "/IMG_0001.JPG", photo);
    }
}

// exFAT volumes need root (a loop device for exfat-fuse); elsewhere they skip.
TEST(RealExFat, FilesFragmentsDeletedEntriesAndAWipedBootSector) {
    TempDir dir;
    std::map<std::string, Bytes> photos;
    VolumeImage card(VolumeImage::Kind::exfat, dir / "card.img");
    card.mbr().mkdir("/DCIM/100MSDCF");
    std::uint32_t seed = 50;
    for (const char* path : {"/DCIM/100MSDCF/A.JPG", "/DCIM/100MSDCF/B.JPG", "/DCIM/100MSDCF/C.JPG"})
        photos[path] = put(card, dir, path, randomBytes(12000, seed++));
    photos["/DCIM/100MSDCF/IMG_0001.HEIC"] = put(card, dir, "/DCIM/100MSDCF/IMG_0001.HEIC", randomBytes(50000, 60));
    // B's hole is three clusters; the long-named file needs five and takes the
    // hole and what follows C: a FAT chain, and B's deleted entry now names its
    // first cluster. Long names need four entries, so B's three-entry slot is
    // not reused and its entry stays.
    card.del("/DCIM/100MSDCF/B.JPG");
    photos.erase("/DCIM/100MSDCF/B.JPG");
    const Bytes fragmented = put(card, dir, "/DCIM/100MSDCF/DSC_FRAGMENTED_0004.HEIC", randomBytes(20000, 61));
    const Bytes deleted = put(card, dir, "/DCIM/100MSDCF/DSC_DELETED_00005.JPG", randomBytes(9000, 62));
    card.del("/DCIM/100MSDCF/DSC_DELETED_00005.JPG");
    const auto built = card.build();
    if (built.skipped()) GTEST_SKIP() << built.output;
    ASSERT_TRUE(built.ok()) << built.output;

    ImageDevice image(card.image());
    LogCapture log;
    const auto parser = FATParser::detect(image.device);
    ASSERT_TRUE(parser);
    const Geometry& g = parser->geo();
    const auto volume = dir / "volume.img";
    ASSERT_EQ(run("dd if='" + card.image().string() + "' of='" + volume.string() + "' bs=1M skip=4 status=none").status, 0);
    const auto dump = run("dump.exfat '" + volume.string() + "'");
    ASSERT_EQ(dump.status, 0) << dump.output;
    const std::uint64_t bps = 1ull << field(dump.output, "Sector Size Bits");
    const std::uint64_t spc = 1ull << field(dump.output, "Sector per Cluster bits");
    const Geometry expected{FileSystemKind::exfat, 4194304, bps, spc, bps * spc,
                            4194304 + field(dump.output, "FAT Offset\\(sector offset\\)") * bps,
                            4194304 + field(dump.output, "Cluster Heap Offset \\(sector offset\\)") * bps,
                            field(dump.output, "Cluster Count"),
                            static_cast<std::uint32_t>(field(dump.output, "Root Cluster \\(cluster offset\\)"))};
    EXPECT_EQ(g, expected);
    EXPECT_EQ(log.lines.at(0).rfind("📂 exFAT volume: partition at byte 4194304, 4 KB clusters, ", 0), 0u) << log.lines.at(0);

    const DirectoryIndex index = parser->buildDirectoryIndex();
    for (const auto& [path, data] : photos) {
        const Found f = expectFile(*parser, index, path, data);
        EXPECT_TRUE(f.hint && parser->contiguousFiles().count(f.hint->startCluster)) << path << " has a FAT chain";
    }
    const Found frag = expectFile(*parser, index, "/DSC_FRAGMENTED_0004.HEIC", fragmented);
    ASSERT_TRUE(frag.hint);
    EXPECT_FALSE(parser->contiguousFiles().count(frag.hint->startCluster));
    const auto chain = parser->clusterChain(frag.hint->startCluster);
    ASSERT_EQ(chain.size(), 5u);
    EXPECT_NE(chain.back() - chain.front(), 4u) << "the test file did not fragment";
    for (const auto& [key, h] : index) EXPECT_NE(h.originalName, "B") << "the deleted entry must not replace the live one";
    expectFile(*parser, index, "/DSC_DELETED_00005.JPG", deleted, true);  // contiguous: all of it

    // With the main boot sector wiped, the backup region gives the same volume.
    MemoryDevice wiped(with(readFile(card.image()), 4194304, Bytes(512, 0)));
    const auto found = FATParser::detect(wiped);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->geo(), g);
    EXPECT_EQ(log.lines.back(), "📂 Recovered exFAT geometry from backup boot region at byte " +
                                    std::to_string(4194304 + 12 * g.bytesPerSector));
    expectFile(*found, found->buildDirectoryIndex(), "/IMG_0001.HEIC", photos["/DCIM/100MSDCF/IMG_0001.HEIC"]);
}

}  // namespace
}  // namespace vf
