#include "helper/DiagnosticReport.h"

#include <cinttypes>
#include <cstdio>

#include "common/ByteCount.h"

namespace vf {
namespace {

std::string fit(std::string s, std::size_t width) {
    // Columns count characters, not bytes; every text here is ASCII except file names.
    if (s.size() > width) s.resize(width);
    s.append(width - s.size(), ' ');
    return s;
}

}  // namespace

std::string DiagnosticReport::offsetColumn(std::uint64_t offset) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%09" PRIX64, offset);
    return buf;
}

void DiagnosticReport::start(const std::string& devicePath, std::uint64_t totalBytes, std::uint64_t blockSize,
                             std::uint64_t chunkSize, std::size_t hintCount, const FormatSet& enabled) {
    lines_ = {
        "=== Tessarine Diagnostic ===",
        "Disk : " + devicePath + "  (" + formatByteCount(totalBytes) + ")",
        "Block: " + std::to_string(blockSize) + " B  |  Chunk: " + formatByteCount(chunkSize),
        "FAT  : " + std::to_string(hintCount) + " hints",
        "",
        "FORMATS (" + std::to_string(enabled.size()) + "): " + enabled.sortedNames(","),
        "",
        "offset       fmt    size        result",
    };
}

void DiagnosticReport::row(std::uint64_t offset, FileFormat f, const std::string& sizeText, const std::string& result) {
    lines_.push_back(offsetColumn(offset) + "  " + fit(std::string(displayName(f)), 5) + "  " + fit(sizeText, 10) +
                     result);
}

void DiagnosticReport::found(std::uint64_t offset, FileFormat f, std::uint64_t size, const std::string& name) {
    row(offset, f, formatByteCount(size), "  FOUND → " + name);
}

void DiagnosticReport::writeFail(std::uint64_t offset, FileFormat f, std::uint64_t size, const std::string& name) {
    row(offset, f, formatByteCount(size), "  WRITE-FAIL → " + name);
}

void DiagnosticReport::skip(std::uint64_t offset, FileFormat f, std::uint64_t length) {
    row(offset, f, length == 0 ? "no-EOI" : formatByteCount(length),
        "  SKIP (min=" + formatByteCount(minimumSize(f)) + ")");
}

void DiagnosticReport::fatStubSkip(std::uint64_t offset, FileFormat f, std::uint64_t size, const std::string& name) {
    row(offset, f, formatByteCount(size), "  FAT-STUB-SKIP → " + name);
}

std::string DiagnosticReport::finish(std::int64_t filesFound, std::uint64_t bytesScanned) {
    lines_.push_back("");
    lines_.push_back("--- Summary ---");
    lines_.push_back("Exported : " + std::to_string(filesFound) + " files");
    lines_.push_back("Scanned  : " + formatByteCount(bytesScanned));
    std::string text;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (i) text += '\n';
        text += lines_[i];
    }
    return text;
}

}  // namespace vf
