#pragma once
// The progress record and recovered-file entry that the scanner writes and the
// application reads. Both programs encode and decode them only through here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vf {

struct RecoveredFileInfo {
    std::string id;        // always equal to fileName
    std::string fileName;  // name inside the output directory
    std::string fileType;  // format display name
    std::uint64_t fileSize = 0;
    std::optional<std::string> dateTaken;  // "YYYY:MM:DD hh:mm:ss"
    std::uint64_t offsetOnDisk = 0;
    std::optional<std::string> thumbName;
    bool operator==(const RecoveredFileInfo&) const = default;
};

struct ProgressInfo {
    std::uint64_t bytesScanned = 0;
    std::int64_t filesFound = 0;
    std::uint64_t currentOffset = 0;
    std::uint64_t totalBytes = 0;
    std::string phase;
    bool isComplete = false;
    std::optional<std::string> errorMessage;
    std::optional<std::vector<RecoveredFileInfo>> newFiles;
    bool operator==(const ProgressInfo&) const = default;
};

// Compact JSON; absent optionals leave their key out.
std::string encodeFileEntry(const RecoveredFileInfo& file);
std::string encodeProgress(const ProgressInfo& info);

// Encodes a record whose file list is given as already-encoded entries (each the
// output of encodeFileEntry), so a writer can encode each file once. The list
// key is left out when `entries` is empty; info.newFiles is ignored.
std::string encodeProgress(const ProgressInfo& info, const std::vector<std::string>& entries);

// Nothing when the text is not JSON, not an object, misses a required key or
// holds a value of the wrong type. Absent optional keys are fine; an empty file
// list decodes as an absent one.
std::optional<ProgressInfo> decodeProgress(std::string_view text);
std::optional<RecoveredFileInfo> decodeFileEntry(std::string_view text);

}  // namespace vf
