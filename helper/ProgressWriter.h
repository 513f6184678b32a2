#pragma once
// Writes progress records to the progress file. Each record replaces the file
// whole: it is written to a new file beside it and renamed over it, so a reader
// sees either the previous record or the new one.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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
    int lastError() const { return error_; }  // errno of the last failed write

    // While the process is root, every record is written with the ids of this
    // user, who can then replace it (the file lies in the user's, often sticky,
    // temporary folder). Only for a process with one thread while it is root.
    void writeAs(std::uint32_t uid, std::uint32_t gid) { actAs_ = {uid, gid}; }

private:
    bool writeText(const std::string& text);

    std::string path_;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> actAs_;
    int error_ = 0;
    std::vector<std::string> encoded_;
    std::uint64_t bytesWritten_ = 0;
};

// Writes `text` to `path` through a new file in the same folder and a rename.
// The new file is created exclusively and never through a link, with `mode`.
// False with errno set when it fails.
bool writeFileAtomically(const std::string& path, const std::string& text, unsigned mode = 0644);

}  // namespace vf
