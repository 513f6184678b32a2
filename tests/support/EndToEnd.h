#pragma once
// Pieces for end-to-end runs of the real programs: loop devices and tmpfs
// mounts the test makes itself (always released), the real helper polled while
// it runs, and the recovered folder read back by content.

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vf::test {

// A read-only loop device over an image; detached on destruction.
class LoopDevice {
public:
    explicit LoopDevice(const std::filesystem::path& image);
    ~LoopDevice();
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;
    bool ok() const { return !device_.empty(); }
    const std::string& device() const { return device_; }
    const std::string& why() const { return why_; }  // when not ok

private:
    std::string device_, why_;
};

// A tmpfs of the given size mounted on `dir` (made if missing); unmounted on destruction.
class TmpfsMount {
public:
    TmpfsMount(const std::filesystem::path& dir, const std::string& size);
    ~TmpfsMount();
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool ok() const { return mounted_; }
    const std::string& why() const { return why_; }
    bool resize(const std::string& size);

private:
    std::filesystem::path dir_;
    bool mounted_ = false;
    std::string why_;
};

// One run of build/bin/TessarineHelper (after `prefix`, a command that execs it) with
// the progress file polled meanwhile.
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
