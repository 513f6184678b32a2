#pragma once
// Signature table and detector: finds where a known format starts in a buffer
// and refines a raw match (ISO media brand, DNG tag, maker text).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "helper/formats/FileFormat.h"
#include "helper/io/Device.h"

namespace vf {

struct FormatSignature {
    FileFormat format;
    std::int64_t offset = 0;  // distance from the candidate position to the first magic byte
    std::vector<std::uint8_t> magic;
    std::optional<std::vector<std::uint8_t>> mask;  // same length as magic; 0 = free byte
};

// The 30 signatures in their significant order; built once, thread-safe.
const std::vector<FormatSignature>& allSignatures();

struct Match {
    std::optional<FileFormat> format;
    std::size_t index = 0;
    bool operator==(const Match&) const = default;
};

class FormatDetector {
public:
    FormatDetector();  // every format active

    void setEnabledFormats(const FormatSet& enabled);

    // First matching position in [start, end) of buf; end must not exceed buf.size().
    Match findFirstMatch(std::span<const std::uint8_t> buf, std::size_t end, std::size_t start) const;
    // The same for positions in [start, stop) only; a signature there may still
    // reach up to end. Lets threads search parts of one buffer.
    Match findFirstMatch(std::span<const std::uint8_t> buf, std::size_t end, std::size_t start, std::size_t stop) const;
    // The same for the positions p in [start, stop) at which base + p is a multiple
    // of alignment: where files can only start there, the rest need no look.
    Match findFirstAligned(std::span<const std::uint8_t> buf, std::size_t end, std::size_t start, std::size_t stop,
                           std::uint64_t base, std::size_t alignment) const;
    Match matchAt(std::span<const std::uint8_t> buf, std::size_t end, std::size_t position) const;
    // Bytes from a position that decide whether a signature starts there: the
    // answer at p is the same for every end at or past p + reach(). Nothing when
    // an active row looks at bytes before its position.
    std::optional<std::size_t> reach() const { return reach_; }

    // Looks at the bytes from the match to the end of the 64 KiB that a read at
    // absoluteOffset aligned down to blockSize returns; taken from the lent buffer
    // when it holds all of them, else read from the device.
    FileFormat refineFormat(FileFormat format, Device& device, std::uint64_t absoluteOffset,
                            std::uint64_t blockSize) const;

    // The scan loop lends its current buffer (hintBuf, hintBase, hintValid).
    void setHint(std::span<const std::uint8_t> buf, std::uint64_t base) {
        hintBuf = buf;
        hintBase = base;
        hintValid = true;
    }
    void clearHint() { hintValid = false; hintBuf = {}; }

    std::span<const std::uint8_t> hintBuf;
    std::uint64_t hintBase = 0;
    bool hintValid = false;

    // How findFirstMatch walks a buffer. Every kind gives the same result: `plain`
    // tries each position in turn, the vector kinds skip 16 or 32 positions at a
    // time that no signature can start at. The default is the fastest the processor
    // offers; tests and benchmarks choose others to compare them.
    enum class Search { plain, vector16, vector32 };
    static bool searchAvailable(Search s);
    void setSearch(Search s);          // an unavailable kind falls back to the best available one
    Search search() const;             // the kind findFirstMatch actually uses

private:
    struct Candidate;  // a table row prepared for comparison in place
    static const std::vector<Candidate>& candidates();  // parallel to allSignatures()
    std::optional<FileFormat> formatAt(const std::uint8_t* data, std::size_t limit, std::size_t p) const;

    std::array<std::vector<const Candidate*>, 256> byFirstByte_;
    std::vector<const Candidate*> anyFirstByte_;
    bool anyActive_ = false;
    std::optional<std::size_t> reach_;
    bool prefilterCovers_ = false;  // every active signature implies one of the prefilter's byte groups
    Search search_ = Search::plain;
};

// First-directory test for the DNG version tag (50706) over bytes in memory.
bool hasDngVersionInIfd0(std::span<const std::uint8_t> bytes, bool littleEndian);

namespace TiffParser {
// Whether any visited directory (main chain and SubIFDs, at most 64) holds `tag`.
bool containsTag(Device& device, std::uint64_t base, std::uint16_t tag);
}

}  // namespace vf
