// The directory walk of both file systems, which builds the directory index.

#include <algorithm>
#include <cctype>
#include <span>
#include <unordered_set>

#include "helper/fat/FATParser.h"
#include "helper/fat/FatNames.h"
#include "common/ByteReader.h"
#include "helper/io/Log.h"
#include "platform/SystemLog.h"

namespace vf {

namespace {

constexpr int kMaxDepth = 16;  // the root is level 0
// What the index may hold, whatever the card: beyond it, files are carved without their names.
constexpr std::uint64_t kIndexBudget = 48ull << 20;
constexpr std::uint64_t kHintOverhead = 160;  // map node, key and hint, roughly
// Directory clusters read between questions whether the walk should go on.
constexpr std::uint64_t kClustersPerCheck = 256;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

struct FATParser::WalkState {
    DirectoryIndex index;
    // exFAT: first cluster → whether the entry set that last claimed it is in use.
    std::unordered_map<std::uint32_t, bool> claims;
    std::function<bool(const std::string&)> wanted;
    std::function<bool()> keepGoing;
    std::uint64_t indexBytes = 0, clustersRead = 0;
    bool stopped = false, full = false;

    bool wants(const std::string& extension) const { return !wanted || wanted(lower(extension)); }
    // Asked at every directory and every few clusters read.
    bool goOn() {
        if (!stopped && keepGoing && !keepGoing()) stopped = true;
        return !stopped;
    }
    void countRead() {
        if (++clustersRead % kClustersPerCheck == 0) goOn();
    }
};

namespace {
// exFAT allows no directory above 256 MiB; a DataLength beyond
// that, or a chain longer than that, is not read further.
constexpr std::uint64_t kMaxDirectoryBytes = 256ull << 20;

// A camera reuses the clusters of deleted photos, so a deleted entry and the
// live file now stored in its clusters often share a key: the live one wins
// whatever their order. Between equals the later entry replaces the earlier.
void addHint(FATParser::WalkState& walk, std::uint64_t key, DirectoryHint hint) {
    DirectoryIndex& index = walk.index;
    const std::uint64_t cost = kHintOverhead + hint.originalName.size() + hint.originalExtension.size();
    if (index.count(key) == 0 && walk.indexBytes + cost > kIndexBudget) {
        walk.full = true;
        return;
    }
    auto [it, inserted] = index.try_emplace(key, hint);
    if (inserted) {
        walk.indexBytes += cost;
        return;
    }
    if (hint.isDeleted && !it->second.isDeleted) return;
    it->second = std::move(hint);
}

// A short-name field: ASCII with spaces trimmed; anything else is no name.
std::string shortField(std::span<const std::uint8_t> bytes) {
    std::string s;
    for (std::uint8_t b : bytes) {
        if (b >= 0x80) return {};
        s += static_cast<char>(b);
    }
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

DirectoryIndex FATParser::buildDirectoryIndex(std::function<bool(const std::string&)> wanted,
                                              std::function<bool()> keepGoing) {
    WalkState walk;
    walk.wanted = std::move(wanted);
    walk.keepGoing = std::move(keepGoing);
    contiguousFiles_.clear();
    visitedPages_.clear();
    directoryBytesRead_ = 0;
    if (geo_.kind == FileSystemKind::exfat)
        scanExFATDirectory(geo_.rootCluster, false, std::nullopt, walk, 0);
    else
        scanFAT32Directory(geo_.rootCluster, walk, 0);
    systemLogInfo("com.quorvane.TessarineDaemon", "FATParser",
                  "📁 FAT directory scan complete: " + std::to_string(walk.index.size()) + " file entries indexed");
    if (walk.full)
        logLine("⚠️ Directory index full at " + std::to_string(walk.index.size()) +
                " entries — further files are carved without their names");
    visitedPages_.clear();
    return std::move(walk.index);
}

void FATParser::scanFAT32Directory(std::uint32_t cluster, WalkState& walk, int depth) {
    if (depth >= kMaxDepth || !walk.goOn()) return;
    const std::vector<std::uint32_t> chain = clusterChain(cluster);
    if (chain.empty()) return;

    const std::uint64_t bpc = geo_.bytesPerCluster;  // at most 512 KiB on FAT32
    std::vector<std::uint8_t> buffer(bpc + geo_.bytesPerSector, 0);
    LongNameCollector longNames;  // a long name may straddle two clusters

    for (std::uint32_t c : chain) {
        if (walk.stopped) return;
        if (testBit(visitedPages_, c)) {
            longNames.reset();
            continue;
        }
        setBit(visitedPages_, c);
        walk.countRead();
        const std::uint64_t p = clusterOffset(c);
        const std::uint64_t a = alignDown(p, geo_.bytesPerSector);
        const std::uint64_t d = p - a;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), d + bpc));
        const std::uint64_t n = device_.readAt(a, std::span(buffer.data(), want)).bytes;
        directoryBytesRead_ += n;
        if (n <= d || bpc < 32) {
            longNames.reset();
            continue;
        }
        for (std::uint64_t k = 0; k < bpc / 32; ++k) {
            const std::uint64_t pos = d + 32 * k;
            if (pos + 32 > n) break;
            const std::span<const std::uint8_t> e(buffer.data() + pos, 32);
            if (e[0] == 0x00) return;  // end of directory
            const std::uint8_t attr = e[11];
            if (attr == 0x0F) {
                longNames.add(e);
                continue;
            }
            if ((attr & 0x18) == 0x08) {  // volume label
                longNames.reset();
                continue;
            }
            const std::optional<std::string> longName = longNames.takeFor(e);
            const bool deleted = e[0] == 0xE5;
            std::array<std::uint8_t, 8> nameBytes{};
            std::copy_n(e.begin(), 8, nameBytes.begin());
            if (deleted) nameBytes[0] = '?';
            else if (nameBytes[0] == 0x05) nameBytes[0] = 0xE5;  // stands for a first byte of 0xE5
            const std::string shortName = shortField(nameBytes);
            const std::string shortExt = shortField(e.subspan(8, 3));

            const ByteReader r(e);
            const std::uint32_t first = (std::uint32_t{r.le16(20).value_or(0)} << 16) | r.le16(26).value_or(0);
            if (first < 2) continue;
            if (attr & 0x10) {
                if (shortExt.empty() && (shortName == "." || shortName == "..")) continue;
                scanFAT32Directory(first, walk, depth + 1);
                continue;
            }
            DirectoryHint hint;
            hint.startCluster = first;
            if (longName) {
                SplitName split = splitFileName(*longName);
                hint.originalName = std::move(split.base);
                hint.originalExtension = std::move(split.extension);
            } else {
                hint.originalName = shortName;
                hint.originalExtension = shortExt;
            }
            hint.fileSize = r.le32(28).value_or(0);
            hint.isDeleted = deleted;
            // Data outside the heap cannot be written out by cluster.
            if (hint.originalExtension.empty() || !inHeap(first) || !walk.wants(hint.originalExtension)) continue;
            addHint(walk, clusterOffset(first), std::move(hint));
        }
    }
}

void FATParser::scanExFATDirectory(std::uint32_t cluster, bool noFatChain, std::optional<std::uint64_t> dataLength,
                                   WalkState& walk, int depth) {
    if (depth >= kMaxDepth || !walk.goOn()) return;
    if (inHeap(cluster) && testBit(visitedPages_, cluster)) return;

    const std::uint64_t bpc = geo_.bytesPerCluster;  // at most 32 MiB
    const std::uint64_t limit = std::min(dataLength.value_or(kMaxDirectoryBytes), kMaxDirectoryBytes);
    std::vector<std::uint32_t> clusters;
    if (!noFatChain || !dataLength) {
        clusters = clusterChain(cluster);
    } else if (inHeap(cluster)) {
        const std::uint64_t wanted = limit / bpc + (limit % bpc != 0);
        const std::uint64_t count = std::min(wanted, heapEnd() - cluster);
        for (std::uint64_t i = 0; i < count; ++i) clusters.push_back(static_cast<std::uint32_t>(cluster + i));
    }

    std::vector<std::uint8_t> buffer;
    buffer.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(limit, clusters.size() * bpc)));
    for (std::uint32_t c : clusters) {
        // Directories that overlap share clusters: each is read once, so the walk reads no more than the volume.
        if (testBit(visitedPages_, c) || walk.stopped) break;
        setBit(visitedPages_, c);
        walk.countRead();
        const std::size_t old = buffer.size();
        buffer.resize(old + static_cast<std::size_t>(bpc));
        const ReadResult r = device_.readAt(clusterOffset(c), std::span(buffer.data() + old, static_cast<std::size_t>(bpc)));
        directoryBytesRead_ += r.bytes;
        if (r.failed() || r.bytes < bpc) {
            buffer.resize(old + r.bytes);
            break;
        }
        if (buffer.size() >= limit) break;
    }

    struct SubDirectory {
        std::uint32_t cluster;
        bool noFatChain;
        std::uint64_t dataLength;
    };
    std::vector<SubDirectory> subDirectories;
    const ByteReader r(buffer);
    std::size_t i = 0;
    while (i + 32 <= buffer.size()) {
        const std::uint8_t type = buffer[i];
        if (type == 0x00) break;
        if (depth == 0 && type == 0x81 && bitmapBytes_ == 0) {  // the allocation bitmap
            const std::uint32_t at = r.le32(i + 20).value_or(0);
            if (inHeap(at)) {
                bitmapStart_ = clusterOffset(at);
                bitmapBytes_ = r.le64(i + 24).value_or(0);
            }
        }
        const std::size_t secondaries = buffer[i + 1];
        const std::size_t setBytes = (secondaries + 1) * 32;
        if ((type & 0x7F) != 0x05 || secondaries < 2 || !r.has(i, setBytes) || (buffer[i + 32] & 0x7F) != 0x40) {
            i += 32;
            continue;
        }
        const std::size_t stream = i + 32;
        const bool isDirectory = buffer[i + 4] & 0x10;
        const bool inUse = type & 0x80;
        const bool streamNoFatChain = buffer[stream + 1] & 0x02;
        const std::size_t nameLength = buffer[stream + 3];
        const std::uint32_t first = r.le32(stream + 20).value_or(0);
        const std::uint64_t length = r.le64(stream + 24).value_or(0);

        std::vector<std::uint16_t> units;
        for (std::size_t k = 2; k <= secondaries; ++k) {
            const std::size_t e = i + 32 * k;
            if ((buffer[e] & 0x7F) != 0x41) continue;
            for (std::size_t u = 0; u < 15 && units.size() < nameLength; ++u) units.push_back(r.le16(e + 2 + 2 * u).value_or(0));
        }
        i += setBytes;
        if (first < 2) continue;
        SplitName split;
        if (!isDirectory) {
            split = splitFileName(decodeUtf16(units));
            if (split.extension.empty() || !inHeap(first) || !walk.wants(split.extension)) continue;
        }

        // The same rule as the index: a deleted set must not decide how the
        // live file that now owns its first cluster is read.
        auto [claim, fresh] = walk.claims.try_emplace(first, inUse);
        const bool yields = !fresh && claim->second && !inUse;
        if (!yields) {
            claim->second = inUse;
            if (streamNoFatChain) contiguousFiles_[first] = length;
            else contiguousFiles_.erase(first);
        }

        if (isDirectory) {
            subDirectories.push_back({first, streamNoFatChain, length});
            continue;
        }
        DirectoryHint hint;
        hint.startCluster = first;
        hint.originalName = std::move(split.base);
        hint.originalExtension = std::move(split.extension);
        hint.fileSize = length;
        hint.isDeleted = !inUse;
        addHint(walk, clusterOffset(first), std::move(hint));
    }

    // Subdirectories are walked after this one's buffer is released, so the
    // memory held stays at one directory whatever the depth.
    std::vector<std::uint8_t>().swap(buffer);
    for (const SubDirectory& sub : subDirectories)
        scanExFATDirectory(sub.cluster, sub.noFatChain, sub.dataLength, walk, depth + 1);
}

}  // namespace vf
