#pragma once
#include <string_view>

namespace vf {

// An information-level message to the system log under a subsystem and category
// (syslog on Linux, the unified log on macOS).
void systemLogInfo(std::string_view subsystem, std::string_view category, std::string_view message);

}  // namespace vf
