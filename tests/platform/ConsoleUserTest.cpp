#include "platform/ConsoleUser.h"

#include <gtest/gtest.h>

namespace vf {
namespace {

TEST(ConsoleUser, TheSeatsActiveUid) {
    const std::pair<const char*, std::optional<std::uint32_t>> rows[] = {
        {"# private\nACTIVE=c2\nACTIVE_UID=1000\nUIDS=1000 0\n", 1000u}, {"ACTIVE_UID=0", 0u},
        {"ACTIVE=c1\nUIDS=5\n", std::nullopt},  {"ACTIVE_UID=10a0\n", std::nullopt},
        {"ACTIVE_UID=4294967295\n", std::nullopt},  // (uid_t)-1: no user
    };
    for (const auto& [text, uid] : rows) EXPECT_EQ(activeUidOfSeat(text), uid) << text;
}

}  // namespace
}  // namespace vf
