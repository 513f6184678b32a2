#include "helper/DiskCarver.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "common/ByteCount.h"
#include "helper/CaptureInfo.h"
#include "helper/ChunkSupply.h"
#include "helper/Worker.h"
#include "helper/ControlFile.h"
#include "helper/DirectoryPhase.h"
#include "helper/ProgressWriter.h"
#include "common/ByteReader.h"
#include "helper/io/Log.h"
#include "platform/DiskQuery.h"

namespace vf {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kCarveAlignment = 4096;
constexpr std::uint64_t kDateWindow = 4'194'304;
constexpr std::uint64_t kNextSignatureReach = 268'435'456;
constexpr std::uint64_t kNextSignatureRead = 8'388'608;
constexpr std::size_t kMaxRetiredChunks = 2;

const char* kFullDiskAccessText =
    "macOS blocked access to this SD card. Enable Velliform in System Settings → Privacy & Security → Full Disk "
    "Access, then quit and reopen the app.";

// Transport streams: runs of fixed-size packets, whose next file starts where the run breaks.
bool isStream(FileFormat f) { return f == FileFormat::mts || f == FileFormat::m2ts; }

// The report lives at a fixed path in a folder every user can write: replace
// only a plain file of our own, never a link or someone else's file.
bool safeToReplace(const std::string& path, std::optional<std::uint32_t> user) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (S_ISREG(st.st_mode) && (st.st_uid == ::geteuid() || (user && st.st_uid == *user))) return true;
    std::fprintf(stderr, "⚠️ Not writing %s: %s stands there\n", path.c_str(),
                 S_ISLNK(st.st_mode) ? "a symbolic link" : "a file that is not ours");
    return false;
}

}  // namespace

DiskCarver::DiskCarver()
    : commits_(allRecoveredFiles, filesFound, report,
               [this](int error, std::uint64_t offset) { noteOutputError(error, offset); }) {}
DiskCarver::~DiskCarver() = default;

