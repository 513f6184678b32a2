// Cards made by the real tools (mkfs.vfat + mtools, mkfs.exfat + exfat-fuse)
// through tools/make-fat32-image and tools/make-exfat-image.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "helper/fat/FATParser.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestSupport.h"
#include "tests/support/VolumeImage.h"

namespace vf {
namespace {

using test::TempDir;
using test::VolumeImage;

class ImageDevice {
public:
    explicit ImageDevice(const std::filesystem::path& p) : fd_(::open(p.c_str(), O_RDONLY)), device_(fd_) {}
    ~ImageDevice() {
        if (fd_ >= 0) ::close(fd_);
    }
    Device& device() { return device_; }

private:
    int fd_;
    FdDevice device_;
};

// The number that follows `label` (after spaces, ':' or '=') in a tool's report.
std::uint64_t field(const std::string& text, const std::string& label) {
    std::size_t at = text.find(label);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no " << label << " in\n" << text;
        return 0;
    }
    at += label.size();
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == ':' || text[at] == '=')) ++at;
    std::uint64_t v = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') v = v * 10 + static_cast<std::uint64_t>(text[at++] - '0');
    return v;
}

std::vector<std::uint8_t> extract(FATParser& p, std::uint64_t key, std::uint64_t size) {
    MemorySink out;
    EXPECT_TRUE(p.extractFile(key, size, out, 512)) << key;
    return out.data;
}

const DirectoryHint* findByName(const DirectoryIndex& index, const std::string& name, const std::string& ext,
                                std::uint64_t* key = nullptr) {
    for (const auto& [k, h] : index)
        if (h.originalName == name && h.originalExtension == ext) {
            if (key) *key = k;
            return &h;
        }
    return nullptr;
}

bool haveFatTools() { return test::haveTool("mkfs.vfat") && test::haveTool("mcopy") && test::haveTool("sfdisk"); }

struct Photo {
    std::string path;  // inside the volume
    std::string name, ext;
    std::vector<std::uint8_t> data;
    std::filesystem::path source;
};

