#include "helper/WritePipeline.h"

#include <algorithm>
#include <chrono>

#include "common/ByteReader.h"

namespace vf {
namespace {

constexpr std::uint64_t kCopyPiece = 1'048'576;
// Each file in flight holds a descriptor; a chunk can hold thousands of small files.
constexpr std::size_t kMaxWritesInFlight = 8;
// Beyond the files' own bytes: blocks of the file system's own, page rounding.
constexpr std::uint64_t kRoomToSpare = 16'777'216;

}  // namespace

bool copyFromDevice(Device& device, std::uint64_t offset, std::uint64_t length, std::uint64_t blockSize,
                    ByteSink& out, std::vector<std::uint8_t>& scratch, std::optional<std::uint64_t>& unreadableAt) {
    std::uint64_t pos = offset;
    std::uint64_t remaining = length;
    while (remaining > 0) {
        const std::uint64_t a = alignDown(pos, blockSize);
        const std::uint64_t d = pos - a;
        // Copied through one small buffer rather than a fresh mapping: the buffer's
        // pages stay mapped and cached, where each page of a new mapping costs its first touch.
        const std::uint64_t want = std::min<std::uint64_t>(alignUp(d + remaining, blockSize), kCopyPiece);
        if (scratch.size() < want) scratch.resize(static_cast<std::size_t>(want));
        const ReadResult r = device.readAt(a, std::span(scratch.data(), static_cast<std::size_t>(want)));
        if (r.failed()) unreadableAt = a + r.bytes;
        if (r.bytes <= d) return false;
        const std::uint64_t k = std::min<std::uint64_t>(remaining, r.bytes - d);
        if (!out.write(std::span<const std::uint8_t>(scratch.data() + d, static_cast<std::size_t>(k)))) return false;
        pos += k;
        remaining -= k;
        if (r.failed()) return false;
    }
    return true;
}

std::span<const std::uint8_t> heldPart(std::span<const std::uint8_t> chunk, bool chunkAsRead, std::uint64_t start,
                                       std::size_t index, std::uint64_t off, std::uint64_t length) {
    if (!chunkAsRead) return {};
    return chunk.subspan(index, static_cast<std::size_t>(std::min<std::uint64_t>(length, start + chunk.size() - off)));
}

bool copyCarved(Device& device, std::span<const std::uint8_t> held, std::uint64_t off, std::uint64_t length,
                std::uint64_t blockSize, ByteSink& out, std::vector<std::uint8_t>& scratch,
                std::optional<std::uint64_t>& unreadableAt) {
    return (held.empty() || out.write(held)) &&
           (held.size() == length ||
            copyFromDevice(device, off + held.size(), length - held.size(), blockSize, out, scratch, unreadableAt));
}

void WritePipeline::makeRoom(std::uint64_t length, const OutputDirectory& output) {
    settle(kMaxWritesInFlight - 1);
    // Files copied side by side take the folder's space in any order: where it
    // may not hold them all, one copied later could leave none for the first,
    // and a scan resumed into that space would never get past it. So they wait
    // their turn there, as without writers.
    if (writing_.empty()) return;
    // Lengths come from the card: the sum saturates rather than wrapping to a small need.
    auto plus = [](std::uint64_t a, std::uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; };
    std::uint64_t need = plus(length, kRoomToSpare);
    for (const Write& w : writing_) need = plus(need, w.carved.length);
    const std::optional<std::uint64_t> room = output.freeBytes();
    if (!room || *room < need) settle();
}

void WritePipeline::submit(CarvedFile file, Device& device, std::span<const std::uint8_t> held,
                           std::uint64_t blockSize, std::uint64_t chunkStart, std::uint64_t foundAt) {
    Write w;
    w.chunkStart = chunkStart;
    w.foundAt = foundAt;
    w.carved = std::move(file);
    const std::size_t k = nextWriter_++ % kWriters;
    w.outcome = writers_[k].post([&device, held, off = w.carved.off, length = w.carved.length, blockSize,
                                  out = w.carved.file.get(), scratch = &scratch_[k]] {
        CopyOutcome o;
        o.ok = copyCarved(device, held, off, length, blockSize, *out, *scratch, o.unreadableAt);
        return o;
    });
    writing_.push_back(std::move(w));
}

void WritePipeline::submitFailed(CarvedFile file, std::uint64_t chunkStart, std::uint64_t foundAt) {
    Write w;
    w.chunkStart = chunkStart;
    w.foundAt = foundAt;
    w.carved = std::move(file);
    std::promise<CopyOutcome> failed;
    failed.set_value({});
    w.outcome = failed.get_future();
    writing_.push_back(std::move(w));
    settle();
}

void WritePipeline::settle(std::size_t keep) {
    while (writing_.size() > keep) {
        Write& w = writing_.front();
        const CopyOutcome copy = w.outcome.get();
        settle_(w.carved, copy, w.foundAt);
        writing_.pop_front();
    }
}

void WritePipeline::settleReady() {
    std::size_t ready = 0;
    while (ready < writing_.size() &&
           writing_[ready].outcome.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
        ++ready;
    settle(writing_.size() - ready);
}

std::uint64_t WritePipeline::earliestOffset(std::uint64_t upTo) const {
    for (const Write& w : writing_) upTo = std::min(upTo, w.carved.off);
    return upTo;
}

std::size_t WritePipeline::countAfter(std::uint64_t chunkStart) const {
    return static_cast<std::size_t>(std::count_if(writing_.begin(), writing_.end(),
                                                  [chunkStart](const Write& w) { return w.chunkStart > chunkStart; }));
}

bool WritePipeline::holdsChunk(std::uint64_t chunkStart) const {
    return !writing_.empty() && writing_.front().chunkStart <= chunkStart;
}

}  // namespace vf
