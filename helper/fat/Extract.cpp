// Writing one file out by its clusters.

#include <algorithm>
#include <cstring>

#include "helper/fat/FATParser.h"
#include "common/ByteReader.h"
#include "helper/io/Log.h"

namespace vf {
namespace {

// Consecutive clusters are read together up to this much, for speed; the
// bytes written are the same as cluster by cluster.
constexpr std::uint64_t kMaxReadBytes = 4ull << 20;
constexpr std::uint64_t kMaxAlignment = 1ull << 20;

std::uint64_t ceilDiv(std::uint64_t a, std::uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

bool FATParser::extractFile(std::uint64_t offset, std::uint64_t size, ByteSink& out, std::uint64_t alignment,
                            bool skipRecovered) {
    const std::optional<std::uint32_t> start = clusterForOffset(offset);
    if (!start) {
        logLine("⛔️ FAT: offset " + std::to_string(offset) + " not in data region");
        return false;
    }
    if (alignment == 0) alignment = 512;
    if (alignment > kMaxAlignment) {
        logLine("⛔️ FAT: read alignment " + std::to_string(alignment) + " is not usable");
        return false;
    }
    const std::uint64_t bpc = geo_.bytesPerCluster;
    const std::uint64_t firstSkip = offset - clusterOffset(*start);

    std::vector<Extent> runs;
    if (const auto it = contiguousFiles_.find(*start); it != contiguousFiles_.end()) {
        const std::uint64_t bytes = checkedAdd(firstSkip, std::min(size, it->second)).value_or(UINT64_MAX);
        // Never past the heap's last cluster, whatever the directory claims.
        const std::uint64_t count = std::min(ceilDiv(bytes, bpc), heapEnd() - *start);
        if (count > 0) runs.push_back({*start, count});
    } else {
        for (std::uint32_t c : clusterChain(*start)) {
            if (!runs.empty() && std::uint64_t{runs.back().first} + runs.back().count == c) ++runs.back().count;
            else runs.push_back({c, 1});
        }
    }
    if (skipRecovered) {
        // A cross-linked chain runs into another file's clusters: no cluster is written out twice.
        [&] {
            for (std::size_t r = 0; r < runs.size(); ++r)
                for (std::uint64_t i = 0; i < runs[r].count; ++i)
                    if (isClusterRecovered(static_cast<std::uint32_t>(runs[r].first + i))) {
                        runs[r].count = i;
                        runs.resize(i == 0 ? r : r + 1);
                        return;
                    }
        }();
    }
    if (runs.empty()) {
        logLine("⛔️ FAT: empty chain from cluster " + std::to_string(*start));
        return false;
    }

    const std::uint64_t batchClusters = std::max<std::uint64_t>(1, kMaxReadBytes / bpc);
    const std::uint64_t bufferSize = batchClusters * bpc + 2 * alignment;
    if (ioBuffer_.size() < bufferSize) ioBuffer_.resize(static_cast<std::size_t>(bufferSize));

    std::uint64_t remaining = size;
    std::uint64_t skip = firstSkip;
    for (const Extent& run : runs) {
        for (std::uint64_t done = 0; done < run.count && remaining > 0;) {
            const std::uint64_t needed = ceilDiv(checkedAdd(skip, remaining).value_or(UINT64_MAX), bpc);
            const std::uint64_t k = std::min({run.count - done, batchClusters, needed});
            const std::uint64_t p = clusterOffset(static_cast<std::uint32_t>(run.first + done)) + skip;
            const std::uint64_t want = std::min(k * bpc - skip, remaining);
            const std::uint64_t a = alignDown(p, alignment);
            const std::uint64_t lead = p - a;
            const std::uint64_t length = alignUp(lead + want, alignment);  // fits: lead < alignment
            const ReadResult r = device_.readAt(a, std::span(ioBuffer_.data(), static_cast<std::size_t>(length)));
            std::uint64_t got = r.bytes > lead ? std::min<std::uint64_t>(r.bytes - lead, want) : 0;
            if (r.failed() && got < want) {
                // Only the clusters read whole before the failure count, as
                // when each cluster is read on its own.
                const std::uint64_t firstPart = bpc - skip;
                got = got < firstPart ? 0 : firstPart + (got - firstPart) / bpc * bpc;
            }
            if (got > 0 && !out.write(std::span<const std::uint8_t>(ioBuffer_.data() + lead, static_cast<std::size_t>(got)))) {
                logLine("⛔️ FAT: could not write the file from byte " + std::to_string(offset));
                return false;
            }
            if (got < want) {
                // The bytes that follow would be missing from the middle of
                // the file; stop here rather than close the gap.
                logLine(r.failed() ? "⛔️ FAT: read failed at byte " + std::to_string(p + got) + ": " + std::strerror(r.error)
                                   : "⛔️ FAT: device ends at byte " + std::to_string(a + r.bytes));
                return false;
            }
            remaining -= got;
            skip = 0;
            done += k;
        }
        if (remaining == 0) break;
    }
    if (remaining > 0)
        logLine("⚠️ FAT chain exhausted with " + std::to_string(remaining) +
                " bytes remaining (size estimator overshoot) — file likely intact");
    for (const Extent& run : runs) markRecovered(run);
    return true;
}

}  // namespace vf
