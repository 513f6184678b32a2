#pragma once
// The directory phase: the files a FAT32 or exFAT directory still describes,
// deleted entries included, copied along their cluster chains under the names
// the card gives them, before the carving pass looks at what is left.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/Records.h"
#include "helper/CommitQueue.h"
#include "helper/DiagnosticReport.h"
#include "helper/OutputDirectory.h"
#include "helper/fat/FATParser.h"
#include "helper/formats/FileFormat.h"
#include "helper/io/Device.h"

namespace vf {

class DirectoryPhase {
public:
    // What the phase asks of the scan around it.
    struct Hooks {
        std::function<bool()> goOn;                   // obeys the control file; false once the scan must end
        std::function<void(RecoveredFileInfo)> keep;  // a file recovered, its commit pending
        CommitQueue::OutputFailed outputFailed;
    };

    // scratch: the scan's copy buffer; filesFound: the scan's count, which
    // names a file whose entry has no name left.
    DirectoryPhase(FATParser& fat, OutputDirectory& output, CommitQueue& commits, DiagnosticReport& report,
                   std::uint64_t blockSize, std::vector<std::uint8_t>& scratch, const std::int64_t& filesFound,
                   Hooks hooks);

    // Recovers the files of the index in the enabled formats and no smaller
    // than minimumFileSize, live entries before deleted ones. The offsets of
    // those recovered, or saved by an earlier run, go into `recovered`: the
    // carving pass leaves them alone.
    void run(Device& device, const DirectoryIndex& index, FormatSet enabled, std::uint64_t minimumFileSize,
             std::set<std::uint64_t>& recovered);

private:
    std::optional<RecoveredFileInfo> recover(Device& device, std::uint64_t offset, const DirectoryHint& hint,
                                             FileFormat format, const std::string& extension, std::uint64_t minimum);
    bool stillHoldsFormat(Device& device, std::uint64_t offset, FileFormat format);

    FATParser& fat_;
    OutputDirectory& output_;
    CommitQueue& commits_;
    DiagnosticReport& report_;
    std::uint64_t blockSize_;
    std::vector<std::uint8_t>& scratch_;
    const std::int64_t& filesFound_;
    Hooks hooks_;
};

}  // namespace vf
