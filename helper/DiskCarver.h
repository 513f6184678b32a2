#pragma once
// The scan engine: one pass over the device from the resume offset to its end,
// first the directory phase (DirectoryPhase, when a volume is found), then the
// carving pass, which lives here with the wiring of the rest: find a candidate,
// size it, bound it by the next file's start, keep or skip it, step. Chunks come
// from ChunkSupply; carved files are copied by the WritePipeline and named and
// committed by the CommitQueue.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/Records.h"
#include "helper/ChunkSupply.h"
#include "helper/CommitQueue.h"
#include "helper/DiagnosticReport.h"
#include "helper/OutputDirectory.h"
#include "helper/WritePipeline.h"
#include "helper/fat/FATParser.h"
#include "helper/formats/FileSizeCalculator.h"
#include "helper/formats/FormatDetector.h"
#include "helper/io/Device.h"

namespace vf {

using ProgressCallback = std::function<void(std::uint64_t bytesScanned, std::int64_t filesFound,
                                            std::uint64_t currentOffset, std::uint64_t totalBytes,
                                            const std::string& phase, const std::vector<RecoveredFileInfo>& files)>;

class DiskCarver {
public:
    DiskCarver();
    ~DiskCarver();

    // Opens the device read-only and scans it. The outcome is in the fields.
    void scan(const std::string& devicePath, const std::filesystem::path& outputDir, std::uint64_t resumeOffset);
    // Opens the device as scan does; on failure sets errorMessage and emits "Access denied".
    std::optional<int> openDevice(const std::string& devicePath, std::uint64_t resumeOffset);
    // Scans an already opened descriptor (borrowed), e.g. one opened before privileges were dropped.
    void scanDescriptor(int fd, const std::string& devicePath, const std::filesystem::path& outputDir,
                        std::uint64_t resumeOffset);
    // Scans any device; blockSize and deviceBytes as the platform reported them.
    void scanDevice(Device& device, const std::string& devicePath, std::optional<std::uint32_t> blockSize,
                    std::optional<std::uint64_t> deviceBytes, const std::filesystem::path& outputDir,
                    std::uint64_t resumeOffset);

    // Asks a running scan to stop; safe from a signal handler.
    void requestStop() { stopRequested_.store(true, std::memory_order_relaxed); }

    // The next file's start after from, on the look-ahead's grid. Only one at
    // most `within` bytes past from is sure to be found; the search ends soon
    // after, rather than at its full reach. Positions below notBefore are not
    // probed; nor do elements of the file itself (of format own) count.
    std::optional<std::uint64_t> findNextSignature(Device& device, std::uint64_t from,
                                                   std::span<const ListedMatches> listed = {},
                                                   std::optional<std::uint64_t> within = std::nullopt,
                                                   std::uint64_t notBefore = 0,
                                                   std::optional<FileFormat> own = std::nullopt);

    // --- state, as the session and the progress records see it ---
    std::atomic<bool> shouldStop{false};
    bool shouldPause = false;
    std::optional<std::string> controlFilePath;
    std::uint64_t bytesScanned = 0;
    std::int64_t filesFound = 0;
    std::uint64_t currentOffset = 0;
    std::uint64_t totalBytes = 0;
    std::optional<std::string> errorMessage;
    ProgressCallback progressCallback;
    std::vector<RecoveredFileInfo> allRecoveredFiles;
    std::set<std::uint64_t> directoryRecoveredOffsets;
    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& unreadableRanges() const { return blocks_.unreadable(); }
    double progressUpdateInterval = 0.5;
    double pauseInterval = 0.5;
    // Records for found files come at most this often; a reader polling twice a
    // second sees every file in the first poll after it took its name.
    double foundRecordInterval = 0.25;
    std::uint64_t blockSize = 512;
    std::uint64_t chunkSize = 8'388'608;
    FormatDetector detector;
    std::optional<FileSizeCalculator> sizeCalculator;
    std::unique_ptr<FATParser> fatParser;
    DirectoryIndex directoryHints;
    FormatSet enabledFormats = FormatSet::all();

    // --- settings beyond the protocol ---
    std::uint64_t minimumFileSize = 0;      // the application's limit; 0 adds none
    ThumbnailSink* thumbnails = nullptr;    // no thumbnails when absent
    std::optional<Owner> owner;             // who receives the files; as created when absent
    std::string diagnosticPath = "/tmp/tessarine_diag.txt";
    DiagnosticReport report;

private:
    // The look-ahead's walk over the card from pos for positions below stop,
    // leaving pos at the first position past them. over: the card ended or failed.
    // Whether a match at q may end the file the look-ahead bounds.
    bool startsNextFile(Device& device, FileFormat format, std::uint64_t q);
    std::optional<std::uint64_t> walkCard(Device& device, std::uint64_t step, std::uint64_t& pos, std::uint64_t stop,
                                          std::uint64_t limit, bool& over);
    void sendProgress(std::string phase);
    void maybeSendRate();
    void checkControlFile();
    bool pauseLoop();  // false when the scan must end
    bool stopping();

