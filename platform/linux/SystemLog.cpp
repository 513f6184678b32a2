#include "platform/SystemLog.h"

#include <string>
#include <syslog.h>

namespace vf {

void systemLogInfo(std::string_view subsystem, std::string_view category, std::string_view message) {
    const std::string text = std::string(subsystem) + " [" + std::string(category) + "] " + std::string(message);
    ::syslog(LOG_USER | LOG_INFO, "%s", text.c_str());
}

}  // namespace vf
