#pragma once
// Starting programs under test and waiting for them.

#include <string>
#include <sys/types.h>
#include <vector>

namespace vf::test {

struct Spawned {
    pid_t pid = -1;
};

// Starts argv[0] with the arguments; stdout and stderr go to outputPath ("" = /dev/null).
// `env` entries ("NAME=value") are added to the inherited environment.
Spawned spawn(const std::vector<std::string>& argv, const std::string& outputPath = "",
              const std::vector<std::string>& env = {});

// Waits for the process; its exit status, or 128 + signal, or -1.
int waitFor(const Spawned& p);

// Polls `path` every few milliseconds while the process runs; returns every
// distinct content seen (in order), the final one included. A process still
// running after `limitSeconds` is killed (status -1): a hang fails, not stalls, the suite.
std::vector<std::string> pollFileUntilExit(const Spawned& p, const std::string& path, int* status,
                                           int limitSeconds = 120);

}  // namespace vf::test
