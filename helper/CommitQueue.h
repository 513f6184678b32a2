#pragma once
// The naming of recovered files: a carved file's name from its date and
// camera, the names reserved for files not yet committed, their commit into
// the output folder in one go (a file is named only once its bytes are on the
// disk, and the folder's manifest notes it), and the thumbnail each one gets.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/Records.h"
#include "helper/DiagnosticReport.h"
#include "helper/OutputDirectory.h"
#include "helper/WritePipeline.h"

namespace vf {

// Where thumbnail jobs go; the scan waits for all of them before its last record.
class ThumbnailSink {
public:
    virtual ~ThumbnailSink() = default;
    virtual void submit(const std::filesystem::path& source, const std::filesystem::path& thumbnail) = 0;
    virtual void wait() = 0;
    // Forgets the jobs not yet started (a stopped scan waits only for those running).
    virtual void dropQueued() = 0;
};

class CommitQueue {
public:
    // An output error on the file at offset (errno); the scan decides whether it ends there.
    using OutputFailed = std::function<void(int error, std::uint64_t offset)>;

    // files and filesFound are the scan's: a file whose commit fails leaves both.
    CommitQueue(std::vector<RecoveredFileInfo>& files, std::int64_t& filesFound, DiagnosticReport& report,
                OutputFailed outputFailed);

    // A new scan into output (none: no folder), its thumbnails made by sink
    // (none: no thumbnails); the folder's manifest tells what earlier runs saved.
    void open(OutputDirectory* output, ThumbnailSink* thumbnails);
    // Whether an earlier run into this folder saved the file that starts at offset.
    bool savedEarlier(std::uint64_t offset) const { return earlierRuns_.count(offset) != 0; }
    // Thumbnails that files of earlier runs into this folder still lack.
    void queueEarlierThumbnails();

    // A free name for base.ext, counting names that pending files will take.
    std::string reserveName(const std::string& base, const std::string& ext, bool reserve = true);
    // A file that takes the name reserved for base.ext at the next flush; its
    // record is to be the next of files.
    void add(std::unique_ptr<PendingFile> file, const std::string& base, const std::string& ext,
             std::uint64_t offset, bool carved);
    // Names and records a carved file once its copy is over (kept when at least
    // minimum bytes); what a scan shows of it.
    std::optional<RecoveredFileInfo> nameCarved(CarvedFile& carved, const CopyOutcome& copy, std::uint64_t minimum);
    // Commits the pending files under their names, with their thumbnails.
    void flush();

private:
    // A thumbnail name that no other file of the folder has, noted in the
    // manifest under the file's offset; nothing when no thumbnails are made.
    std::optional<std::string> claimThumbnail(const std::string& fileName, std::uint64_t offset);
    void queueThumbnail(const std::string& fileName, const std::string& thumbName);

    struct Pending {
        std::unique_ptr<PendingFile> file;
        std::string base, ext;
        std::uint64_t offset = 0;
        bool carved = false;
        std::size_t entry = 0;  // index in files_
    };
    std::vector<RecoveredFileInfo>& files_;
    std::int64_t& filesFound_;
    DiagnosticReport& report_;
    OutputFailed outputFailed_;
    OutputDirectory* output_ = nullptr;
    ThumbnailSink* thumbnails_ = nullptr;
    std::map<std::uint64_t, OutputDirectory::ManifestEntry> earlierRuns_;  // offsets this folder already holds
    std::vector<Pending> pending_;
    std::set<std::string> reservedNames_;
    std::set<std::string> thumbNames_;  // given to files of this folder
};

}  // namespace vf
