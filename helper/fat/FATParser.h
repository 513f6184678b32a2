#pragma once
// FAT32 and exFAT: finding the volume, indexing its directory entries (deleted
// ones included) and writing files out by their cluster chains. Read-only.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "helper/io/ByteSink.h"
#include "helper/io/Device.h"

namespace vf {

enum class FileSystemKind { fat32, exfat };

struct Geometry {
    FileSystemKind kind = FileSystemKind::fat32;
    std::uint64_t partitionStart = 0;
    std::uint64_t bytesPerSector = 0;
    std::uint64_t sectorsPerCluster = 0;
    std::uint64_t bytesPerCluster = 0;
    std::uint64_t fatStartByte = 0;
    std::uint64_t dataStartByte = 0;
    std::uint64_t totalDataClusters = 0;
    std::uint32_t rootCluster = 0;
    bool operator==(const Geometry&) const = default;
};

struct DirectoryHint {
    std::uint32_t startCluster = 0;
    std::string originalName;       // without extension
    std::string originalExtension;  // without the full stop; never empty in the index
    std::uint64_t fileSize = 0;
    bool isDeleted = false;
    bool isDirectory = false;
    bool operator==(const DirectoryHint&) const = default;
};

// Keyed by the device offset of the file's first cluster.
using DirectoryIndex = std::map<std::uint64_t, DirectoryHint>;

class FATParser {
public:
    // Looks for a volume at sector 0, the MBR's FAT partitions, then the exFAT
    // backup boot region in the first 32 MiB. Logs the geometry line.
    static std::unique_ptr<FATParser> detect(Device& device);

    static std::optional<Geometry> parseFAT32BootSector(Device& device, std::uint64_t offset);
    static std::optional<Geometry> parseExFATBootSector(Device& device, std::uint64_t partitionStart,
                                                        std::optional<std::uint64_t> readPosition = {});

    FATParser(Device& device, const Geometry& geo);

    const Geometry& geo() const { return geo_; }

    std::optional<std::uint32_t> clusterForOffset(std::uint64_t offset) const;
    std::uint64_t clusterOffset(std::uint32_t cluster) const;
    std::uint32_t fatEntry(std::uint32_t cluster);
    std::vector<std::uint32_t> clusterChain(std::uint32_t start);

    // Entries whose lower-cased extension `wanted` refuses cost nothing; the
    // index stops growing at a fixed memory budget. `keepGoing` is asked
    // between directories; false ends the walk with what it has.
    DirectoryIndex buildDirectoryIndex(std::function<bool(const std::string&)> wanted = {},
                                       std::function<bool()> keepGoing = {});

    // Writes `size` bytes of the file whose data begins at device byte `offset`,
    // following its clusters, to `out`. Reads start at multiples of `alignment`.
    // With skipRecovered the clusters end at the first one already written out.
    bool extractFile(std::uint64_t offset, std::uint64_t size, ByteSink& out, std::uint64_t alignment,
                     bool skipRecovered = false);

    bool isClusterRecovered(std::uint32_t cluster) const;
    void markRecoveredBytes(std::uint64_t offset, std::uint64_t length);
    // In use by a live file or directory (FAT entry, or exFAT allocation bitmap).
    bool isAllocated(std::uint32_t cluster);
    // The bytes from offset, at most size, before the first later cluster that
    // is recovered or, with stopAtAllocated, in use.
    std::uint64_t freeRun(std::uint64_t offset, std::uint64_t size, bool stopAtAllocated);
    bool isClusterStart(std::uint64_t offset) const {
        return offset >= geo_.dataStartByte && (offset - geo_.dataStartByte) % geo_.bytesPerCluster == 0;
    }
    // The first cluster start after offset.
    std::uint64_t nextClusterStart(std::uint64_t offset) const {
        if (offset < geo_.dataStartByte) return geo_.dataStartByte;
        return offset + geo_.bytesPerCluster - (offset - geo_.dataStartByte) % geo_.bytesPerCluster;
    }
    // The first byte past the cluster heap.
    std::uint64_t volumeEnd() const { return geo_.dataStartByte + geo_.totalDataClusters * geo_.bytesPerCluster; }
    std::uint64_t directoryBytesRead() const { return directoryBytesRead_; }
    const std::unordered_map<std::uint32_t, std::uint64_t>& contiguousFiles() const { return contiguousFiles_; }

    struct WalkState;  // one directory walk's index and limits

private:
    struct Extent {
        std::uint32_t first = 0;
        std::uint64_t count = 0;
    };

    std::uint32_t badClusterMarker() const;
    bool inHeap(std::uint64_t cluster) const;
    // One past the last cluster number that exists (and fits in 32 bits).
    std::uint64_t heapEnd() const;
    void scanFAT32Directory(std::uint32_t cluster, WalkState& walk, int depth);
    void scanExFATDirectory(std::uint32_t cluster, bool noFatChain, std::optional<std::uint64_t> dataLength,
                            WalkState& walk, int depth);
    void markRecovered(const Extent& run);

    Device& device_;
    Geometry geo_;
    std::unordered_map<std::uint32_t, std::uint32_t> fatCache_;
    // The aligned block of the FAT that the last uncached entry came from.
    std::vector<std::uint8_t> fatBlock_;
    std::uint64_t fatBlockStart_ = 0;
    std::unordered_map<std::uint32_t, std::uint64_t> contiguousFiles_;
    // One bit per cluster in pages of 65,536 clusters, made on first use, so a
    // volume that claims billions of clusters costs only the pages touched.
    std::vector<std::unique_ptr<std::vector<std::uint64_t>>> recoveredPages_;
    std::vector<std::unique_ptr<std::vector<std::uint64_t>>> visitedPages_;  // directory clusters read
    static bool testBit(const std::vector<std::unique_ptr<std::vector<std::uint64_t>>>& pages, std::uint64_t c);
    static void setBit(std::vector<std::unique_ptr<std::vector<std::uint64_t>>>& pages, std::uint64_t c);
    std::vector<std::uint8_t> ioBuffer_;  // reused by every extractFile
    std::uint64_t bitmapStart_ = 0, bitmapBytes_ = 0;  // exFAT allocation bitmap
    std::vector<std::uint8_t> bitmapBlock_;
    std::uint64_t bitmapBlockStart_ = UINT64_MAX;
    std::uint64_t directoryBytesRead_ = 0;
};

}  // namespace vf
