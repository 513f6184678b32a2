#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vf {

struct UserIds {
    std::uint32_t uid = 65534, gid = 65534;
};
// The system's "nobody" and its group (65534:65534 when it has none): who
// parses and decodes for a scan that no user of the machine started.
UserIds nobodyIds();

// Gives up root for good: supplementary groups cleared, then group, then user.
// Checks that root cannot be regained. False, with the reason, when any step fails.
bool dropPrivileges(std::uint32_t uid, std::uint32_t gid, std::string& error);

// While it lives, a root process acts with the effective ids of uid:gid and
// no supplementary groups (as it will after dropPrivileges), so the kernel
// checks every path it touches as that user: a link or a folder the user
// could not use himself stops root too, and what it creates is the user's.
// Not root: nothing changes, the process already acts as itself.
// Changes the ids of the whole process: only while no other thread runs.
class ActingAs {
public:
    ActingAs(std::uint32_t uid, std::uint32_t gid);
    ~ActingAs();
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;
    // False when the ids could not be taken on; the process is then root still.
    bool ok() const { return ok_; }

private:
    void restore();
    bool switched_ = false;
    bool ok_ = true;
    gid_t savedGid_ = 0;
    std::vector<gid_t> savedGroups_;
};

}  // namespace vf
