#pragma once
// The supply of chunks to the carving pass: each chunk of the device lent in
// place (or read ahead into a buffer handed on from chunk to chunk) with the
// signature matches found in it on two threads, and the lists of matches the
// look-ahead for the next file's start reads instead of the card.

#include <cstddef>
#include <cstdint>
#include <future>
#include <optional>
#include <span>
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

}  // namespace vf
