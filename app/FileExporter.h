#pragma once
// Copies recovered files from a run's output folder into a folder the user
// chose. A file already at the destination is never replaced by a different
// one: a byte-identical file counts as exported, and any other file of the
// same name makes the copy take the next free name (IMG_0001_1.JPG, as the
// scanner names its own clashes). Each copy is written under a hidden
// temporary name, flushed, and only then given its name, so an export cut
// short (full disk, pulled drive, quit) leaves no partial file under a real name.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Records.h"

namespace vf {

// A cache file is refused when it is shorter than the scan reported and also
// shorter than this share of it (an older build could leave cut copies).
inline constexpr double kTruncationTolerance = 0.98;

struct ExportFileResult {
    enum class Outcome {
        copied,       // written under `savedAs`
        alreadyThere, // an identical file is at `savedAs`; counts as copied
        failed,
    };
    Outcome outcome = Outcome::failed;
    std::string savedAs;  // name at the destination
    std::string logLine;  // what to print; empty when nothing is worth saying
    bool succeeded() const { return outcome != Outcome::failed; }
};

struct StagedCopy;

class FileExporter {
public:
    // Opens both folders. Nothing when one cannot be opened; `error` says why.
    static std::unique_ptr<FileExporter> open(const std::filesystem::path& source,
                                              const std::filesystem::path& destination, std::string* error);
    ~FileExporter();
    FileExporter(const FileExporter&) = delete;
    FileExporter& operator=(const FileExporter&) = delete;

    // Copies one file; a set `cancel` abandons the copy (it then counts as failed).
    ExportFileResult exportFile(const RecoveredFileInfo& file, const std::atomic<bool>* cancel = nullptr);

    // exportFile in two halves, so that many copies share one wait for the disk.
    // `stage` copies under a hidden name and sets `staged`, or settles the file
    // (failed, or already there) and returns that; `commit` flushes a staged copy
    // and names it; `discard` removes it.
    ExportFileResult stage(const RecoveredFileInfo& file, const std::atomic<bool>* cancel,
                           std::unique_ptr<StagedCopy>* staged);
    ExportFileResult commit(StagedCopy& staged);
    void discard(StagedCopy& staged);

    // Makes the names given so far durable. False when the folder cannot be flushed.
    bool finish();

    // Removes temporaries that an export killed half-way left in the destination.
    void removeStaleTemporaries();

    static bool isTemporaryName(const std::string& name);

private:
    FileExporter(int sourceFd, int destinationFd) : sourceFd_(sourceFd), destinationFd_(destinationFd) {}
    int sourceFd_;
    int destinationFd_;
};

// The name a clash moves a file to: "IMG_0001.JPG", n = 2 -> "IMG_0001_2.JPG".
std::string clashName(const std::string& name, unsigned n);

struct ExportCounts {
    int copied = 0;
    int failed = 0;
};

// Exports the files in order, calling `afterEach` with each result and the
// counts so far. Stops early, counting nothing more, once `cancel` is set.
ExportCounts exportAll(FileExporter& exporter, const std::vector<RecoveredFileInfo>& files,
                       const std::function<void(const ExportFileResult&, const ExportCounts&)>& afterEach,
                       const std::atomic<bool>* cancel = nullptr);

}  // namespace vf
