#include "helper/ChunkSupply.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "common/ByteReader.h"
#include "helper/io/Log.h"

namespace vf {
namespace {

// Bounds the list on a chunk where signatures match everywhere; the scan searches the rest itself.
constexpr std::size_t kMaxMatchesAhead = 65536;
// A card that fails every read over this stretch is taken as gone.
constexpr std::uint64_t kDeviceGoneAfter = 8'388'608;

struct Found {
    std::vector<Match> matches;
    std::size_t searchedTo = 0;  // every match below this position is listed
};

// Matches at positions [from, to) of bytes, at offsets base + position that are
// multiples of alignment (1: every position); signatures may reach past `to`.
Found searchPart(const FormatDetector& detector, std::span<const std::uint8_t> bytes, std::size_t from,
                 std::size_t to, std::uint64_t base, std::size_t alignment, std::size_t cap) {
    Found f;
    std::size_t i = from;
    while (f.matches.size() < cap) {
        const Match m = detector.findFirstAligned(bytes, bytes.size(), i, to, base, alignment);
        if (!m.format) {
            i = to;
            break;
        }
        f.matches.push_back(m);
        i = m.index + 1;
    }
    f.searchedTo = i;
    return f;
}

}  // namespace

// Fetches the chunk and lists its matches, the upper half searched on `half`
// meanwhile. The chunk is lent in place where the device can: most of a dense
// card's bytes are written out again, and a copy would only add to that. A
// view that fails met an unreadable block, and the scan reads the chunk block
// by block: one more read of it would meet the block again, which on a failing
// card can take seconds. On a device without views, a search of aligned
// positions reads the chunk into `spare` (a buffer handed on from chunk to
// chunk) where the device can be read from two threads, each half on the
// thread that searches it, since the copy costs as much as the search.
Window lendChunk(Device& device, const FormatDetector& detector, std::uint64_t start, std::size_t length,
                 std::size_t alignment, Worker& half, std::vector<std::uint8_t> spare) {
    Window w;
    w.start = start;
    const std::size_t mid = length / 2;
    w.view = device.view(start, length);
    if (!w.view && !device.lendsViews() && alignment > 1 && device.concurrentReads()) {
        spare.resize(length);
        const std::span<std::uint8_t> all(spare);
        std::future<ReadResult> upperRead =
            half.post([&device, all, start, mid] { return device.readAt(start + mid, all.subspan(mid)); });
        const ReadResult lower = device.readAt(start, all.first(mid));
        const ReadResult upper = upperRead.get();
        if (lower.failed() || (lower.bytes == mid && upper.failed())) return w;  // the scan reads it block by block
        spare.resize(lower.bytes < mid ? lower.bytes : mid + upper.bytes);  // short only at the device's end
        w.copy = std::move(spare);
        w.isCopy = true;
    }
    if (!w.bytes()) return w;
    const std::span<const std::uint8_t> bytes = *w.bytes();
    const std::size_t split = std::min(mid, bytes.size());
    std::future<Found> upper = half.post([&detector, bytes, split, start, alignment] {
        return searchPart(detector, bytes, split, bytes.size(), start, alignment, kMaxMatchesAhead / 2);
    });
    Found lower = searchPart(detector, bytes, 0, split, start, alignment, kMaxMatchesAhead / 2);
    Found high = upper.get();
    w.matches = std::move(lower.matches);
    w.searchedTo = lower.searchedTo;
    // The upper half's list counts only when the lower half's is complete.
    if (lower.searchedTo >= split) {
        w.matches.insert(w.matches.end(), high.matches.begin(), high.matches.end());
        w.searchedTo = high.searchedTo;
    }
    return w;
}

// What the chunk searches have listed of the device from the current chunk on:
// its own matches and the next chunk's.
std::vector<ListedMatches> listedMatches(const FormatDetector& detector, const Window& w, std::size_t n,
                                         std::optional<Window>& early, std::future<Window>& ahead) {
    std::vector<ListedMatches> out;
    const std::optional<std::size_t> reach = detector.reach();
    if (!reach) return out;
    auto add = [&](const Window& x, std::size_t size) {
        // The list is complete below searchedTo, and final where a signature fits before the chunk's end.
        const std::size_t to = size >= *reach ? std::min(x.searchedTo, size - *reach + 1) : 0;
        if (x.bytes() && to > 0) out.push_back({x.start, x.start + to, x.start, x.matches});
    };
    add(w, n);
    // Waited for if need be: the scan needs it next anyway, and reading the card instead costs more.
    if (!early && ahead.valid()) early = ahead.get();
    if (early && early->bytes() && early->start == w.start + n) add(*early, early->bytes()->size());
    return out;
}

void BlockReader::reset(std::uint64_t blockSize) {
    blockSize_ = blockSize;
    unreadable_.clear();
    unreadableBytes_ = failedRun_ = failedRunStart_ = 0;
}

BlockReader::Read BlockReader::read(Device& device, std::uint64_t start, std::span<std::uint8_t> buffer) {
    const ReadResult r = device.readAt(start, buffer);
    if (!r.failed()) {
        if (r.bytes > 0) failedRun_ = 0;
        return {r.bytes, std::nullopt, 0};
    }
    std::size_t n = static_cast<std::size_t>(alignDown(r.bytes, blockSize_));
    while (n < buffer.size()) {
        const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize_, buffer.size() - n));
        const ReadResult b = device.readAt(start + n, buffer.subspan(n, len));
        if (!b.failed()) {
            failedRun_ = 0;
            n += b.bytes;
            if (b.bytes < len) break;  // the end of the data
            continue;
        }
        const bool gone = b.error == ENODEV || b.error == ENXIO || b.error == ENOMEDIUM || b.error == ESHUTDOWN;
        if (failedRun_ == 0) failedRunStart_ = start + n;
        failedRun_ += len;
        if (gone || failedRun_ >= kDeviceGoneAfter) return {n, failedRunStart_, b.error};
        // Zeros stand in for the unreadable block while searching; no file is ever written from them.
        std::fill(buffer.begin() + static_cast<long>(n), buffer.begin() + static_cast<long>(n + len), 0);
        if (!unreadable_.empty() && unreadable_.back().second == start + n) unreadable_.back().second += len;
        else unreadable_.emplace_back(start + n, start + n + len);
        unreadableBytes_ += len;
        logLine("⚠️ Unreadable block at byte " + std::to_string(start + n) + " (" + std::strerror(b.error) +
                "), skipped");
        n += len;
    }
    return {n, std::nullopt, 0};
}

}  // namespace vf