    void directoryPhase(Device& device);
    // The carving pass: find a candidate, size it, bound it by the next file's
    // start, keep or skip it, step past it; chunk by chunk to the card's end.
    void linearPhase(Device& device, std::uint64_t resumeOffset);
    struct Pass;
    // Lends or reads the chunk at start into the pass; false when the scan ends
    // there (the card is gone, or the output failed). spare: a buffer of a
    // retired chunk, for the chunk after it.
    bool takeChunk(Device& device, Pass& pass, std::uint64_t start, std::vector<std::uint8_t>& spare);
    // Carves the chunk in hand; where the pass goes on, or nothing when the scan ends.
    std::optional<std::uint64_t> carveChunk(Device& device, Pass& pass);
    // How far past a match at off the search goes on without carving it: 0 for a candidate.
    std::size_t passOver(Device& device, std::uint64_t off);
    struct SizedCandidate {
        std::uint64_t length = 0;  // 0: none could be worked out
        bool fromDirectory = false;
    };
    // Keeps the sized candidate at chunk[index] or skips it; how far past its
    // start the search goes on, or nothing when the scan ends.
    std::optional<std::uint64_t> keepOrSkip(Device& device, const Pass& pass, std::size_t index, FileFormat format,
                                            const SizedCandidate& sized);
    // The length of the candidate at off: its directory entry's (whose name may
    // change the format), else its format's rule bounded by the next file's start
    // (listed: the matches already found ahead). Nothing for a chance signature on
    // a volume, whose header does not hold up.
    std::optional<SizedCandidate> sizeCandidate(Device& device, std::uint64_t off, FileFormat& format,
                                                const std::function<std::vector<ListedMatches>()>& listed);
    void endOfScan();
    void writeReport(const std::string& text);

    std::uint64_t effectiveMinimum(FileFormat f) const;

    // The date and camera of the file at off (chunk[index]), and its temporary file.
    CarvedFile prepareCarved(Device& device, std::span<const std::uint8_t> chunk, std::uint64_t start,
                             std::size_t index, std::uint64_t off, FileFormat format, std::uint64_t length);
    // chunkAsRead: the chunk holds the card's bytes as read, with no unreadable block filled in.
    std::optional<RecoveredFileInfo> recoverCarvedFile(Device& device, std::span<const std::uint8_t> chunk,
                                                       bool chunkAsRead, std::uint64_t start, std::size_t index,
                                                       std::uint64_t off, FileFormat format, std::uint64_t length);
    // As recoverCarvedFile, with the copy left to a writer thread; the chunk must
    // stay as it is until the write pipeline has seen the file through.
    void submitCarvedFile(Device& device, std::span<const std::uint8_t> chunk, bool chunkAsRead, std::uint64_t start,
                          std::size_t index, std::uint64_t off, FileFormat format, std::uint64_t length);
    // What the write pipeline calls for each file whose copy is over, in the order found.
    void settleCarved(CarvedFile& carved, const CopyOutcome& copy, std::uint64_t foundAt);
    void keepFile(RecoveredFileInfo info);
    bool writeLinear(Device& device, std::uint64_t offset, std::uint64_t length, ByteSink& out);
    void noteOutputError(int error, std::uint64_t offset);
    void announce(const std::string& phase);
    std::string pendingPhase_;

    std::atomic<bool> stopRequested_{false};
    std::optional<std::chrono::steady_clock::time_point> lastProgressUpdate_;
    std::chrono::steady_clock::time_point scanStart_;
    std::unique_ptr<OutputDirectory> output_;
    std::string devicePath_;
    std::vector<std::uint8_t> scratch_;  // reused by writeLinear, the date read and the look-ahead
    BlockReader blocks_;  // reads chunks that hold unreadable blocks
    CommitQueue commits_;  // names, commits and thumbnails of recovered files
    std::optional<std::uint64_t> unreadableInFile_;  // set by writeLinear when the device failed
    bool inDirectoryPhase_ = false;
    // The carved file that reaches farthest so far; matches on its own elements are passed over.
    struct CarvedSpan {
        std::uint64_t off = 0, end = 0;
        FileFormat format{};
    } lastCarved_;
    struct Bounded {
        std::uint64_t from = 0;
        std::optional<FileFormat> format;
    } bounded_;  // the file findNextSignature bounds
    bool foreignControlLogged_ = false;  // another user's control file is logged once
    // Last: its writers are joined before anything they copy from or into goes.
    WritePipeline writes_{[this](CarvedFile& c, const CopyOutcome& copy, std::uint64_t foundAt) {
        settleCarved(c, copy, foundAt);
    }};
};

}  // namespace vf
