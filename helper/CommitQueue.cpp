#include "helper/CommitQueue.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "common/ByteCount.h"
#include "helper/io/Log.h"

namespace vf {
namespace {

std::string stem(const std::string& name) {
    const auto dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

}  // namespace

CommitQueue::CommitQueue(std::vector<RecoveredFileInfo>& files, std::int64_t& filesFound, DiagnosticReport& report,
                         OutputFailed outputFailed)
    : files_(files), filesFound_(filesFound), report_(report), outputFailed_(std::move(outputFailed)) {}

void CommitQueue::open(OutputDirectory* output, ThumbnailSink* thumbnails) {
    output_ = output;
    thumbnails_ = thumbnails;
    earlierRuns_ = output_ ? output_->loadManifest() : std::map<std::uint64_t, OutputDirectory::ManifestEntry>{};
}

std::optional<RecoveredFileInfo> CommitQueue::nameCarved(CarvedFile& c, const CopyOutcome& copy,
                                                         std::uint64_t minimum) {
    // Named only now: an undated file takes the count of the files kept before it.
    std::string base;
    if (c.date) {
        base = *c.date;
        std::replace(base.begin(), base.end(), ':', '-');
        std::replace(base.begin(), base.end(), ' ', '_');
    } else {
        char counter[32];
        std::snprintf(counter, sizeof counter, "file_%04" PRId64, filesFound_);
        base = counter;
    }
    base += c.camera;
    const std::string ext = lowerName(c.format);
    std::string name = output_ ? reserveName(base, ext, false) : base + "." + ext;
    const std::uint64_t off = c.off;
    const FileFormat format = c.format;

    if (!copy.ok && copy.unreadableAt) {
        // Kept whole or not at all: a hole filled with anything would be a damaged picture shown as recovered.
        logLine("❌ Not saving " + name + ": unreadable block at byte " + std::to_string(*copy.unreadableAt) +
                " inside it");
        report_.row(off, format, formatByteCount(c.length), "  UNREADABLE → " + name);
        if (c.file) output_->discard(std::move(c.file));
        return std::nullopt;
    }
    if (!copy.ok) {
        const int err = c.file ? c.file->lastError() : c.createError;
        logLine("❌ Write failed/truncated for " + name + " (" + formatByteCount(0) + ")");
        report_.writeFail(off, format, 0, name);
        if (output_ && c.file) output_->discard(std::move(c.file));
        outputFailed_(err, off);
        return std::nullopt;
    }
    const std::uint64_t s = c.file->size();
    if (s < minimum) {
        output_->discard(std::move(c.file));
        logLine("❌ Write failed/truncated for " + name + " (" + formatByteCount(s) + ")");
        report_.writeFail(off, format, s, name);
        return std::nullopt;
    }
    name = reserveName(base, ext);
    add(std::move(c.file), base, ext, off, true);
    logLine("💾 Saved " + name + " (" + formatByteCount(s) + ")");
    report_.found(off, format, s, name);
    RecoveredFileInfo info;
    info.id = info.fileName = name;
    info.fileType = std::string(displayName(format));
    info.fileSize = s;
    info.dateTaken = c.date;
    info.offsetOnDisk = off;
    return info;
}

void CommitQueue::add(std::unique_ptr<PendingFile> file, const std::string& base, const std::string& ext,
                      std::uint64_t offset, bool carved) {
    pending_.push_back({std::move(file), base, ext, offset, carved, files_.size()});
}

std::string CommitQueue::reserveName(const std::string& base, const std::string& ext, bool reserve) {
    std::string name = base + "." + ext;
    for (unsigned k = 1; output_->exists(name) || reservedNames_.count(name) != 0 || OutputDirectory::isThumbnailName(name);
         ++k)
        name = base + "_" + std::to_string(k) + "." + ext;
    if (reserve) reservedNames_.insert(name);
    return name;
}

void CommitQueue::flush() {
    if (pending_.empty()) return;
    std::vector<std::size_t> failed;
    for (Pending& p : pending_) {
        RecoveredFileInfo& entry = files_[p.entry];
        const auto committed = output_->commit(*p.file, p.base, p.ext, p.offset, p.carved);
        if (!committed) {
            logLine("❌ Write failed/truncated for " + entry.fileName + " (" + formatByteCount(0) + ")");
            if (auto f = formatFromName(entry.fileType)) report_.writeFail(p.offset, *f, 0, entry.fileName);
            outputFailed_(p.file->lastError(), p.offset);
            failed.push_back(p.entry);
            continue;
        }
        if (*committed != entry.fileName) entry.id = entry.fileName = *committed;
        if ((entry.thumbName = claimThumbnail(*committed, p.offset))) queueThumbnail(*committed, *entry.thumbName);
    }
    pending_.clear();
    reservedNames_.clear();
    for (auto it = failed.rbegin(); it != failed.rend(); ++it) {
        files_.erase(files_.begin() + static_cast<long>(*it));
        --filesFound_;
    }
}

std::optional<std::string> CommitQueue::claimThumbnail(const std::string& fileName, std::uint64_t offset) {
    if (!thumbnails_ || !output_) return std::nullopt;
    // The file's name without its extension, as readers expect; a RAW+JPEG
    // pair's second file keeps its extension in the name.
    const std::string conventional = stem(fileName) + ".thumb.jpg";
    std::string name = conventional;
    for (unsigned k = 0; thumbNames_.count(name) != 0 || output_->exists(name); ++k)
        name = fileName + (k == 0 ? "" : "_" + std::to_string(k)) + ".thumb.jpg";
    thumbNames_.insert(name);
    output_->recordThumbnail(offset, name);
    return name;
}

void CommitQueue::queueThumbnail(const std::string& fileName, const std::string& thumbName) {
    if (!thumbnails_ || !output_) return;
    thumbnails_->submit(output_->path() / fileName, output_->path() / thumbName);
}

void CommitQueue::queueEarlierThumbnails() {
    thumbNames_.clear();
    if (!thumbnails_ || !output_) return;
    for (const auto& [offset, entry] : earlierRuns_)
        if (entry.thumb) thumbNames_.insert(*entry.thumb);
    for (auto& [offset, entry] : earlierRuns_) {
        if (!entry.thumb) {
            // Named before thumbnails were noted: its conventional one, when made and no other file's.
            const std::string conventional = stem(entry.name) + ".thumb.jpg";
            if (output_->exists(conventional) && thumbNames_.insert(conventional).second) {
                output_->recordThumbnail(offset, conventional);
                entry.thumb = conventional;
            } else {
                entry.thumb = claimThumbnail(entry.name, offset);
            }
        }
        // A run killed before its last thumbnails were made.
        if (entry.thumb && !output_->exists(*entry.thumb)) queueThumbnail(entry.name, *entry.thumb);
    }
}

}  // namespace vf
