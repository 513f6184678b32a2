#include "helper/fat/FATParser.h"

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_set>

#include "common/ByteReader.h"
#include "helper/io/Log.h"

namespace vf {
namespace {

constexpr std::size_t kBootSectorSize = 512;
constexpr std::uint64_t kBackupSearchBytes = 32ull << 20;
// exFAT allows no cluster above 32 MiB (shift sum 25); a boot
// sector that claims more would have us allocate gigabytes per cluster.
constexpr unsigned kMaxExFATClusterShift = 25;
constexpr std::size_t kFatCacheLimit = 256000;
constexpr std::size_t kMaxChainClusters = 500000;
// FAT entries are read in aligned blocks of this size; it is a multiple of
// every sector size and device block size the scanner meets.
constexpr std::uint64_t kFatBlockSize = 4096;
constexpr std::uint32_t kFat32Bad = 0x0FFFFFF7;
constexpr std::uint32_t kExFATBad = 0xFFFFFFF7;

bool isPowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

std::optional<std::array<std::uint8_t, kBootSectorSize>> readBlock(Device& device, std::uint64_t offset) {
    std::array<std::uint8_t, kBootSectorSize> block{};
    if (!device.readExact(offset, block)) return std::nullopt;
    return block;
}

void logGeometry(const Geometry& g) {
    const char* kind = g.kind == FileSystemKind::fat32 ? "📂 FAT32 volume: partition at byte " : "📂 exFAT volume: partition at byte ";
    logLine(std::string(kind) + std::to_string(g.partitionStart) + ", " + std::to_string(g.bytesPerCluster / 1024) +
            " KB clusters, " + "data region at byte " + std::to_string(g.dataStartByte) + ", " +
            std::to_string(g.totalDataClusters) + " clusters total");
}

// The root directory of an exFAT volume holds its allocation bitmap entry
// (type 0x81) among its first entries. Checking for it tells the main boot
// sector from its backup copy, which are byte for byte the same.
bool rootLooksValid(Device& device, const Geometry& g) {
    const std::uint64_t pos = g.dataStartByte + (std::uint64_t{g.rootCluster} - 2) * g.bytesPerCluster;
    const auto block = readBlock(device, pos);
    if (!block) return false;
    for (std::size_t i = 0; i < block->size(); i += 32) {
        if ((*block)[i] == 0x00) return false;
        if ((*block)[i] == 0x81) return true;
    }
    return false;
}

}  // namespace

FATParser::FATParser(Device& device, const Geometry& geo) : device_(device), geo_(geo) {}

std::optional<Geometry> FATParser::parseFAT32BootSector(Device& device, std::uint64_t offset) {
    const auto block = readBlock(device, offset);
    if (!block) return std::nullopt;
    const ByteReader r(*block);
    if (r.u8(510) != 0x55 || r.u8(511) != 0xAA) return std::nullopt;
    if (!r.matches(82, "FAT32")) return std::nullopt;

    const std::uint64_t bytesPerSector = r.le16(11).value_or(0);
    // 512 to 4096: the high byte at least 2 rules out 256 and below.
    if (r.u8(12).value_or(0) < 2 || bytesPerSector > 4096 || !isPowerOfTwo(bytesPerSector)) return std::nullopt;
    const std::uint64_t sectorsPerCluster = r.u8(13).value_or(0);
    if (sectorsPerCluster == 0 || sectorsPerCluster > 128 || !isPowerOfTwo(sectorsPerCluster)) return std::nullopt;
    const std::uint64_t reserved = r.le16(14).value_or(0);
    if (reserved == 0) return std::nullopt;  // the boot sector itself is reserved
    const std::uint64_t fatCount = r.u8(16).value_or(0);
    if (fatCount != 1 && fatCount != 2) return std::nullopt;
    const std::uint64_t sectorsPerFat = r.le32(36).value_or(0);
    if (sectorsPerFat == 0) return std::nullopt;
    const std::uint64_t totalSectors = r.le32(32).value_or(0);
    if (totalSectors == 0) return std::nullopt;

    const std::uint64_t firstDataSector = reserved + fatCount * sectorsPerFat;
    if (firstDataSector >= totalSectors) return std::nullopt;
    const std::uint64_t clusterCount = (totalSectors - firstDataSector) / sectorsPerCluster;
    if (clusterCount < 2) return std::nullopt;
    const std::uint32_t rootCluster = r.le32(44).value_or(0);
    if (rootCluster < 2) return std::nullopt;

    Geometry g;
    g.kind = FileSystemKind::fat32;
    g.partitionStart = offset;
    g.bytesPerSector = bytesPerSector;
    g.sectorsPerCluster = sectorsPerCluster;
    g.bytesPerCluster = bytesPerSector * sectorsPerCluster;
    g.totalDataClusters = clusterCount;
    g.rootCluster = rootCluster;
    // Offsets are absolute; a volume whose end does not fit in 64 bits is not one.
    const auto fatStart = checkedAdd(offset, reserved * bytesPerSector);
    const auto dataStart = checkedAdd(offset, firstDataSector * bytesPerSector);
    if (!fatStart || !dataStart || !checkedAdd(*dataStart, clusterCount * g.bytesPerCluster)) return std::nullopt;
    g.fatStartByte = *fatStart;
    g.dataStartByte = *dataStart;
    return g;
}

std::optional<Geometry> FATParser::parseExFATBootSector(Device& device, std::uint64_t partitionStart,
                                                        std::optional<std::uint64_t> readPosition) {
    const auto block = readBlock(device, readPosition.value_or(partitionStart));
    if (!block) return std::nullopt;
    const ByteReader r(*block);
    if (!r.matches(3, "EXFAT   ")) return std::nullopt;
    if (r.u8(510) != 0x55 || r.u8(511) != 0xAA) return std::nullopt;
    const unsigned sectorShift = r.u8(108).value_or(0);
    if (sectorShift < 9 || sectorShift > 12) return std::nullopt;
    const unsigned clusterShift = r.u8(109).value_or(0xFF);
    if (clusterShift > 25) return std::nullopt;
    if (sectorShift + clusterShift > kMaxExFATClusterShift) return std::nullopt;
    const std::uint64_t fatOffset = r.le32(80).value_or(0);
    const std::uint64_t heapOffset = r.le32(88).value_or(0);
    if (fatOffset == 0 || fatOffset >= heapOffset) return std::nullopt;
    const std::uint64_t clusterCount = r.le32(92).value_or(0);
    if (clusterCount < 2) return std::nullopt;
    const std::uint32_t rootCluster = r.le32(96).value_or(0);
    if (rootCluster < 2) return std::nullopt;

    Geometry g;
    g.kind = FileSystemKind::exfat;
    g.partitionStart = partitionStart;
    g.bytesPerSector = std::uint64_t{1} << sectorShift;
    g.sectorsPerCluster = std::uint64_t{1} << clusterShift;
    g.bytesPerCluster = std::uint64_t{1} << (sectorShift + clusterShift);
    g.totalDataClusters = clusterCount;
    g.rootCluster = rootCluster;
    const auto fatStart = checkedAdd(partitionStart, fatOffset * g.bytesPerSector);
    const auto dataStart = checkedAdd(partitionStart, heapOffset * g.bytesPerSector);
    if (!fatStart || !dataStart || !checkedAdd(*dataStart, clusterCount * g.bytesPerCluster)) return std::nullopt;
    g.fatStartByte = *fatStart;
    g.dataStartByte = *dataStart;
    return g;
}

std::unique_ptr<FATParser> FATParser::detect(Device& device) {
    const auto sector0 = readBlock(device, 0);
    if (!sector0) return nullptr;
    const ByteReader r(*sector0);

    std::vector<std::uint64_t> candidates{0};
    if (r.u8(510) == 0x55 && r.u8(511) == 0xAA && !r.matches(82, "FAT")) {
        for (std::size_t entry : {446u, 462u, 478u, 494u}) {
            const std::uint8_t type = r.u8(entry + 4).value_or(0);
            const std::uint64_t startSector = r.le32(entry + 8).value_or(0);
            // 512 whatever the device's block size: that is how the table counts.
            if ((type == 0x07 || type == 0x0B || type == 0x0C) && startSector != 0)
                candidates.push_back(startSector * 512);
        }
    }
    for (std::uint64_t offset : candidates) {
        auto geo = parseFAT32BootSector(device, offset);
        if (!geo) geo = parseExFATBootSector(device, offset);
        if (geo) {
            logGeometry(*geo);
            return std::make_unique<FATParser>(device, *geo);
        }
    }

    // The backup boot region: an exFAT volume whose main boot sector is gone,
    // or one in a partition the table above does not list.
    // Lent in place where the device can: copying (and first zeroing) 32 MiB
    // costs more than the rest of the search on a fast card.
    std::vector<std::uint8_t> copy;
    const Fetched fetched = fetch(device, 0, kBackupSearchBytes, copy);
    const std::span<const std::uint8_t> head = fetched.bytes;
    if (head.size() > kBootSectorSize) {
        const ByteReader h(head);
        for (std::uint64_t o = 0; o + kBootSectorSize <= head.size(); o += kBootSectorSize) {
            if (!h.matches(o + 3, "EXFAT   ")) continue;
            const unsigned s = h.u8(o + 108).value_or(0);
            if (s < 9 || s > 12) continue;
            const std::uint64_t backupDistance = std::uint64_t{12} << s;
            const auto asMain = parseExFATBootSector(device, o, o);
            const auto asBackup = parseExFATBootSector(device, o >= backupDistance ? o - backupDistance : 0, o);
            // The backup is an exact copy of the main sector, so both readings
            // pass the field checks; the root directory tells which is true.
            std::optional<Geometry> chosen;
            if (asMain && rootLooksValid(device, *asMain)) chosen = asMain;
            else if (asBackup && rootLooksValid(device, *asBackup)) chosen = asBackup;
            else chosen = asMain ? asMain : asBackup;
            if (chosen) {
                logLine("📂 Recovered exFAT geometry from backup boot region at byte " + std::to_string(o));
                return std::make_unique<FATParser>(device, *chosen);
            }
        }
    }
    logLine("ℹ️  No FAT32 volume found — will use linear carving only");
    return nullptr;
}

std::uint32_t FATParser::badClusterMarker() const {
    return geo_.kind == FileSystemKind::fat32 ? kFat32Bad : kExFATBad;
}

bool FATParser::inHeap(std::uint64_t cluster) const { return cluster >= 2 && cluster < heapEnd(); }

std::uint64_t FATParser::heapEnd() const {
    return std::min<std::uint64_t>(geo_.totalDataClusters + 2, std::uint64_t{1} << 32);
}

std::optional<std::uint32_t> FATParser::clusterForOffset(std::uint64_t offset) const {
    if (offset < geo_.dataStartByte) return std::nullopt;
    const std::uint64_t i = (offset - geo_.dataStartByte) / geo_.bytesPerCluster;
    if (i >= geo_.totalDataClusters || i > std::numeric_limits<std::uint32_t>::max() - 2) return std::nullopt;
    return static_cast<std::uint32_t>(i + 2);
}

std::uint64_t FATParser::clusterOffset(std::uint32_t cluster) const {
    // Below cluster 2 there is no data; callers check inHeap first.
    const std::uint64_t index = cluster >= 2 ? cluster - 2u : 0;
    return geo_.dataStartByte + index * geo_.bytesPerCluster;
}

std::uint32_t FATParser::fatEntry(std::uint32_t cluster) {
    if (const auto it = fatCache_.find(cluster); it != fatCache_.end()) return it->second;
    const std::uint64_t pos = geo_.fatStartByte + std::uint64_t{cluster} * 4;
    if (pos < geo_.fatStartByte) return badClusterMarker();
    const std::uint64_t blockStart = alignDown(pos, kFatBlockSize);
    if (fatBlock_.empty() || fatBlockStart_ != blockStart) {
        fatBlock_.assign(kFatBlockSize, 0);
        const ReadResult got = device_.readAt(blockStart, fatBlock_);
        fatBlock_.resize(got.bytes);  // the bytes counted are valid even after an error
        fatBlockStart_ = blockStart;
    }
    const auto raw = ByteReader(fatBlock_).le32(static_cast<std::size_t>(pos - blockStart));
    if (!raw) {
        fatBlock_.clear();  // a failed read is not remembered
        return badClusterMarker();
    }
    const std::uint32_t value = geo_.kind == FileSystemKind::fat32 ? (*raw & 0x0FFFFFFF) : *raw;
    if (fatCache_.size() < kFatCacheLimit) fatCache_.emplace(cluster, value);
    return value;
}

std::vector<std::uint32_t> FATParser::clusterChain(std::uint32_t start) {
    std::vector<std::uint32_t> chain;
    const std::uint32_t bad = badClusterMarker();
    // A cluster beyond the heap does not exist; a FAT entry naming one is damage.
    auto usable = [&](std::uint32_t c) { return c >= 2 && c < bad && inHeap(c); };
    if (!usable(start)) return chain;
    std::unordered_set<std::uint32_t> seen;
    std::uint32_t current = start;
    while (seen.insert(current).second) {
        chain.push_back(current);
        if (chain.size() >= kMaxChainClusters) break;
        const std::uint32_t next = fatEntry(current);
        if (!usable(next)) break;
        current = next;
    }
    return chain;
}

bool FATParser::testBit(const std::vector<std::unique_ptr<std::vector<std::uint64_t>>>& pages, std::uint64_t c) {
    const std::size_t page = static_cast<std::size_t>(c >> 16);
    if (page >= pages.size() || !pages[page]) return false;
    const std::uint32_t bit = static_cast<std::uint32_t>(c & 0xFFFF);
    return ((*pages[page])[bit >> 6] >> (bit & 63)) & 1;
}

void FATParser::setBit(std::vector<std::unique_ptr<std::vector<std::uint64_t>>>& pages, std::uint64_t c) {
    const std::size_t page = static_cast<std::size_t>(c >> 16);
    if (page >= pages.size()) pages.resize(page + 1);
    if (!pages[page]) pages[page] = std::make_unique<std::vector<std::uint64_t>>(1024, 0);
    const std::uint32_t bit = static_cast<std::uint32_t>(c & 0xFFFF);
    (*pages[page])[bit >> 6] |= std::uint64_t{1} << (bit & 63);
}

bool FATParser::isClusterRecovered(std::uint32_t cluster) const { return testBit(recoveredPages_, cluster); }

void FATParser::markRecovered(const Extent& run) {
    for (std::uint64_t i = 0; i < run.count; ++i) {
        const std::uint64_t c = std::uint64_t{run.first} + i;
        if (c > std::numeric_limits<std::uint32_t>::max()) break;
        setBit(recoveredPages_, c);
    }
}

void FATParser::markRecoveredBytes(std::uint64_t offset, std::uint64_t length) {
    const auto first = clusterForOffset(offset);
    if (!first || length == 0) return;
    const std::uint64_t last = std::min(offset + (length - 1), volumeEnd() - 1);
    const auto end = clusterForOffset(last);
    if (end) markRecovered({*first, std::uint64_t{*end} - *first + 1});
}

bool FATParser::isAllocated(std::uint32_t cluster) {
    if (!inHeap(cluster)) return false;
    if (geo_.kind == FileSystemKind::fat32) return fatEntry(cluster) != 0;
    // exFAT files without a FAT chain leave their FAT entries 0: the bitmap tells.
    const std::uint64_t index = cluster - 2u;
    if (bitmapBytes_ == 0 || index / 8 >= bitmapBytes_) return false;
    const std::uint64_t pos = bitmapStart_ + index / 8;
    const std::uint64_t blockStart = alignDown(pos, kFatBlockSize);
    if (bitmapBlockStart_ != blockStart) {
        bitmapBlock_.assign(kFatBlockSize, 0);
        bitmapBlock_.resize(device_.readAt(blockStart, bitmapBlock_).bytes);
        bitmapBlockStart_ = blockStart;
    }
    const std::size_t at = static_cast<std::size_t>(pos - blockStart);
    return at < bitmapBlock_.size() && ((bitmapBlock_[at] >> (index % 8)) & 1);
}

std::uint64_t FATParser::freeRun(std::uint64_t offset, std::uint64_t size, bool stopAtAllocated) {
    const auto first = clusterForOffset(offset);
    if (!first) return size;
    const std::uint64_t end = std::min(offset + std::min(size, volumeEnd() - offset), volumeEnd());
    for (std::uint64_t c = std::uint64_t{*first} + 1; c < heapEnd(); ++c) {
        const std::uint64_t at = clusterOffset(static_cast<std::uint32_t>(c));
        if (at >= end) break;
        if (isClusterRecovered(static_cast<std::uint32_t>(c)) ||
            (stopAtAllocated && isAllocated(static_cast<std::uint32_t>(c))))
            return at - offset;
    }
    return std::min(size, end - offset);
}

}  // namespace vf
