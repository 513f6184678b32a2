#pragma once
// The helper's session: arguments, checks, unmounting, output folder, one scan,
// the last progress record and the exit status.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vf {

// Decimal digits with an optional "+"; a "-" only for zero; anything else is 0.
std::uint64_t parseResumeOffset(std::string_view text);

// "/dev/rdisk4" and "/dev/disk4" give "disk4"; "/dev/sdb" gives "sdb".
std::string diskIdentifier(std::string devicePath);

struct SessionOptions {
    std::string debugLogPath = "/tmp/tessarine_debug.log";
    std::string diagnosticPath = "/tmp/tessarine_diag.txt";
    bool redirectOutput = true;  // tests that run the session in-process keep their own output
};

int runSession(int argc, char** argv, const SessionOptions& options = {});

class DiskCarver;
class ProgressWriter;

// The session's progress writer: logs each engine record and writes it.
void attachProgressWriter(DiskCarver& carver, ProgressWriter& writer);

// The last record of a run ("Error" or "Complete"); returns the exit status.
int writeFinalRecord(DiskCarver& carver, ProgressWriter* writer);

}  // namespace vf