std::optional<int> DiskCarver::openDevice(const std::string& devicePath, std::uint64_t resumeOffset) {
    const int fd = ::open(devicePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        shouldStop = false;
        bytesScanned = currentOffset = resumeOffset;
        errorMessage = (err == EPERM || err == EACCES) ? std::string(kFullDiskAccessText)
                                                       : "Could not open the SD card: " + std::string(std::strerror(err));
        sendProgress("Access denied");
        return std::nullopt;
    }
    // Reads are plain blocking reads; the flag only kept the open from waiting on the device.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

void DiskCarver::scan(const std::string& devicePath, const std::filesystem::path& outputDir,
                      std::uint64_t resumeOffset) {
    const auto fd = openDevice(devicePath, resumeOffset);
    if (!fd) return;
    scanDescriptor(*fd, devicePath, outputDir, resumeOffset);
    ::close(*fd);
}

void DiskCarver::scanDescriptor(int fd, const std::string& devicePath, const std::filesystem::path& outputDir,
                                std::uint64_t resumeOffset) {
    FdDevice device(fd);
    const std::optional<std::uint64_t> bytes = queryDeviceBytes(fd);
    if (bytes) device.enableViews(*bytes);
    scanDevice(device, devicePath, queryBlockSize(fd), bytes, outputDir, resumeOffset);
}

void DiskCarver::scanDevice(Device& device, const std::string& devicePath, std::optional<std::uint32_t> devBlockSize,
                            std::optional<std::uint64_t> deviceBytes, const std::filesystem::path& outputDir,
                            std::uint64_t resumeOffset) {
    shouldStop = false;
    stopRequested_ = false;
    bytesScanned = currentOffset = resumeOffset;
    devicePath_ = devicePath;
    output_ = OutputDirectory::open(outputDir, owner);
    if (output_) output_->removeStaleTemporaries();
    filesFound = output_ ? output_->countFiles() : 0;
    commits_.open(output_.get(), thumbnails);
    allRecoveredFiles.clear();
    directoryRecoveredOffsets.clear();
    lastCarved_ = {};
    errorMessage.reset();

    logLine("✅ Opened " + devicePath);
    blockSize = devBlockSize && *devBlockSize > 0 ? *devBlockSize : 512;
    blocks_.reset(blockSize);
    chunkSize = blockSize * 16384;
    logLine("📐 Block size: " + std::to_string(blockSize) + ", chunk: " + formatByteCount(chunkSize));
    sizeCalculator.emplace(blockSize);
    totalBytes = deviceBytes.value_or(0);
    logLine("💾 Disk size: " + formatByteCount(totalBytes));

    fatParser = FATParser::detect(device);
    directoryHints.clear();
    if (fatParser) {
        // The walk of a hostile volume can take long: it obeys the control file and shows it is alive.
        directoryHints = fatParser->buildDirectoryIndex(
            [](const std::string& ext) { return formatFromExtension(ext).has_value(); },
            [this, since = Clock::now()]() mutable {
                checkControlFile();
                if (std::chrono::duration<double>(Clock::now() - since).count() >= progressUpdateInterval) {
                    sendProgress("Reading folders");
                    since = Clock::now();
                }
                return !stopping();
            });
        logLine("📁 " + std::to_string(directoryHints.size()) + " FAT directory entries indexed");
    }
    detector.setEnabledFormats(enabledFormats);
    logLine("🔍 Scanning for: " + enabledFormats.sortedNames(", "));
    report.start(devicePath, totalBytes, blockSize, chunkSize, directoryHints.size(), enabledFormats);
    scanStart_ = Clock::now();

    // Either would read the whole card for nothing and call it complete.
    if (!output_) {
        errorMessage = "Cannot open the output folder " + outputDir.string() + ": it is missing or not a folder";
        logLine("❌ " + *errorMessage);
    } else if (deviceBytes && resumeOffset > *deviceBytes) {
        bytesScanned = currentOffset = 0;  // nothing was scanned; a new run starts at the beginning
        errorMessage = "The resume offset " + std::to_string(resumeOffset) + " lies past the card's end (" +
                       std::to_string(*deviceBytes) + " bytes)";
        logLine("❌ " + *errorMessage);
    }

    commits_.queueEarlierThumbnails();

    if (resumeOffset == 0 && fatParser && !errorMessage) {
        inDirectoryPhase_ = true;
        directoryPhase(device);
        inDirectoryPhase_ = false;
    }
    if (!errorMessage) {
        sendProgress("Starting scan");
        if (!stopping()) linearPhase(device, resumeOffset);
    }
    endOfScan();
    detector.clearHint();
    if (sizeCalculator) sizeCalculator->clearHint();
}

bool DiskCarver::stopping() {
    if (stopRequested_.load(std::memory_order_relaxed)) shouldStop = true;
    return shouldStop;
}

// By value: callers pass pendingPhase_, which is cleared here before it is reported.
void DiskCarver::sendProgress(std::string phase) {
    // Files take their names only now, so that every file in the folder is in the record.
    commits_.flush();
    pendingPhase_.clear();
    lastProgressUpdate_ = Clock::now();
    // The offset is where a resume starts: a file still being copied is not in
    // the folder yet, so a scanner killed now must meet it again.
    const std::uint64_t resumeFrom = currentOffset;
    if (progressCallback) progressCallback(bytesScanned, filesFound, writes_.earliestOffset(resumeFrom), totalBytes, phase, allRecoveredFiles);
}

void DiskCarver::maybeSendRate() {
    const auto now = Clock::now();
    if (!pendingPhase_.empty() && lastProgressUpdate_ &&
        std::chrono::duration<double>(now - *lastProgressUpdate_).count() >= foundRecordInterval) {
        sendProgress(pendingPhase_);
        return;
    }
    if (lastProgressUpdate_ &&
        std::chrono::duration<double>(now - *lastProgressUpdate_).count() < progressUpdateInterval)
        return;
    const double seconds = std::max(0.001, std::chrono::duration<double>(now - scanStart_).count());
    char text[64];
    std::snprintf(text, sizeof text, "Scanning at %.1f MB/s", static_cast<double>(bytesScanned) / seconds / 1048576.0);
    sendProgress(text);
}

void DiskCarver::checkControlFile() {
    if (!controlFilePath) return;
    bool foreign = false;
    const ControlWord word = readControlFile(*controlFilePath, owner ? owner->uid : ::geteuid(), &foreign);
    if (foreign && !foreignControlLogged_) {
        foreignControlLogged_ = true;
        logLine("⚠️ Ignoring " + *controlFilePath + ": it belongs to another user");
    }
    switch (word) {
        case ControlWord::pause: shouldPause = true; break;
        case ControlWord::resume: shouldPause = false; break;
        case ControlWord::stop: shouldStop = true; break;
        case ControlWord::none: break;
    }
}

bool DiskCarver::pauseLoop() {
    while (shouldPause) {
        if (stopping()) return false;
        sendProgress("Paused");
        // Sleep in short steps so that a stop request is seen promptly.
        const auto until = Clock::now() + std::chrono::duration<double>(pauseInterval);
        while (Clock::now() < until && !stopRequested_.load(std::memory_order_relaxed))
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        checkControlFile();
    }
    return !stopping();
}

std::uint64_t DiskCarver::effectiveMinimum(FileFormat f) const { return std::max(minimumSize(f), minimumFileSize); }

void DiskCarver::directoryPhase(Device& device) {
    DirectoryPhase::Hooks hooks;
    hooks.goOn = [this] {
        checkControlFile();
        return !stopping() && !errorMessage;
    };
    hooks.keep = [this](RecoveredFileInfo info) {
        allRecoveredFiles.push_back(std::move(info));
        ++filesFound;
        announce("Recovered " + std::to_string(filesFound) + " file(s) from directory");
    };
    hooks.outputFailed = [this](int error, std::uint64_t offset) { noteOutputError(error, offset); };
    DirectoryPhase(*fatParser, *output_, commits_, report, blockSize, scratch_, filesFound, std::move(hooks))
        .run(device, directoryHints, enabledFormats, minimumFileSize, directoryRecoveredOffsets);
}

// The carving pass's chunks: the one in hand, the next one lent ahead, and the
// ones that files still on the writers are copied from.
struct DiskCarver::Pass {
    Pass(DiskCarver& c, Device& device)
        : carver(c),
          // Without a file system files are carved only at 4 KiB boundaries (passOver), so only those are searched.
          alignment(c.fatParser ? 1 : static_cast<std::size_t>(kCarveAlignment)),
          // A volume's files are copied along their cluster chains, here; carved ones
          // on the writers where the card can be read from several threads, since the
          // copy into the output folder costs more than all the rest of the scan.
          writeOnWriters(!c.fatParser && c.output_ && device.concurrentReads()) {}
    // Files on the writers are seen through before the chunks they come from go.
    ~Pass() { carver.writes_.settle(); }

    DiskCarver& carver;
    const std::size_t alignment;
    const bool writeOnWriters;
    std::vector<std::uint8_t> buffer;  // the chunk, where it is read by copy
    // Declared before the chunks, gone after them: a worker's job may still be running at a return.
    Worker half, reader;
    std::future<Window> ahead;  // the chunk after this one, when the device lends views or reads from any thread
    std::optional<Window> early;  // that chunk, taken before its turn for the look-ahead's use
    Window w;
    // Chunks that files still on the writers are copied from, oldest first.
    std::deque<Window> retired;
    std::span<const std::uint8_t> chunk;  // the bytes in hand, of w or buffer
    std::uint64_t start = 0;              // where they begin
};

void DiskCarver::linearPhase(Device& device, std::uint64_t resumeOffset) {
    Pass pass(*this, device);
    std::uint64_t next = resumeOffset;
    // A chunk that ends off a block boundary ends the data (an image of any size):
    // the next chunk would start at that block again, for ever.
    bool atEnd = false;
    for (;;) {
        writes_.settleReady();
        if (errorMessage) return;
        checkControlFile();
        if (shouldPause) writes_.settle();  // a paused scan shows every file it has
        if (errorMessage) return;
        if (shouldPause && !pauseLoop()) return;
        if (stopping()) return;

        const std::uint64_t start = alignDown(next, blockSize);
        if (start > static_cast<std::uint64_t>(INT64_MAX)) {
            writes_.settle();
            if (!errorMessage) sendProgress("Seek error");
            return;
        }
        std::vector<std::uint8_t> spare;  // for a chunk to come
        if (!takeChunk(device, pass, start, spare)) return;
        const std::size_t n = pass.chunk.size();
        if (n == 0 || atEnd) {
            writes_.settle();
            if (!errorMessage) sendProgress("Scan complete");
            return;
        }
        currentOffset = start;
        bytesScanned += n;
        maybeSendRate();
        next = start + n;
        atEnd = n % blockSize != 0;
        if (pass.w.bytes() && n == chunkSize)
            pass.ahead = pass.reader.post([this, &device, &half = pass.half, next, alignment = pass.alignment,
                                           spare = std::move(spare)]() mutable {
                return lendChunk(device, detector, next, static_cast<std::size_t>(chunkSize), alignment, half,
                                 std::move(spare));
            });
        const std::optional<std::uint64_t> after = carveChunk(device, pass);
        if (!after) return;
        next = *after;
    }
}

bool DiskCarver::takeChunk(Device& device, Pass& pass, std::uint64_t start, std::vector<std::uint8_t>& spare) {
    Window& w = pass.w;
    std::deque<Window>& retired = pass.retired;
    // The last chunk stays while files found in it are copied from it. Only a
    // few do, so that a slow output folder holds back the scan, not memory.
    if (w.bytes()) retired.push_back(std::move(w));
    w = {};  // let the last chunk's mapping go before the next one is made
    pass.chunk = {};
    pass.start = start;
    if (retired.size() > kMaxRetiredChunks) {
        const std::uint64_t oldest = retired.front().start;
        writes_.settle(writes_.countAfter(oldest));
        if (errorMessage) return false;
    }
    while (!retired.empty() && !writes_.holdsChunk(retired.front().start)) {
        if (retired.front().isCopy) spare = std::move(retired.front().copy);
        retired.pop_front();
    }
    std::optional<Window> lent = std::move(pass.early);
    pass.early.reset();
    if (!lent && pass.ahead.valid()) lent = pass.ahead.get();
    if (!lent || lent->start != start)
        lent = lendChunk(device, detector, start, static_cast<std::size_t>(chunkSize), pass.alignment, pass.half,
                         std::exchange(spare, {}));
    w = std::move(*lent);
    if (w.bytes()) {
        pass.chunk = *w.bytes();
        blocks_.lentWhole();
        return true;
    }
    // Read and copied when the device lends no views or part of the chunk is unreadable.
    writes_.settle();  // the scan ends at a failed output before it meets what this chunk holds
    if (errorMessage) return false;
    pass.buffer.resize(chunkSize);
    const BlockReader::Read got = blocks_.read(device, start, pass.buffer);
    if (got.goneAt) {
        currentOffset = *got.goneAt;
        errorMessage = "The card stopped responding at byte " + std::to_string(*got.goneAt) + " (" +
                       std::strerror(got.error) + "). Reconnect it and resume the scan.";
        logLine("❌ " + *errorMessage);
        return false;
    }
    pass.chunk = std::span<const std::uint8_t>(pass.buffer.data(), got.bytes);
    return true;
}

std::optional<std::uint64_t> DiskCarver::carveChunk(Device& device, Pass& pass) {
    const Window& w = pass.w;
    const std::span<const std::uint8_t> chunk = pass.chunk;
    const std::uint64_t start = pass.start;
    const std::size_t n = chunk.size();
    sizeCalculator->setHint(chunk, start);
    detector.setHint(chunk, start);

    std::size_t i = 0;
    auto listed = w.matches.begin();
    while (i < n) {
        if (stopping()) return std::nullopt;
        if (controlFilePath) {
            checkControlFile();
            if (stopping()) return std::nullopt;
        }
        // Find a candidate: positions found ahead are the ones the search would find, in order.
        Match m;
        listed = std::lower_bound(listed, w.matches.end(), i,
                                  [](const Match& a, std::size_t at) { return a.index < at; });
        if (listed != w.matches.end()) m = *listed;
        else if (w.searchedTo >= n) break;
        else m = detector.findFirstAligned(chunk, n, std::max(i, w.searchedTo), n, start, pass.alignment);
        if (!m.format) break;
        const std::size_t p = m.index;
        const std::uint64_t off = start + p;
        if (const std::size_t skip = passOver(device, off)) {
            i = p + skip;
            continue;
        }
        writes_.settleReady();
        if (errorMessage) return std::nullopt;
        currentOffset = off;
        maybeSendRate();
        FileFormat format = detector.refineFormat(*m.format, device, off, blockSize);

        // Size it, bounded by the next file's start.
        const std::optional<SizedCandidate> sized =
            sizeCandidate(device, off, format, [&] { return listedMatches(detector, w, n, pass.early, pass.ahead); });
        if (!sized) {
            i = p + 1;
            continue;
        }
        logLine("📏 " + std::string(displayName(format)) + ": " + formatByteCount(sized->length));

        const std::optional<std::uint64_t> step = keepOrSkip(device, pass, p, format, *sized);
        if (!step) return std::nullopt;
        const std::uint64_t t = alignUp(off + *step < off ? UINT64_MAX : off + *step, blockSize);
        if (t < start + n) {
            i = static_cast<std::size_t>(t - start);
            continue;
        }
        // A length that runs past the card's end passes over no more than the card.
        const std::uint64_t end = totalBytes > start + n ? std::min(t, totalBytes) : start + n;
        bytesScanned += end - (start + n);
        return t;
    }
    return start + n;
}

std::size_t DiskCarver::passOver(Device& device, std::uint64_t off) {
    if (!fatParser && off % kCarveAlignment != 0) return 1;
    if (directoryRecoveredOffsets.count(off) != 0 || commits_.savedEarlier(off)) return 4;
    if (fatParser) {
        const auto cluster = fatParser->clusterForOffset(off);
        if (cluster && fatParser->isClusterRecovered(*cluster)) return 4;
    }
    // An element of the file just carved (an ISO box, a stream's packet) is not a file of its own,
    // and on a volume only a cluster start inside it can begin one.
    if (off < lastCarved_.end &&
        ((fatParser && off > lastCarved_.off && !fatParser->isClusterStart(off)) ||
         sizeCalculator->accountsFor(lastCarved_.format, device, lastCarved_.off, off)))
        return 1;
    return 0;
}

std::optional<std::uint64_t> DiskCarver::keepOrSkip(Device& device, const Pass& pass, std::size_t index,
                                                    FileFormat format, const SizedCandidate& sized) {
    const std::uint64_t off = pass.start + index;
    const std::uint64_t length = sized.length;
    const std::uint64_t minimum = effectiveMinimum(format);
    if (length < minimum) {
        logLine("⚠️ Too small / not found (" + std::to_string(length) + " < " + std::to_string(minimum) +
                "), skipping");
        if (!(format == FileFormat::jpeg && length == 0)) {
            writes_.settle();  // rows stay in the order of the card
            if (errorMessage) return std::nullopt;
            report.skip(off, format, length);
        }
        return !fatParser ? blockSize : (length != 0 ? length : minimum);
    }
    const bool asRead = pass.w.bytes().has_value();
    if (pass.writeOnWriters)
        submitCarvedFile(device, pass.chunk, asRead, pass.start, index, off, format, length);
    else if (auto entry = recoverCarvedFile(device, pass.chunk, asRead, pass.start, index, off, format, length))
        keepFile(std::move(*entry));
    if (errorMessage) return std::nullopt;  // the output disk failed; resume starts at this file
    const std::uint64_t end = length > UINT64_MAX - off ? UINT64_MAX : off + length;
    if (end > lastCarved_.end) lastCarved_ = {off, end, format};
    // A length the card cannot confirm may hide files written over the claimed
    // extent: the search goes on at its cluster starts, where they would begin.
    if (fatParser && !sized.fromDirectory && !isStream(format)) return fatParser->nextClusterStart(off) - off;
    // A stream's packets account for every byte of it: nothing inside is searched again.
    return !fatParser && !isStream(format) ? blockSize : length;
}

std::optional<DiskCarver::SizedCandidate> DiskCarver::sizeCandidate(
    Device& device, std::uint64_t off, FileFormat& format, const std::function<std::vector<ListedMatches>()>& listed) {
    std::uint64_t length = 0;
    bool haveLength = false;
    if (auto hint = directoryHints.find(off);
        hint != directoryHints.end() && !hint->second.originalExtension.empty()) {
        const DirectoryHint& h = hint->second;
        if (auto hinted = formatFromExtension(h.originalExtension); hinted && *hinted != format) {
            logLine("📁 FAT hint: " + std::string(displayName(format)) + " → " +
                    std::string(displayName(*hinted)) + " (" + h.originalName + "." + h.originalExtension +
                    ", deleted=" + (h.isDeleted ? "true" : "false") + ")");
            format = *hinted;
        }
        if (h.fileSize != 0 && h.fileSize >= minimumSize(format)) {
            length = h.fileSize;
            haveLength = true;
            logLine("📁 FAT size: " + formatByteCount(length) + " (from directory entry)");
        }
    }
    if (!haveLength && fatParser && !sizeCalculator->plausibleStart(format, device, off)) {
        // Every byte of a volume is searched, so chance signatures are
        // common there, and a saved one would move the cursor past its
        // made-up length, over whatever real files lie inside it.
        return std::nullopt;
    }
    if (!haveLength) {
        length = sizeCalculator->calculateSize(format, device, off);
        // A candidate whose header its own rule rejects stays rejected:
        // stretching it to the next file would save junk.
        if (!fatParser && (length > 0 || sizeCalculator->plausibleStart(format, device, off))) {
            // Only a start this close changes the length; farther ones need not be read for.
            const std::optional<std::uint64_t> within = nextFileReach(format, length);
            // Inside a stream's run of packets every start on the grid is one of
            // its own packets (another file there would have broken the run).
            const std::uint64_t notBefore = isStream(format) ? off + length : 0;
            if (auto g = findNextSignature(device, off, listed(), within, notBefore, format))
                length = boundByNextFile(format, length, *g - off);
        }
    }
    if (!haveLength && length > 0) {
        // A directory entry at this start knows the file's size better than its header.
        if (auto hint = directoryHints.find(off); hint != directoryHints.end() && hint->second.fileSize != 0)
            length = std::min(length, hint->second.fileSize);
        // Nor does a carve run over what the volume gives to other files.
        if (fatParser)
            if (const auto c = fatParser->clusterForOffset(off))
                length = fatParser->freeRun(off, length, !fatParser->isAllocated(*c));
    }
    return SizedCandidate{length, haveLength};
}

// The report's fixed path may hold another user's report, or a file someone
// planted to keep reports from being written; then it goes beside the output folder.
void DiskCarver::writeReport(const std::string& text) {
    std::vector<std::filesystem::path> places{diagnosticPath};
    if (output_) {
        const std::filesystem::path folder = output_->path().lexically_normal();
        const std::filesystem::path parent = (folder.has_filename() ? folder : folder.parent_path()).parent_path();
        places.push_back(parent / std::filesystem::path(diagnosticPath).filename());
    }
    for (const auto& place : places) {
        if (!safeToReplace(place.string(), owner ? std::optional(owner->uid) : std::nullopt) || !writeFileAtomically(place, text, 0600)) continue;
        // A root scan without dropping (the command line under sudo) hands it over; lchown never follows a link.
        if (owner && ::geteuid() == 0 && ::lchown(place.c_str(), owner->uid, owner->gid) != 0) {
            // The report stays root's; it is still written.
        }
        logLine("📋 Diagnostic written to " + place.string());
        return;
    }
    logLine("⚠️ Diagnostic report not written: neither " + places.front().string() +
            (places.size() > 1 ? " nor " + places.back().string() : std::string()) + " could be replaced");
}

void DiskCarver::endOfScan() {
    commits_.flush();
    if (!blocks_.unreadable().empty()) {
        report.line("");
        report.line("--- Unreadable ranges (" + std::to_string(blocks_.unreadableBytes()) + " bytes) ---");
        for (const auto& [from, to] : blocks_.unreadable())
            report.line(DiagnosticReport::offsetColumn(from) + " - " + DiagnosticReport::offsetColumn(to) + "  " +
                        formatByteCount(to - from));
    }
    // A stopped scan ends soon: thumbnails not yet begun are made by a resumed run.
    if (thumbnails && shouldStop) thumbnails->dropQueued();
    logLine("⏳ Waiting for thumbnails…");
    const std::string text = report.finish(filesFound, bytesScanned);
    if (!diagnosticPath.empty()) writeReport(text);
    if (thumbnails) thumbnails->wait();
    if (errorMessage) return;  // the session's "Error" record follows; the run did not complete
    sendProgress((shouldStop ? "Stopped — Found " : "Complete — Found ") + std::to_string(filesFound) + " file(s)");
}

std::optional<std::uint64_t> DiskCarver::findNextSignature(Device& device, std::uint64_t from,
                                                           std::span<const ListedMatches> listed,
                                                           std::optional<std::uint64_t> within,
                                                           std::uint64_t notBefore, std::optional<FileFormat> own) {
    bounded_ = {from, own};
    const std::uint64_t step = from % 32768 == 0 ? 32768 : 4096;
    const std::optional<std::size_t> reach = detector.reach();
    std::uint64_t limit = std::min(from + kNextSignatureReach, totalBytes);
    // Positions up to from + within stay whole below the lower limit, so what is found there is the same.
    if (within && reach && *within < kNextSignatureReach) limit = std::min(limit, from + *within + *reach);
    // The walk visits from + step, from + 2 step, ... below limit.
    std::uint64_t pos = from + step;
    if (notBefore > pos) pos = from + (notBefore - from + step - 1) / step * step;
    auto walkFrom = [&](std::uint64_t at) { return at <= pos ? pos : from + (at - from + step - 1) / step * step; };
    // A listed match counts only where the whole signature fits before limit,
    // as a read of the card would have cut it there.
    const std::uint64_t listedLimit = reach && limit >= *reach ? limit - *reach + 1 : 0;
    for (const ListedMatches& l : listed) {
        const std::uint64_t to = std::min(l.to, listedLimit);
        if (pos >= to) continue;
        if (pos < l.from) {
            bool over = false;
            if (auto q = walkCard(device, step, pos, l.from, limit, over)) return q;
            if (over) return std::nullopt;
            pos = walkFrom(l.from);
            if (pos >= to) continue;
        }
        auto it = std::lower_bound(l.matches.begin(), l.matches.end(), pos - l.base,
                                   [](const Match& m, std::uint64_t at) { return m.index < at; });
        for (; it != l.matches.end() && l.base + it->index < to; ++it) {
            const std::uint64_t q = l.base + it->index;
            if ((q - from) % step != 0) continue;
            if (startsNextFile(device, *it->format, q)) return q;
        }
        pos = walkFrom(to);
    }
    bool over = false;
    return walkCard(device, step, pos, limit, limit, over);
}

bool DiskCarver::startsNextFile(Device& device, FileFormat format, std::uint64_t q) {
    // Only a file whose own header holds up may end the current one: a chance
    // "BM" inside compressed data must not cut a clip short; nor may a box of the clip's own.
    if (!sizeCalculator) return true;
    return sizeCalculator->plausibleStart(format, device, q) &&
           !(bounded_.format && sizeCalculator->accountsFor(*bounded_.format, device, bounded_.from, q));
}

std::optional<std::uint64_t> DiskCarver::walkCard(Device& device, std::uint64_t step, std::uint64_t& pos,
                                                  std::uint64_t stop, std::uint64_t limit, bool& over) {
    while (pos < stop) {
        // Reads reach to limit, not stop: a signature just below stop must be seen whole.
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kNextSignatureRead, limit - pos));
        const Fetched f = fetch(device, pos, want, scratch_);
        const ReadResult r = f.result;
        // The card ends or fails inside this read: the walk ends with it, stop or not.
        over = r.failed() || r.bytes < want;
        for (std::size_t k = 0; k < r.bytes && (over || pos + k < stop); k += step) {
            const Match m = detector.matchAt(f.bytes, r.bytes, k);
            if (m.format && startsNextFile(device, *m.format, pos + k)) return pos + k;
        }
        if (over) return std::nullopt;
        if (pos + r.bytes > stop) {
            pos += (stop - pos + step - 1) / step * step;  // the first position of the walk at or past stop
            return std::nullopt;
        }
        pos += alignUp(r.bytes, step);
    }
    return std::nullopt;
}

