#pragma once
// Pieces for end-to-end runs of the real programs: loop devices and tmpfs
// mounts the test makes itself (always released), programs started and waited
// for, the real helper polled while it runs, and the recovered folder read back by content.

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/TestSupport.h"

namespace vf::test {

struct Spawned {
    pid_t pid = -1;
};
// Starts argv[0] with the arguments; stdout and stderr go to outputPath ("" = /dev/null).
// `env` entries ("NAME=value") are added to the inherited environment.
Spawned spawn(const std::vector<std::string>& argv, const std::string& outputPath = "",
              const std::vector<std::string>& env = {});
// Waits for the process, calling `tick` every few milliseconds meanwhile. One still going
// after `limitSeconds` is killed: a hang fails, not stalls, the suite. Its exit status, or
// 128 + signal, or -1 (also when it had to be killed).
int waitFor(const Spawned& p, int limitSeconds = 300, const std::function<void()>& tick = {});

// A read-only loop device over an image; detached on destruction.
class LoopDevice : public SystemChange {
public:
    explicit LoopDevice(const std::filesystem::path& image);
    const std::string& device() const { return device_; }

private:
    std::string device_;
};

// A tmpfs of the given size mounted on `dir` (made if missing); unmounted on destruction.
class TmpfsMount : public SystemChange {
public:
    TmpfsMount(const std::filesystem::path& dir, const std::string& size);
    bool resize(const std::string& size);

private:
    std::filesystem::path dir_;
};

// One run of build/bin/TessarineHelper (after `prefix`, a command that execs it) with
// the progress file polled meanwhile. A run still going after `limitSeconds` is killed:
// a hang fails, not stalls, the suite.
struct HelperRun {
    int status = -1;                   // -1 also when it had to be killed after `limitSeconds`
    std::vector<std::string> records;  // every distinct progress file content seen, in order
    std::string log;                   // its output, then /tmp/tessarine_debug.log when that is a file
};
HelperRun runHelper(const std::vector<std::string>& args, const std::string& progressPath,
                    const std::vector<std::string>& env = {}, const std::vector<std::string>& prefix = {},
                    int limitSeconds = 120);

// Hashes of the recovered files by name: thumbnails, hidden files and links left out.
std::map<std::string, std::string> recoveredHashes(const std::filesystem::path& dir);
std::multiset<std::string> hashValues(const std::map<std::string, std::string>& byName);

}  // namespace vf::test
