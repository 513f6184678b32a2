// The FAT32 and exFAT reader on cards made by the real tools (mkfs.vfat +
// mtools, mkfs.exfat + exfat-fuse, through tools/make-fat32-image and
// tools/make-exfat-image), read as the scanner reads a card; and on volumes
// laid out byte by byte in memory, for what the real tools cannot make: boot
// sectors out of range, the volume search, loops and cycles, deep trees,
// hostile fields, reused directory slots, and files written out by their
// clusters through read failures and lengths that disagree with them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <tuple>

#include "helper/fat/FATParser.h"
#include "helper/fat/FatNames.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MediaSynthetic.h"
#include "tests/support/Synthetic.h"
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

// A card the tools made, opened as the scanner opens a device, and its volume found.
struct OpenedCard {
    explicit OpenedCard(const std::filesystem::path& p) : image(p), parser(FATParser::detect(image.device)) {}
    ImageDevice image;
    LogCapture log;  // what finding the volume logged, and what follows
    std::unique_ptr<FATParser> parser;
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

    OpenedCard c(card.image());
    ASSERT_TRUE(c.parser);
    const auto info = run("MTOOLS_SKIP_CHECK=1 minfo -i '" + card.image().string() + "@@4194304'");
    ASSERT_EQ(info.status, 0) << info.output;
    const std::uint64_t bps = field(info.output, "sector size"), spc = field(info.output, "cluster size");
    const std::uint64_t reserved = field(info.output, "reserved \\(boot\\) sectors");
    const std::uint64_t firstData = reserved + field(info.output, "\nfats") * field(info.output, "Big fatlen");
    const Geometry expected{FileSystemKind::fat32, 4194304, bps, spc, bps * spc, 4194304 + reserved * bps,
                            4194304 + firstData * bps, (field(info.output, "big size") - firstData) / spc,
                            static_cast<std::uint32_t>(field(info.output, "rootCluster"))};
    EXPECT_EQ(c.parser->geo(), expected);
    EXPECT_EQ(c.log.lines.at(0), "📂 FAT32 volume: partition at byte 4194304, 1 KB clusters, data region at byte " +
                                   std::to_string(expected.dataStartByte) + ", " +
                                   std::to_string(expected.totalDataClusters) + " clusters total");

    const DirectoryIndex index = c.parser->buildDirectoryIndex();
    for (const auto& [path, data] : photos) {
        const Found f = expectFile(*c.parser, index, path, data);
        EXPECT_TRUE(f.hint && f.hint->startCluster > 65535u) << path;
    }
    const Found m = expectFile(*c.parser, index, "/MVI_0009.MOV", movie);
    ASSERT_TRUE(m.hint);
    const auto chain = c.parser->clusterChain(m.hint->startCluster);
    ASSERT_EQ(chain.size(), 10u);
    EXPECT_NE(chain.back() - chain.front(), 9u) << "the test file did not fragment";
    // A deleted file keeps its long name; its chain is gone, so only its first
    // cluster can be followed.
    const Found deleted = find(*c.parser, index, "/DSC_0010.JPEG");
    EXPECT_TRUE(deleted.hint && deleted.hint->isDeleted);
    EXPECT_EQ(deleted.bytes, Bytes(gone.begin(), gone.begin() + 1024));

    // The layout the new photos are about: each new entry before a deleted one.
    const std::string raw = readText(card.image());
    ASSERT_LT(raw.find("NEW_0001JPG"), raw.find("\xE5LD_0001JPG"));
    for (int i = 1; i <= 3; ++i) {
        expectFile(*c.parser, index, name("NEW_000", i), fresh[i - 1]);
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
        OpenedCard c(card.image());
        ASSERT_TRUE(c.parser);
        EXPECT_EQ(c.parser->geo().partitionStart, type ? 2048u * 512 : 0u);
        expectFile(*c.parser, c.parser->buildDirectoryIndex(), "/IMG_0001.JPG", photo);
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

    OpenedCard c(card.image());
    ASSERT_TRUE(c.parser);
    const Geometry& g = c.parser->geo();
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
    EXPECT_EQ(c.log.lines.at(0).rfind("📂 exFAT volume: partition at byte 4194304, 4 KB clusters, ", 0), 0u) << c.log.lines.at(0);

    const DirectoryIndex index = c.parser->buildDirectoryIndex();
    for (const auto& [path, data] : photos) {
        const Found f = expectFile(*c.parser, index, path, data);
        EXPECT_TRUE(f.hint && c.parser->contiguousFiles().count(f.hint->startCluster)) << path << " has a FAT chain";
    }
    const Found frag = expectFile(*c.parser, index, "/DSC_FRAGMENTED_0004.HEIC", fragmented);
    ASSERT_TRUE(frag.hint);
    EXPECT_FALSE(c.parser->contiguousFiles().count(frag.hint->startCluster));
    const auto chain = c.parser->clusterChain(frag.hint->startCluster);
    ASSERT_EQ(chain.size(), 5u);
    EXPECT_NE(chain.back() - chain.front(), 4u) << "the test file did not fragment";
    for (const auto& [key, h] : index) EXPECT_NE(h.originalName, "B") << "the deleted entry must not replace the live one";
    expectFile(*c.parser, index, "/DSC_DELETED_00005.JPG", deleted, true);  // contiguous: all of it

    // With the main boot sector wiped, the backup region gives the same volume.
    MemoryDevice wiped(with(readFile(card.image()), 4194304, Bytes(512, 0)));
    const auto found = FATParser::detect(wiped);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->geo(), g);
    EXPECT_EQ(c.log.lines.back(), "📂 Recovered exFAT geometry from backup boot region at byte " +
                                    std::to_string(4194304 + 12 * g.bytesPerSector));
    expectFile(*found, found->buildDirectoryIndex(), "/IMG_0001.HEIC", photos["/DCIM/100MSDCF/IMG_0001.HEIC"]);
}

