#pragma once
// Keeping the machine awake while a scan runs.

#include <memory>
#include <string>

namespace vf {

// Held for as long as it lives; destroying it lets the machine sleep again.
class PowerHold {
public:
    virtual ~PowerHold() = default;
};

class PowerActivity {
public:
    virtual ~PowerActivity() = default;
    // Nothing when the system cannot be asked; the caller logs it and goes on.
    virtual std::unique_ptr<PowerHold> begin(const std::string& reason, std::string& error) = 0;
};

std::unique_ptr<PowerActivity> makePowerActivity();

}  // namespace vf
