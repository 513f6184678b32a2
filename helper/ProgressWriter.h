#pragma once
// Writes progress records to the progress file. Each record replaces the file
// whole: it is written to a new file beside it and renamed over it, so a reader
// sees either the previous record or the new one.

#include <cstdint>
#include <string>
#include <vector>

#include "common/Records.h"

namespace vf {

class ProgressWriter {
public:
    explicit ProgressWriter(std::string path) : path_(std::move(path)) {}

    // A record without a file list (the session's own records).
    bool write(const ProgressInfo& info);

    // A record listing `files`, the run's files so far. The list only grows, so
    // each entry is encoded once and reused by later records.
    bool write(const ProgressInfo& info, const std::vector<RecoveredFileInfo>& files);

    const std::string& path() const { return path_; }
    std::uint64_t bytesWritten() const { return bytesWritten_; }

private:
    bool writeText(const std::string& text);

    std::string path_;
    std::vector<std::string> encoded_;
    std::uint64_t bytesWritten_ = 0;
};

// Writes `text` to `path` through a new file in the same folder and a rename.
// The new file is created exclusively and never through a link; mode 0644.
bool writeFileAtomically(const std::string& path, const std::string& text);

}  // namespace vf