bool DiskCarver::writeLinear(Device& device, std::uint64_t offset, std::uint64_t length, ByteSink& out) {
    return copyFromDevice(device, offset, length, blockSize, out, scratch_, unreadableInFile_);
}

void DiskCarver::noteOutputError(int error, std::uint64_t offset) {
    if (error != ENOSPC && error != EDQUOT && error != EROFS && error != EIO) return;
    // Several files can fail together (their names are given in one go): the
    // resume must start at the first of them, or the others are never recovered.
    const bool earlier = errorMessage.has_value();
    errorMessage = "Could not save recovered files: " + std::string(std::strerror(error)) +
                   " (output folder " + (output_ ? output_->path().string() : std::string()) + ")";
    currentOffset = earlier ? std::min(currentOffset, offset) : offset;
    // A resume skips the directory phase; one that failed there must run
    // again from the start, or its files come back carved, without their
    // names and cut at fragments. The manifest skips what is already saved.
    if (inDirectoryPhase_) currentOffset = 0;
    logLine("❌ " + *errorMessage);
}

CarvedFile DiskCarver::prepareCarved(Device& device, std::span<const std::uint8_t> chunk, std::uint64_t start,
                                     std::size_t index, std::uint64_t off, FileFormat format, std::uint64_t length) {
    CarvedFile c;
    c.off = off;
    c.length = length;
    c.format = format;
    // The date is looked for in the file's own first 4 MiB, not in whatever follows a shorter file.
    const std::uint64_t window = std::min(kDateWindow, length);
    if (start + chunk.size() < off + window) {
        const std::uint64_t a = alignDown(off, blockSize);
        const std::uint64_t d = off - a;
        const Fetched f = fetch(device, a, static_cast<std::size_t>(kDateWindow), scratch_);
        const ReadResult r = f.result;
        if (!r.failed() && r.bytes > d)
            c.date = findCaptureDate(f.bytes, d,
                                     static_cast<std::size_t>(std::min<std::uint64_t>(r.bytes, d + window)));
    } else {
        c.date = findCaptureDate(chunk, index, static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), index + window)));
    }
    const CameraModel camera = readCameraModel(chunk, start, off, format);
    if (!camera.make.empty()) c.camera += "_" + camera.make;
    if (!camera.model.empty()) c.camera += "_" + camera.model;
    if (output_) c.file = output_->create(&c.createError);
    return c;
}

