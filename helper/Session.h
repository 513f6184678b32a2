#pragma once
// The helper's session: arguments, checks, unmounting, output folder, one scan,
// the last progress record and the exit status.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vf {

// Decimal digits with an optional "+"; a "-" only for zero; anything else is 0.
std::uint64_t parseResumeOffset(std::string_view text);

// "/dev/rdisk4" and "/dev/disk4" give "disk4"; "/dev/sdb" gives "sdb".
std::string diskIdentifier(std::string devicePath);

// Who started the scan: the owner of everything it makes, and who it runs as
// once the device is open.
struct InvokingUser {
    std::uint32_t uid = 0, gid = 0;
    std::vector<std::string> lines;  // how it was chosen, for the log
};
using EnvironmentLookup = std::function<const char*(const char*)>;
using PrimaryGroupLookup = std::function<std::optional<std::uint32_t>(std::uint32_t uid)>;
struct ConsoleOwner {
    std::uint32_t uid, gid;
};
// SUDO_UID and SUDO_GID (both valid), else PKEXEC_UID with its primary group,
// else the console's owner, else 501:20.
InvokingUser findInvokingUser(const EnvironmentLookup& env, std::optional<ConsoleOwner> console,
                              const PrimaryGroupLookup& primaryGroup);
constexpr std::uint32_t kNobodyId = 65534;  // the group of a pkexec user without a passwd entry

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
