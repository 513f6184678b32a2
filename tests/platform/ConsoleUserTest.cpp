#include "platform/ConsoleUser.h"

#include <gtest/gtest.h>

namespace vf {
namespace {

TEST(ConsoleUser, TheSeatsActiveUid) {
    const struct {
        const char* text;
        std::optional<std::uint32_t> uid;
    } rows[] = {
        {"# This is private data. Do not parse.\nACTIVE=c2\nACTIVE_UID=1000\nSESSIONS=c2 c1\nUIDS=1000 0\n", 1000u},
        {"ACTIVE_UID=0", 0u},
        {"ACTIVE=c1\n", std::nullopt},                // no one is active
        {"ACTIVE_UID=\n", std::nullopt},
        {"ACTIVE_UID=10a0\n", std::nullopt},
        {"ACTIVE_UID=4294967295\n", std::nullopt},   // (uid_t)-1, no user
        {"ACTIVE_UID=99999999999\n", std::nullopt},
        {"NOT_ACTIVE_UID=5\nUIDS=5\n", std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(activeUidOfSeat(row.text), row.uid) << row.text;
}

}  // namespace
}  // namespace vf
