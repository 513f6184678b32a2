#include "helper/DirectoryPhase.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "common/ByteCount.h"
#include "common/ByteReader.h"
#include "helper/WritePipeline.h"
#include "helper/formats/FormatDetector.h"
#include "helper/io/Log.h"

namespace vf {
namespace {

std::string toLower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Formats whose files start with a header of one family: a file of one format
// whose data begins with another format of the same family is still plausible.
int signatureFamily(FileFormat f) {
    switch (f) {
        case FileFormat::tiff: case FileFormat::raw: case FileFormat::mdc: case FileFormat::cr2:
        case FileFormat::nef: case FileFormat::nrw: case FileFormat::arw: case FileFormat::srf:
        case FileFormat::sr2: case FileFormat::erf: case FileFormat::srw: case FileFormat::_3fr:
        case FileFormat::orf: case FileFormat::rw2: case FileFormat::pef: case FileFormat::dng:
        case FileFormat::rwl: case FileFormat::fff: case FileFormat::dcr: case FileFormat::kdc:
            return 1;
        case FileFormat::heic: case FileFormat::avif: case FileFormat::cr3: case FileFormat::mp4:
        case FileFormat::mov:
            return 2;
        case FileFormat::webp: case FileFormat::avi:
            return 3;
        case FileFormat::gif:
            return 4;
        case FileFormat::ppm:
            return 5;
        case FileFormat::m2ts:
            return 0;  // 192-byte packets: no signature of its own
        default:
            return 10 + static_cast<int>(f);
    }
}

}  // namespace

DirectoryPhase::DirectoryPhase(FATParser& fat, OutputDirectory& output, CommitQueue& commits,
                               DiagnosticReport& report, std::uint64_t blockSize, std::vector<std::uint8_t>& scratch,
                               const std::int64_t& filesFound, Hooks hooks)
    : fat_(fat), output_(output), commits_(commits), report_(report), blockSize_(blockSize), scratch_(scratch),
      filesFound_(filesFound), hooks_(std::move(hooks)) {}

void DirectoryPhase::run(Device& device, const DirectoryIndex& index, FormatSet enabled,
                         std::uint64_t minimumFileSize, std::set<std::uint64_t>& recovered) {
    // Live files first, so that a cluster claimed by a live and a deleted entry goes to the live one.
    for (const bool deleted : {false, true})
    for (const auto& [offset, hint] : index) {  // the map is ordered by offset
        if (hint.isDeleted != deleted) continue;
        if (!hooks_.goOn()) return;
        const std::string ext = toLower(hint.originalExtension);
        const std::optional<FileFormat> format = formatFromExtension(ext);
        if (!format || !enabled.contains(*format)) continue;
        const std::uint64_t minimum = std::max(minimumSize(*format), minimumFileSize);
        if (hint.fileSize < minimum) continue;
        if (commits_.savedEarlier(offset)) {
            recovered.insert(offset);
            continue;
        }
        // Neither more than the volume holds from here, nor clusters another entry already gave.
        const auto cluster = fat_.clusterForOffset(offset);
        if (hint.fileSize > fat_.volumeEnd() - offset || !cluster || fat_.isClusterRecovered(*cluster)) {
            logLine("⚠️ Directory entry " + hint.originalName + "." + hint.originalExtension + " claims " +
                    formatByteCount(hint.fileSize) + (cluster && fat_.isClusterRecovered(*cluster)
                                                          ? " in clusters already recovered — skipped"
                                                          : ", more than the volume holds from its start — skipped"));
            continue;
        }
        if (auto entry = recover(device, offset, hint, *format, ext, minimum)) {
            recovered.insert(offset);
            hooks_.keep(std::move(*entry));
        }
    }
}

bool DirectoryPhase::stillHoldsFormat(Device& device, std::uint64_t offset, FileFormat format) {
    if (signatureFamily(format) == 0) return true;  // nothing to check against
    std::vector<std::uint8_t> head(alignUp(1024, blockSize_) + blockSize_);
    const std::uint64_t a = alignDown(offset, blockSize_);
    const std::size_t d = static_cast<std::size_t>(offset - a);
    const ReadResult r = device.readAt(a, head);
    if (r.bytes <= d) return false;
    static const FormatDetector everyFormat;  // all signatures, whatever the scan looks for
    const std::span<const std::uint8_t> bytes(head.data() + d, r.bytes - d);
    const Match m = everyFormat.matchAt(bytes, bytes.size(), 0);
    return m.format && signatureFamily(*m.format) == signatureFamily(format);
}

std::optional<RecoveredFileInfo> DirectoryPhase::recover(Device& device, std::uint64_t offset,
                                                         const DirectoryHint& hint, FileFormat format,
                                                         const std::string& extension, std::uint64_t minimum) {
    std::string base = sanitizeCardName(hint.originalName);
    if (base.empty()) base = "recovered_" + std::to_string(filesFound_);
    std::string name = commits_.reserveName(base, extension, false);

    // A deleted entry still names its first cluster after a camera reused it.
    if (hint.isDeleted && !stillHoldsFormat(device, offset, format)) {
        logLine("⚠️ Deleted entry " + name + " no longer holds a " + std::string(displayName(format)) +
                " file (its clusters were reused) — letting raw carving try this offset");
        report_.row(offset, format, formatByteCount(hint.fileSize), "  FAT-OVERWRITTEN → " + name);
        return std::nullopt;
    }

    int createError = 0;
    auto file = output_.create(&createError);
    if (!file) {
        hooks_.outputFailed(createError, offset);
        return std::nullopt;
    }
    if (!fat_.extractFile(offset, hint.fileSize, *file, blockSize_, true)) {
        hooks_.outputFailed(file->lastError(), offset);
        return std::nullopt;
    }
    std::uint64_t s = file->size();
    const auto limit = static_cast<std::uint64_t>(std::floor(0.98 * static_cast<double>(hint.fileSize)));
    std::uint64_t room = hint.fileSize;
    bool contiguous = false;
    if (s < limit) {
        logLine("⚠️ FAT directory chain for " + name + " stopped early (" + formatByteCount(s) + " of " +
                formatByteCount(hint.fileSize) + ") — retrying as contiguous file");
        output_.discard(std::move(file));
        file = output_.create(&createError);
        // Never over clusters another file was recovered from, nor, for a deleted
        // entry, over a live file's: the bytes there are not this file's.
        room = fat_.freeRun(offset, hint.fileSize, hint.isDeleted);
        std::optional<std::uint64_t> unreadableAt;  // a failed read leaves the run short, as a stub
        contiguous = file && copyFromDevice(device, offset, room, blockSize_, *file, scratch_, unreadableAt);
        if (file) s = file->size();
    }
    // A run cut where another file begins is kept as far as it goes, and said so.
    const bool cut = contiguous && room < hint.fileSize && s == room && s >= minimum;
    if (!file || (s < limit && !cut)) {
        if (file && file->lastError() != 0) {
            hooks_.outputFailed(file->lastError(), offset);
            return std::nullopt;
        }
        logLine("⚠️ FAT directory recovery produced truncated " + name + " (" + formatByteCount(s) +
                " from directory size " + formatByteCount(hint.fileSize) +
                ") — discarding stub and letting raw carving try this offset");
        if (file) output_.discard(std::move(file));
        report_.fatStubSkip(offset, format, s, name);
        return std::nullopt;
    }
    name = commits_.reserveName(base, extension);
    if (cut) {
        logLine("⚠️ " + name + " cut at byte " + std::to_string(offset + s) + ", where another file's clusters begin (" +
                formatByteCount(s) + " of " + formatByteCount(hint.fileSize) + ") — possibly incomplete");
        report_.row(offset, format, formatByteCount(s), "  CUT → " + name);
    }
    // Rebuilt in one run, its clusters are passed over by the carving as a chain's are.
    if (contiguous) fat_.markRecoveredBytes(offset, s);
    commits_.add(std::move(file), base, extension, offset, false);
    RecoveredFileInfo info;
    info.id = info.fileName = name;
    info.fileType = std::string(displayName(format));
    info.fileSize = s;
    info.offsetOnDisk = offset;
    return info;
}

}  // namespace vf
