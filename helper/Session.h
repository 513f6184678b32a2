#pragma once
// The helper's session: arguments, checks, unmounting, output folder, one scan,
// the last progress record and the exit status.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Privileges.h"

namespace vf {

// Decimal digits with an optional "+"; a "-" only for zero; anything else is 0.
std::uint64_t parseResumeOffset(std::string_view text);

// "/dev/rdisk4" and "/dev/disk4" give "disk4"; "/dev/sdb" gives "sdb".
std::string diskIdentifier(std::string devicePath);

// Who the scan works for: the owner of everything it makes, and who it runs as
// once the device is open. A scan started by root, or by no one it can find,
// works as nobody, so that no card byte is ever parsed with root's rights.
struct InvokingUser {
    std::uint32_t uid = 0, gid = 0;
    bool nobody = false;             // root's or no one's: works as nobody
    std::vector<std::string> lines;  // how it was chosen, for the log
};
using EnvironmentLookup = std::function<const char*(const char*)>;
using PrimaryGroupLookup = std::function<std::optional<std::uint32_t>(std::uint32_t uid)>;
// SUDO_UID and SUDO_GID (both valid), else PKEXEC_UID, else the console's user
// (each of the last two with its primary group, else nobody's group); root, or
// none of them, gives `nobody`.
InvokingUser findInvokingUser(const EnvironmentLookup& env, std::optional<std::uint32_t> consoleUid,
                              const PrimaryGroupLookup& primaryGroup, UserIds nobody);

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
