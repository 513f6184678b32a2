#pragma once
// The fixed-width table of every candidate the scan judged, written at the end
// of each scan.

#include <cstdint>
#include <string>
#include <vector>

#include "helper/formats/FileFormat.h"

namespace vf {

class DiagnosticReport {
public:
    void start(const std::string& devicePath, std::uint64_t totalBytes, std::uint64_t blockSize,
               std::uint64_t chunkSize, std::size_t hintCount, const FormatSet& enabled);

    void found(std::uint64_t offset, FileFormat f, std::uint64_t size, const std::string& name);
    void writeFail(std::uint64_t offset, FileFormat f, std::uint64_t size, const std::string& name);
    void skip(std::uint64_t offset, FileFormat f, std::uint64_t length);
    void fatStubSkip(std::uint64_t offset, FileFormat f, std::uint64_t size, const std::string& name);
    // Any other row: the size column, then the result text as it stands.
    void row(std::uint64_t offset, FileFormat f, const std::string& sizeText, const std::string& result);
    void line(const std::string& text) { lines_.push_back(text); }

    // The summary lines, then the whole report as one text.
    std::string finish(std::int64_t filesFound, std::uint64_t bytesScanned);

    const std::vector<std::string>& lines() const { return lines_; }

    static std::string offsetColumn(std::uint64_t offset);

private:
    std::vector<std::string> lines_;
};

}  // namespace vf
