#pragma once
// Who sits at the machine's screen: the user a root program started without
// saying by whom works for.

#include <cstdint>
#include <optional>
#include <string_view>

namespace vf {

// The user of the active session on the first seat; nothing when no one is
// logged in there or the system does not say.
std::optional<std::uint32_t> consoleUser();

// ACTIVE_UID from a seat's state file as the login manager writes it
// (KEY=VALUE lines); nothing when it is absent or not a number.
std::optional<std::uint32_t> activeUidOfSeat(std::string_view stateText);

}  // namespace vf