// Volumes laid out in memory.

// What both kinds share: a FAT of 32-bit entries at `fat`, clusters from 2 on at `data`.
struct Volume : ByteWriter {
    Volume(std::uint64_t fatAt, std::uint64_t dataAt, std::uint64_t clusterSize, std::uint32_t endMarker,
           std::uint32_t clusters)
        : ByteWriter(true, dataAt + clusters * clusterSize), fat(fatAt), dataStart(dataAt), clusterBytes(clusterSize),
          end(endMarker) {}
    std::uint64_t fat, dataStart, clusterBytes;
    std::uint32_t end;  // the end-of-chain marker

    std::uint64_t clusterPos(std::uint32_t c) const { return dataStart + (c - 2ull) * clusterBytes; }
    void setFat(std::uint32_t c, std::uint32_t v) { u32(fat + 4ull * c, v); }
    void chain(const std::vector<std::uint32_t>& cs) {
        for (std::size_t i = 0; i < cs.size(); ++i) setFat(cs[i], i + 1 < cs.size() ? cs[i + 1] : end);
    }
};

// FAT32: 512-byte sectors, 32 reserved sectors, one FAT, root in cluster 2.
struct Fat32Volume : Volume {
    explicit Fat32Volume(std::uint32_t clusters = 64, std::uint8_t sectorsPerCluster = 1)
        : Volume(32 * 512, (33 + (clusters + 2) * 4 / 512) * 512ull, 512ull * sectorsPerCluster, 0x0FFFFFFF, clusters) {
        text(82, "FAT32   ");
        put({{0, 1, 0xEB}, {11, 2, 512}, {13, 1, sectorsPerCluster}, {14, 2, 32}, {16, 1, 1}, {32, 4, bytes.size() / 512},
             {36, 4, dataStart / 512 - 32}, {44, 4, 2}, {510, 2, 0xAA55}});
        chain({2});
    }
    // A 32-byte entry at slot `index` of the directory starting in `dirCluster`.
    void entry(std::uint32_t dirCluster, std::size_t index, const std::string& name11, std::uint8_t attr,
               std::uint32_t first, std::uint32_t size) {
        const std::size_t at = clusterPos(dirCluster) + 32 * index;
        raw(at, std::vector<std::uint8_t>(32, 0));
        text(at, name11.substr(0, 11));
        put({{at + 11, 1, attr}, {at + 20, 2, first >> 16}, {at + 26, 2, first & 0xFFFF}, {at + 28, 4, size}});
    }
    // A long-name set and its short entry from `slot` on; returns the next slot.
    std::size_t longNamed(std::uint32_t dir, std::size_t slot, std::u16string_view name, const std::string& name11,
                          std::uint32_t first, std::uint32_t size, bool deleted = false) {
        constexpr std::size_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        const std::uint8_t sum = shortNameChecksum(std::vector<std::uint8_t>(name11.begin(), name11.begin() + 11));
        std::vector<std::uint16_t> u(name.begin(), name.end());
        if (u.size() % 13) u.push_back(0);
        while (u.size() % 13) u.push_back(0xFFFF);
        const std::size_t n = u.size() / 13;
        for (std::size_t k = n; k >= 1; --k, ++slot) {
            const std::size_t e = clusterPos(dir) + 32 * slot;
            put({{e, 1, deleted ? 0xE5 : k | (k == n ? 0x40 : 0)}, {e + 11, 1, 0x0F}, {e + 13, 1, sum}});
            for (std::size_t i = 0; i < 13; ++i) u16(e + at[i], u[(k - 1) * 13 + i]);
        }
        entry(dir, slot, deleted ? "\xE5" + name11.substr(1) : name11, 0x20, first, size);
        return slot + 1;
    }
};

