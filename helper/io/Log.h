#pragma once
// The scanner's log: one line at a time on standard output (which the helper
// points at its debug log). Tests can capture the lines instead.

#include <functional>
#include <string>
#include <string_view>

namespace vf {

void logLine(std::string_view line);

// Replaces where lines go; an empty function restores standard output.
// Returns the previous sink.
using LogSink = std::function<void(std::string_view)>;
LogSink setLogSink(LogSink sink);

}  // namespace vf