TEST(RealFat32, SdCardLayoutIndexedAndExtracted) {
    if (!haveFatTools()) GTEST_SKIP() << "mkfs.vfat, mtools or sfdisk missing";
    TempDir dir;
    std::vector<Photo> photos = {
        {"/DCIM/100CANON/IMG_0001.AVIF", "IMG_0001", "AVIF", test::randomBytes(5000, 1), {}},
        {"/DCIM/100CANON/IMG_0002.HEIC", "IMG_0002", "HEIC", test::randomBytes(70000, 2), {}},
        {"/DCIM/100CANON/IMG_0003.JPG", "IMG_0003", "JPG", test::randomBytes(1024, 3), {}},
        {"/DCIM/100CANON/00004.M2TS", "00004", "M2TS", test::randomBytes(30001, 4), {}},
        {"/DCIM/100CANON/photo of the day.webp", "photo of the day", "webp", test::randomBytes(3333, 5), {}},
        {"/DCIM/100CANON/Ünïcode photo.heic", "Ünïcode photo", "heic", test::randomBytes(2000, 6), {}},
        {"/PRIVATE/AVCHD/BDMV/STREAM/00005.MTS", "00005", "MTS", test::randomBytes(9000, 7), {}},
    };
    VolumeImage card(VolumeImage::Kind::fat32, dir / "card.img");
    card.mbr().mkdir("/DCIM/100CANON").mkdir("/PRIVATE/AVCHD/BDMV/STREAM");
    for (std::size_t i = 0; i < photos.size(); ++i) {
        photos[i].source = dir / ("p" + std::to_string(i));
        test::writeFile(photos[i].source, photos[i].data);
        card.put(photos[i].source, photos[i].path);
    }
    // Fragmentation as a camera's first-fit allocation makes it: holes of
    // three clusters, then a file larger than one hole.
    const auto filler = dir / "filler";
    test::writeFile(filler, test::randomBytes(3000, 9));
    for (int i = 1; i <= 6; ++i) card.put(filler, "/DCIM/100CANON/FILL" + std::to_string(i) + ".JPG");
    for (int i : {1, 3, 5}) card.del("/DCIM/100CANON/FILL" + std::to_string(i) + ".JPG");
    const std::vector<std::uint8_t> big = test::randomBytes(9500, 10);
    test::writeFile(dir / "big", big);
    card.firstFit().put(dir / "big", "/DCIM/100CANON/MVI_0009.MOV");
    // Deleted last, so their clusters still hold their data.
    const std::vector<std::uint8_t> gone = test::randomBytes(4000, 11);
    test::writeFile(dir / "gone", gone);
    card.put(dir / "gone", "/DCIM/100CANON/DSC_0010.JPEG").put(dir / "gone", "/DCIM/100CANON/IMG_0011.JPG");
    card.del("/DCIM/100CANON/DSC_0010.JPEG").del("/DCIM/100CANON/IMG_0011.JPG");
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;

    ImageDevice image(card.image());
    test::LogCapture log;
    const auto parser = FATParser::detect(image.device());
    ASSERT_TRUE(parser);
    const Geometry& g = parser->geo();

    const auto info = test::run("MTOOLS_SKIP_CHECK=1 minfo -i '" + card.image().string() + "@@4194304'");
    ASSERT_EQ(info.status, 0) << info.output;
    const std::uint64_t bps = field(info.output, "sector size");
    const std::uint64_t spc = field(info.output, "cluster size");
    const std::uint64_t reserved = field(info.output, "reserved (boot) sectors");
    const std::uint64_t fats = field(info.output, "\nfats");
    const std::uint64_t fatLength = field(info.output, "Big fatlen");
    const std::uint64_t total = field(info.output, "big size");
    const std::uint64_t firstData = reserved + fats * fatLength;
    const Geometry expected{FileSystemKind::fat32, 4194304, bps, spc, bps * spc, 4194304 + reserved * bps,
                            4194304 + firstData * bps, (total - firstData) / spc,
                            static_cast<std::uint32_t>(field(info.output, "rootCluster"))};
    EXPECT_EQ(g, expected);
    EXPECT_EQ(log.lines.at(0), "📂 FAT32 volume: partition at byte 4194304, 1 KB clusters, data region at byte " +
                                   std::to_string(expected.dataStartByte) + ", " +
                                   std::to_string(expected.totalDataClusters) + " clusters total");

    const DirectoryIndex index = parser->buildDirectoryIndex();
    for (const Photo& ph : photos) {
        std::uint64_t key = 0;
        const DirectoryHint* h = findByName(index, ph.name, ph.ext, &key);
        ASSERT_TRUE(h) << ph.path;
        EXPECT_EQ(h->fileSize, ph.data.size()) << ph.path;
        EXPECT_FALSE(h->isDeleted) << ph.path;
        EXPECT_EQ(extract(*parser, key, h->fileSize), ph.data) << ph.path;
    }

    std::uint64_t bigKey = 0;
    const DirectoryHint* movie = findByName(index, "MVI_0009", "MOV", &bigKey);
    ASSERT_TRUE(movie);
    const auto chain = parser->clusterChain(movie->startCluster);
    ASSERT_EQ(chain.size(), 10u);
    EXPECT_NE(chain.back() - chain.front(), 9u) << "the test file did not fragment";
    EXPECT_EQ(extract(*parser, bigKey, movie->fileSize), big);

    // A deleted file keeps its long name; its chain is gone, so only its first
    // cluster can be followed.
    std::uint64_t goneKey = 0;
    const DirectoryHint* deleted = findByName(index, "DSC_0010", "JPEG", &goneKey);
    ASSERT_TRUE(deleted);
    EXPECT_TRUE(deleted->isDeleted);
    EXPECT_EQ(deleted->fileSize, gone.size());
    std::vector<std::uint8_t> first = extract(*parser, goneKey, deleted->fileSize);
    EXPECT_EQ(first, std::vector<std::uint8_t>(gone.begin(), gone.begin() + 1024));
    const DirectoryHint* shortDeleted = findByName(index, "?MG_0011", "JPG");
    ASSERT_TRUE(shortDeleted);
    EXPECT_TRUE(shortDeleted->isDeleted);

    // Fillers 2, 4, 6 live on; 1, 3, 5 are deleted and their clusters now
    // belong to the movie, which wins the keys it shares with them.
    std::size_t fillers = 0;
    for (const auto& [k, h] : index)
        if (h.originalName.find("ILL") != std::string::npos) {
            ++fillers;
            EXPECT_FALSE(h.isDeleted && parser->clusterForOffset(k) == movie->startCluster);
        }
    EXPECT_GE(fillers, 3u);
    EXPECT_EQ(index.at(bigKey).originalName, "MVI_0009");
}