// exFAT: 512-byte sectors, clusters of 2^shift sectors, FAT at sector 24, heap
// at 64, root in cluster 2.
struct ExFatVolume : Volume {
    explicit ExFatVolume(std::uint32_t clusters = 128, unsigned shift = 0)
        : Volume(24 * 512, 64 * 512, 512ull << shift, 0xFFFFFFFF, clusters) {
        for (std::size_t at : {0, 12 * 512}) {  // the main boot sector and its backup
            text(at, {"\xEB\0\0EXFAT   ", 11});
            put({{at + 80, 4, 24}, {at + 84, 4, 8}, {at + 88, 4, 64}, {at + 92, 4, clusters}, {at + 96, 4, 2},
                 {at + 108, 1, 9}, {at + 109, 1, shift}, {at + 510, 2, 0xAA55}});
        }
        chain({2});
        u8(clusterPos(2), 0x81);  // every root holds the allocation bitmap entry
    }
    struct Set {
        std::string name;  // ASCII
        bool directory = false;
        std::uint32_t first = 0;
        std::uint64_t length = 0;
        bool noFatChain = false;
        bool inUse = true;
    };
    // Writes the entry set at byte `at` of the directory in `dirCluster`; returns the byte after it.
    std::size_t set(std::uint32_t dirCluster, std::size_t at, const Set& s) {
        const std::size_t nameEntries = (s.name.size() + 14) / 15, o = clusterPos(dirCluster) + at;
        const unsigned live = s.inUse ? 0x80 : 0x00;
        put({{o, 1, 0x05 | live}, {o + 1, 1, 1 + nameEntries}, {o + 4, 1, s.directory ? 0x10u : 0x20u}, {o + 32, 1, 0x40 | live},
             {o + 33, 1, s.noFatChain ? 0x03u : 0x01u}, {o + 35, 1, s.name.size()}, {o + 52, 4, s.first}, {o + 56, 8, s.length}});
        for (std::size_t i = 0; i < s.name.size(); ++i) {
            const std::size_t e = o + 64 + 32 * (i / 15);
            put({{e, 1, 0x41 | live}, {e + 2 + 2 * (i % 15), 2, static_cast<std::uint8_t>(s.name[i])}});
        }
        return at + 32 * (2 + nameEntries);
    }
};

// Boot sectors, the volume search and FAT chains.

// An exFAT volume that no partition lists (a damaged table) is found by the boot
// region search; a backup copy found less than 12 sectors in gives start 0.
TEST(Detect, ExFatFoundByTheBootRegionSearch) {
    ExFatVolume v(256, 3);
    const Bytes image = with(Bytes((1 << 20) + v.bytes.size()), 1 << 20, v.bytes);
    std::copy_n(v.bytes.begin() + 12 * 512, 512, v.bytes.begin() + 5 * 512);
    std::fill_n(v.bytes.begin(), 512, 0);
    std::fill_n(v.bytes.begin() + 12 * 512, 512, 0);
    for (const auto& [bytes, start, logged] : {std::tuple{image, 1u << 20, 1u << 20}, std::tuple{v.bytes, 0u, 5u * 512}}) {
        MemoryDevice dev(bytes);
        LogCapture log;
        const auto parser = FATParser::detect(dev);
        ASSERT_TRUE(parser) << start;
        EXPECT_EQ(parser->geo().partitionStart, start);
        EXPECT_EQ(parser->geo().dataStartByte, start + v.dataStart);
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
    const std::uint64_t d = v.dataStart;
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
    const struct {
        const Geometry& geo;
        std::uint32_t start;
        std::vector<std::uint32_t> want;
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

// The directory walk.

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
    ImageDevice zeros(dir / "card.img");
    FATParser q(zeros.device, *FATParser::parseExFATBootSector(zeros.device, 0));
    EXPECT_TRUE(q.buildDirectoryIndex().empty());
    EXPECT_LE(q.directoryBytesRead(), (256ull << 20) + 4 * (1ull << 20));
}

// A hostile long name must still give valid UTF-8 for the records.
TEST(Names, BrokenSurrogatesAreReplaced) {
    const std::vector<std::uint16_t> lone = {0xD83D, 'a', 0xDC37, 0xD800, 0xD83D, 0xDCF7};
    EXPECT_EQ(decodeUtf16(lone), "\xEF\xBF\xBD" "a" "\xEF\xBF\xBD" "\xEF\xBF\xBD" "\xF0\x9F\x93\xB7");
}

// Writing a file out by its clusters.

// Every read the device was asked for starts and ends on the alignment.
bool alignedReads(const FaultyDevice& dev, std::uint64_t alignment) {
    return std::all_of(dev.reads.begin(), dev.reads.end(), [&](auto& r) { return r.first % alignment == 0 && r.second % alignment == 0; });
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
        {"outside the data", 512, 0, v.bytes.size(), v.dataStart - 1, 10, false, {},
         "⛔️ FAT: offset " + std::to_string(v.dataStart - 1) + " not in data region"},
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
