#pragma once
// The supply of chunks to the carving pass: each chunk of the device lent in
// place (or read ahead into a buffer handed on from chunk to chunk) with the
// signature matches found in it on two threads, the lists of matches the
// look-ahead for the next file's start reads instead of the card, and the
// block-by-block reading of chunks that hold unreadable blocks.

#include <cstddef>
#include <cstdint>
#include <future>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "helper/Worker.h"
#include "helper/formats/FormatDetector.h"
#include "helper/io/Device.h"

namespace vf {

// One chunk of the device lent in place, with the positions where a signature
// matches, found ahead on another thread while the scan handles the chunk before.
struct Window {
    std::uint64_t start = 0;
    std::optional<DeviceView> view;
    std::vector<std::uint8_t> copy;  // or the chunk read ahead into memory of its own
    bool isCopy = false;
    std::vector<Match> matches;  // ascending; every match below searchedTo
    std::size_t searchedTo = 0;

    // The chunk's bytes; nothing when the scan must read it itself.
    std::optional<std::span<const std::uint8_t>> bytes() const {
        if (view) return view->bytes();
        if (isCopy) return std::span<const std::uint8_t>(copy);
        return std::nullopt;
    }
};

// Device positions [from, to) whose matches a chunk search has listed
// (index counts from base); the look-ahead reads the list, not the card.
struct ListedMatches {
    std::uint64_t from = 0, to = 0, base = 0;
    std::span<const Match> matches;
};

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
                 std::size_t alignment, Worker& half, std::vector<std::uint8_t> spare = {});

// What the chunk searches have listed of the device from the current chunk on:
// its own matches and the next chunk's.
std::vector<ListedMatches> listedMatches(const FormatDetector& detector, const Window& w, std::size_t n,
                                         std::optional<Window>& early, std::future<Window>& ahead);

// Reads chunks that lend no view or hold unreadable blocks: past a failed
// read block by block, so that one bad sector costs one block and not the rest
// of the card, with zeros standing in for what could not be read.
class BlockReader {
public:
    struct Read {
        std::size_t bytes = 0;
        // The card stopped responding: where its run of failed reads began, and why.
        std::optional<std::uint64_t> goneAt;
        int error = 0;
    };

    // A new scan, read in blocks of this size.
    void reset(std::uint64_t blockSize);
    // Reads the chunk at start into buffer; short only at the device's end.
    Read read(Device& device, std::uint64_t start, std::span<std::uint8_t> buffer);
    // A chunk the device lent whole ends a run of failed reads.
    void lentWhole() { failedRun_ = 0; }

    // [from, to) ranges that could not be read, in order, neighbours joined.
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& unreadable() const { return unreadable_; }
    std::uint64_t unreadableBytes() const { return unreadableBytes_; }

private:
    std::uint64_t blockSize_ = 512;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> unreadable_;
    std::uint64_t unreadableBytes_ = 0;
    std::uint64_t failedRun_ = 0;  // bytes failed in a row, from failedRunStart_
    std::uint64_t failedRunStart_ = 0;
};

}  // namespace vf