// Every card over 256 MB with 4 KiB clusters has cluster numbers past 65,535, whose
// high half is in the entry's bytes 20-21; older cameras and tools mark the partition
// 0x0B rather than 0x0C. Small clusters give such numbers on a small image.
TEST(RealFat32, PartitionTypesAndClusterNumbersPastSixteenBits) {
    if (!haveFatTools()) GTEST_SKIP() << "mkfs.vfat, mtools or sfdisk missing";
    const struct {
        const char* name;
        std::uint8_t type;  // 0: no partition table
        std::uint64_t startSector;
    } layouts[] = {{"no partition table", 0, 0}, {"type 0x0C", 0x0C, 8192}, {"type 0x0B", 0x0B, 2048}};
    for (const auto& l : layouts) {
        TempDir dir;
        const auto photo = test::randomBytes(20000, 70);
        test::writeFile(dir / "photo", photo);
        ASSERT_EQ(test::run("truncate -s 34M '" + (dir / "filler").string() + "'").status, 0);
        VolumeImage card(VolumeImage::Kind::fat32, dir / "card.img");
        card.sizeMiB(48).clusterBytes(512);
        if (l.type) card.mbr(l.startSector).partitionType(l.type);
        card.put(dir / "filler", "/FILLER.BIN").mkdir("/DCIM").put(dir / "photo", "/DCIM/IMG_0001.JPG");
        const auto built = card.build();
        ASSERT_TRUE(built.ok()) << l.name << ": " << built.output;

        ImageDevice image(card.image());
        test::LogCapture log;
        const auto parser = FATParser::detect(image.device());
        ASSERT_TRUE(parser) << l.name;
        EXPECT_EQ(parser->geo().partitionStart, l.startSector * 512) << l.name;
        EXPECT_EQ(parser->geo().bytesPerCluster, 512u) << l.name;
        const auto index = parser->buildDirectoryIndex();
        std::uint64_t key = 0;
        const DirectoryHint* h = findByName(index, "IMG_0001", "JPG", &key);
        ASSERT_TRUE(h) << l.name;
        EXPECT_GT(h->startCluster, 65535u) << l.name;
        EXPECT_EQ(extract(*parser, key, h->fileSize), photo) << l.name;
    }
}

TEST(RealFat32, NewPhotosInDeletedPhotosClustersKeepTheirOwnNames) {
    if (!haveFatTools()) GTEST_SKIP() << "mkfs.vfat, mtools or sfdisk missing";
    TempDir dir;
    VolumeImage card(VolumeImage::Kind::fat32, dir / "card.img");
    card.mkdir("/DCIM/100CANON");
    // Empty placeholders take the first directory slots; once deleted, the new
    // photos' entries go there, before the deleted photos' entries.
    test::writeFile(dir / "empty", {});
    for (int i = 1; i <= 3; ++i) card.put(dir / "empty", "/DCIM/100CANON/TMP_000" + std::to_string(i) + ".JPG");
    std::vector<std::vector<std::uint8_t>> fresh;
    for (int i = 1; i <= 3; ++i) {
        const auto old = dir / ("old" + std::to_string(i));
        test::writeFile(old, test::randomBytes(5500 + 100 * i, 30 + i));
        card.put(old, "/DCIM/100CANON/OLD_000" + std::to_string(i) + ".JPG");
    }
    for (int i = 1; i <= 3; ++i)
        card.del("/DCIM/100CANON/TMP_000" + std::to_string(i) + ".JPG").del("/DCIM/100CANON/OLD_000" + std::to_string(i) + ".JPG");
    card.firstFit();
    for (int i = 1; i <= 3; ++i) {
        // As many clusters as the old photo, fewer bytes.
        fresh.push_back(test::randomBytes(5200 + 10 * i, 40 + i));
        const auto src = dir / ("new" + std::to_string(i));
        test::writeFile(src, fresh.back());
        card.put(src, "/DCIM/100CANON/NEW_000" + std::to_string(i) + ".JPG");
    }
    const auto built = card.build();
    ASSERT_TRUE(built.ok()) << built.output;

    // The layout this test is about: each new entry before a deleted one.
    const auto bytes = test::readFile(card.image());
    const std::string raw(bytes.begin(), bytes.end());
    ASSERT_LT(raw.find("NEW_0001JPG"), raw.find("\xE5LD_0001JPG"));

    ImageDevice image(card.image());
    test::LogCapture log;
    const auto parser = FATParser::detect(image.device());
    ASSERT_TRUE(parser);
    const DirectoryIndex index = parser->buildDirectoryIndex();
    for (int i = 1; i <= 3; ++i) {
        std::uint64_t key = 0;
        const DirectoryHint* h = findByName(index, "NEW_000" + std::to_string(i), "JPG", &key);
        ASSERT_TRUE(h) << i;
        EXPECT_EQ(h->fileSize, fresh[i - 1].size());
        EXPECT_EQ(extract(*parser, key, h->fileSize), fresh[i - 1]);
    }
    for (int i = 1; i <= 3; ++i) EXPECT_FALSE(findByName(index, "?LD_000" + std::to_string(i), "JPG")) << i;
}

