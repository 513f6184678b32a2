#include "platform/Privileges.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <unistd.h>

namespace vf {

bool dropPrivileges(std::uint32_t uid, std::uint32_t gid, std::string& error) {
    auto failed = [&](const char* step) {
        error = std::string(step) + ": " + std::strerror(errno);
        return false;
    };
    if (::setgroups(0, nullptr) != 0) return failed("setgroups");
    if (::setresgid(gid, gid, gid) != 0) return failed("setresgid");
    if (::setresuid(uid, uid, uid) != 0) return failed("setresuid");
    uid_t ru, eu, su;
    gid_t rg, eg, sg;
    if (::getresuid(&ru, &eu, &su) != 0 || ::getresgid(&rg, &eg, &sg) != 0) return failed("getresuid");
    if (ru != uid || eu != uid || su != uid || rg != gid || eg != gid || sg != gid) {
        error = "the user and group ids did not change";
        return false;
    }
    if (uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0)) {
        error = "root could be regained";
        return false;
    }
    return true;
}

}  // namespace vf
