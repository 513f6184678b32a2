#include "platform/PowerActivity.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "tests/app/QtTestApp.h"

namespace vf {
namespace {

// With logind on the system bus the machine is held awake; without one (as in
// containers) the caller learns why at once and the scan goes on.
TEST(PowerActivity, HoldsTheMachineOrSaysWhyNot) {
    test::ensureQtApp();
    QElapsedTimer t;
    t.start();
    std::string why;
    auto hold = makePowerActivity()->begin("Recovering files from an SD card", why);
    EXPECT_LT(t.elapsed(), 6000);
    if (!hold) {
        EXPECT_FALSE(why.empty());
    }
    hold.reset();
}

}  // namespace
}  // namespace vf
