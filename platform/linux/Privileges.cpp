#include "platform/Privileges.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <vector>
#include <unistd.h>

namespace vf {

UserIds nobodyIds() {
    UserIds ids;
    std::vector<char> buf(16384);
    passwd pw {};
    passwd* found = nullptr;
    if (::getpwnam_r("nobody", &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_uid != 0 &&
        found->pw_gid != 0) {
        ids.uid = found->pw_uid;
        ids.gid = found->pw_gid;
    }
    return ids;
}

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

ActingAs::ActingAs(std::uint32_t uid, std::uint32_t gid) {
    if (::geteuid() != 0 || uid == 0) return;
    const int n = ::getgroups(0, nullptr);
    if (n < 0) {
        ok_ = false;
        return;
    }
    savedGroups_.resize(static_cast<std::size_t>(n));
    if (n > 0 && ::getgroups(n, savedGroups_.data()) != n) {
        ok_ = false;
        return;
    }
    savedGid_ = ::getegid();
    // Groups and group first: once the user has changed, root's rights to change them are gone.
    // Only the effective ids change; the saved set-user-id stays root, so root can be taken back.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(static_cast<gid_t>(-1), gid, static_cast<gid_t>(-1)) != 0 ||
        ::setresuid(static_cast<uid_t>(-1), uid, static_cast<uid_t>(-1)) != 0) {
        ok_ = false;
        restore();  // whatever step failed, what was changed is undone
        return;
    }
    switched_ = true;
}

ActingAs::~ActingAs() {
    if (switched_) restore();
}

void ActingAs::restore() {
    // Each step is needed for the next; a failure here leaves the process as the user, which is safe.
    if (::setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0) return;
    if (::setresgid(static_cast<gid_t>(-1), savedGid_, static_cast<gid_t>(-1)) != 0) return;
    [[maybe_unused]] const int restored = ::setgroups(savedGroups_.size(), savedGroups_.data());
}

}  // namespace vf