// exFAT volumes need root (a loop device for exfat-fuse); elsewhere they skip.
struct ExFatCard {
    TempDir dir;
    std::vector<Photo> photos;
    std::vector<std::uint8_t> fragmented, deleted;

    VolumeImage image(const std::string& name) {
        VolumeImage card(VolumeImage::Kind::exfat, dir / name);
        card.mbr().mkdir("/DCIM/100MSDCF");
        for (const Photo& p : photos) card.put(p.source, p.path);
        // B's hole is three clusters; the long-named file needs five and
        // takes the hole and what follows C: a FAT chain, and B's deleted
        // entry now names its first cluster. Long names need four entries,
        // so B's three-entry slot is not reused and its entry stays.
        card.del("/DCIM/100MSDCF/B.JPG").put(dir / "frag", "/DCIM/100MSDCF/DSC_FRAGMENTED_0004.HEIC");
        card.put(dir / "gone", "/DCIM/100MSDCF/DSC_DELETED_00005.JPG").del("/DCIM/100MSDCF/DSC_DELETED_00005.JPG");
        return card;
    }
    ExFatCard() {
        const char* names[] = {"A.JPG", "B.JPG", "C.JPG"};
        for (int i = 0; i < 3; ++i) {
            Photo p{std::string("/DCIM/100MSDCF/") + names[i], names[i], "JPG", test::randomBytes(12000, 50 + i), {}};
            p.name = p.name.substr(0, 1);
            p.source = dir / p.name;
            test::writeFile(p.source, p.data);
            photos.push_back(p);
        }
        Photo heic{"/DCIM/100MSDCF/IMG_0001.HEIC", "IMG_0001", "HEIC", test::randomBytes(50000, 60), dir / "heic"};
        test::writeFile(heic.source, heic.data);
        photos.push_back(heic);
        fragmented = test::randomBytes(20000, 61);
        test::writeFile(dir / "frag", fragmented);
        deleted = test::randomBytes(9000, 62);
        test::writeFile(dir / "gone", deleted);
    }
};

