#pragma once
#include <cstdint>
#include <string>

namespace vf {

// Gives up root for good: supplementary groups cleared, then group, then user.
// Checks that root cannot be regained. False, with the reason, when any step fails.
bool dropPrivileges(std::uint32_t uid, std::uint32_t gid, std::string& error);

}  // namespace vf