std::optional<RecoveredFileInfo> DiskCarver::recoverCarvedFile(Device& device, std::span<const std::uint8_t> chunk,
                                                               bool chunkAsRead, std::uint64_t start, std::size_t index,
                                                               std::uint64_t off, FileFormat format,
                                                               std::uint64_t length) {
    CarvedFile c = prepareCarved(device, chunk, start, index, off, format, length);
    unreadableInFile_.reset();
    bool ok = false;
    if (c.file) {
        if (!fatParser) {
            ok = copyCarved(device, heldPart(chunk, chunkAsRead, start, index, off, length), off, length, blockSize,
                            *c.file, scratch_, unreadableInFile_);
        } else {
            ok = fatParser->extractFile(off, length, *c.file, blockSize);
            const std::uint64_t s = c.file->size();
            const auto limit = static_cast<std::uint64_t>(std::floor(0.98 * static_cast<double>(length)));
            if (!(ok && s >= effectiveMinimum(format) && s >= limit) && c.file->lastError() == 0) {
                logLine("⚠️ FAT chain write failed/truncated (" + formatByteCount(s) + " of " + formatByteCount(length) +
                        ") — falling back to linear");
                output_->discard(std::move(c.file));
                c.file = output_->create(&c.createError);
                ok = c.file && writeLinear(device, off, length, *c.file);
            }
        }
    }
    return commits_.nameCarved(c, {ok, unreadableInFile_}, effectiveMinimum(format));
}