TEST(RealExFat, FilesFragmentsAndDeletedEntries) {
    ExFatCard setup;
    VolumeImage card = setup.image("card.img");
    const auto built = card.build();
    if (built.skipped()) GTEST_SKIP() << built.output;
    ASSERT_TRUE(built.ok()) << built.output;

    ImageDevice image(card.image());
    test::LogCapture log;
    const auto parser = FATParser::detect(image.device());
    ASSERT_TRUE(parser);
    const Geometry& g = parser->geo();

    const auto volume = setup.dir / "volume.img";
    ASSERT_EQ(test::run("dd if='" + card.image().string() + "' of='" + volume.string() +
                        "' bs=1M skip=4 status=none").status, 0);
    const auto dump = test::run("dump.exfat '" + volume.string() + "'");
    ASSERT_EQ(dump.status, 0) << dump.output;
    const std::uint64_t sectorBits = field(dump.output, "Sector Size Bits");
    const std::uint64_t clusterBits = field(dump.output, "Sector per Cluster bits");
    const std::uint64_t bps = 1ull << sectorBits;
    const Geometry expected{FileSystemKind::exfat, 4194304, bps, 1ull << clusterBits, bps << clusterBits,
                            4194304 + field(dump.output, "FAT Offset(sector offset)") * bps,
                            4194304 + field(dump.output, "Cluster Heap Offset (sector offset)") * bps,
                            field(dump.output, "Cluster Count"),
                            static_cast<std::uint32_t>(field(dump.output, "Root Cluster (cluster offset)"))};
    EXPECT_EQ(g, expected);
    EXPECT_EQ(log.lines.at(0).rfind("📂 exFAT volume: partition at byte 4194304, 4 KB clusters, ", 0), 0u) << log.lines.at(0);

    const DirectoryIndex index = parser->buildDirectoryIndex();
    for (const Photo& p : setup.photos) {
        if (p.name == "B") continue;
        std::uint64_t key = 0;
        const DirectoryHint* h = findByName(index, p.name, p.ext, &key);
        ASSERT_TRUE(h) << p.path;
        EXPECT_FALSE(h->isDeleted);
        EXPECT_EQ(h->fileSize, p.data.size());
        EXPECT_TRUE(parser->contiguousFiles().count(h->startCluster)) << p.path << " was expected without a FAT chain";
        EXPECT_EQ(extract(*parser, key, h->fileSize), p.data) << p.path;
    }

    std::uint64_t fragKey = 0;
    const DirectoryHint* frag = findByName(index, "DSC_FRAGMENTED_0004", "HEIC", &fragKey);
    ASSERT_TRUE(frag);
    EXPECT_FALSE(frag->isDeleted);
    EXPECT_FALSE(parser->contiguousFiles().count(frag->startCluster));
    const auto chain = parser->clusterChain(frag->startCluster);
    ASSERT_EQ(chain.size(), 5u);
    EXPECT_NE(chain.back() - chain.front(), 4u) << "the test file did not fragment";
    EXPECT_EQ(extract(*parser, fragKey, frag->fileSize), setup.fragmented);
    EXPECT_FALSE(findByName(index, "B", "JPG")) << "the deleted entry must not replace the live one";

    std::uint64_t goneKey = 0;
    const DirectoryHint* gone = findByName(index, "DSC_DELETED_00005", "JPG", &goneKey);
    ASSERT_TRUE(gone);
    EXPECT_TRUE(gone->isDeleted);
    EXPECT_EQ(extract(*parser, goneKey, gone->fileSize), setup.deleted);  // contiguous: all of it
}

TEST(RealExFat, WipedMainBootSectorFoundThroughTheBackupRegion) {
    ExFatCard setup;
    VolumeImage intact = setup.image("intact.img");
    VolumeImage wiped = setup.image("wiped.img");
    wiped.wipeBoot();
    for (const VolumeImage* c : {&intact, &wiped}) {
        const auto built = c->build();
        if (built.skipped()) GTEST_SKIP() << built.output;
        ASSERT_TRUE(built.ok()) << built.output;
    }
    ImageDevice a(intact.image()), b(wiped.image());
    test::LogCapture log;
    const auto good = FATParser::detect(a.device());
    const auto found = FATParser::detect(b.device());
    ASSERT_TRUE(good);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->geo(), good->geo());
    EXPECT_EQ(log.lines.back(), "📂 Recovered exFAT geometry from backup boot region at byte " +
                                    std::to_string(4194304 + 12 * good->geo().bytesPerSector));
    const auto index = found->buildDirectoryIndex();
    std::uint64_t key = 0;
    const DirectoryHint* h = findByName(index, "IMG_0001", "HEIC", &key);
    ASSERT_TRUE(h);
    EXPECT_EQ(extract(*found, key, h->fileSize), setup.photos.back().data);
}

}  // namespace
}  // namespace vf
