#pragma once
// Reads the scanner's progress file for the poll. The scanner appends to its
// file list and rewrites the whole file each time, so the entries read before
// are found by their place, checked by the last one's text, and neither read
// from disk nor decoded again.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/Records.h"

namespace vf {

class ProgressReader {
public:
    // The record with only the entries of its list not returned before as
    // `newFiles`; nothing when the file is missing, not ours to read, or not a
    // whole record (half-written files are normal).
    std::optional<ProgressInfo> read(const std::string& path);
    // The same for a record already in memory.
    std::optional<ProgressInfo> decode(std::string_view text);

    // Entries of the list returned so far.
    std::uint64_t consumed() const { return consumed_; }

private:
    struct Parsed;
    std::optional<ProgressInfo> finish(Parsed& p);

    std::uint64_t consumed_ = 0;
    // From the list's "[" to the end of the last entry returned, and that entry.
    std::uint64_t prefixBytes_ = 0;
    std::string lastEntry_;
};

}  // namespace vf
