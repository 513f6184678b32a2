#pragma once
// Helpers shared by the tests: temporary folders, random data, running tools.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace vf::test {

// A fresh folder under the system temp dir, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed);
std::vector<std::uint8_t> readFile(const std::filesystem::path& p);
std::string readText(const std::filesystem::path& p);
void writeFile(const std::filesystem::path& p, const std::vector<std::uint8_t>& data);

struct CommandResult {
    int status = -1;     // exit status, or -1 when it did not exit normally
    std::string output;  // standard output and standard error together
};
// `s` in single quotes for a shell command line.
std::string shellQuoted(const std::string& s);
// Runs a shell command line (sh -c), capturing its output.
CommandResult run(const std::string& commandLine);
// True when `tool` is on PATH.
bool haveTool(const std::string& tool);

std::string binPath(const std::string& program);     // build/bin/<program>
std::string sourcePath(const std::string& relative);  // repository path

// Fills `dir` with the media set `set` of tools/make-test-media: copied from the suite's
// shared build of it (made once per ctest run, named by VF_TEST_MEDIA) when there is one,
// else made here. False, with the reason in `why`, when the set cannot be made.
bool testMedia(const std::string& set, const std::filesystem::path& dir, std::string* why);

// A change a test made to the system with a command, undone by another on destruction,
// whichever way the test ends; not ok (and nothing to undo) when it could not be made.
class SystemChange {
public:
    SystemChange() = default;
    ~SystemChange() {
        if (ok()) run(undo_);
    }
    SystemChange(const SystemChange&) = delete;
    SystemChange& operator=(const SystemChange&) = delete;
    bool ok() const { return !undo_.empty(); }
    const std::string& why() const { return why_; }  // when not ok

protected:
    std::string undo_, why_;
};

// A local user made for one test (useradd, no home, no login) and removed
// again. Names start with the branch's name ("programs-") so parallel checkouts never share one.
class TestUser : public SystemChange {
public:
    explicit TestUser(const std::string& name);
    std::uint32_t uid() const { return uid_; }
    std::uint32_t gid() const { return gid_; }
    // SUDO_UID and SUDO_GID naming this user.
    std::vector<std::string> sudoEnvironment() const;

private:
    std::uint32_t uid_ = 0, gid_ = 0;
};

// Hex SHA-256 of a file's bytes ("" when it cannot be read), or of bytes in memory.
std::string sha256(const std::filesystem::path& p);
std::string sha256(std::span<const std::uint8_t> bytes);

}  // namespace vf::test