void DiskCarver::submitCarvedFile(Device& device, std::span<const std::uint8_t> chunk, bool chunkAsRead,
                                  std::uint64_t start, std::size_t index, std::uint64_t off, FileFormat format,
                                  std::uint64_t length) {
    writes_.makeRoom(length, *output_);
    if (errorMessage) return;
    const std::uint64_t foundAt = bytesScanned;
    CarvedFile c = prepareCarved(device, chunk, start, index, off, format, length);
    // A folder that takes no file ends the scan here, as it would have without writers.
    if (!c.file) return writes_.submitFailed(std::move(c), start, foundAt);
    writes_.submit(std::move(c), device, heldPart(chunk, chunkAsRead, start, index, off, length), blockSize, start,
                   foundAt);
}

void DiskCarver::settleCarved(CarvedFile& carved, const CopyOutcome& copy, std::uint64_t foundAt) {
    const bool failedBefore = errorMessage.has_value();
    if (failedBefore) {
        // The output failed on an earlier file: the scan ends there, and resumes at that file.
        if (carved.file) output_->discard(std::move(carved.file));
    } else if (auto entry = commits_.nameCarved(carved, copy, effectiveMinimum(carved.format))) {
        keepFile(std::move(*entry));  // its name may fail to take, too
    }
    if (!failedBefore && errorMessage) bytesScanned = foundAt;  // as far as the scan had come then
}

void DiskCarver::keepFile(RecoveredFileInfo info) {
    allRecoveredFiles.push_back(std::move(info));
    ++filesFound;
    announce("Found " + std::to_string(filesFound) + " file(s)");
}

void DiskCarver::announce(const std::string& phase) {
    if (!lastProgressUpdate_ ||
        std::chrono::duration<double>(Clock::now() - *lastProgressUpdate_).count() >= foundRecordInterval)
        sendProgress(phase);
    else
        pendingPhase_ = phase;
}

}  // namespace vf
