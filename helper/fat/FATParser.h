#pragma once
// FAT32 and exFAT: finding the volume, indexing its directory entries (deleted
// ones included) and writing files out by their cluster chains. Read-only.

#include <cstdint>
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

    DirectoryIndex buildDirectoryIndex();

    // Writes `size` bytes of the file whose data begins at device byte `offset`,
    // following its clusters, to `out`. Reads start at multiples of `alignment`.
    bool extractFile(std::uint64_t offset, std::uint64_t size, ByteSink& out, std::uint64_t alignment);

    bool isClusterRecovered(std::uint32_t cluster) const;
    const std::unordered_map<std::uint32_t, std::uint64_t>& contiguousFiles() const { return contiguousFiles_; }

private:
    struct WalkState;
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
    std::vector<std::uint8_t> ioBuffer_;  // reused by every extractFile
};

}  // namespace vf
