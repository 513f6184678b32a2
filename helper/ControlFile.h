#pragma once
#include <string>
#include <string_view>

namespace vf {

enum class ControlWord { none, pause, resume, stop };

// The word in a control text: white space and line breaks trimmed from both
// ends, then an exact, case-sensitive comparison.
ControlWord parseControlWord(std::string_view text);

// Reads the control file. Anything but a small regular file (missing, a
// directory, a FIFO, huge, unreadable) says nothing.
ControlWord readControlFile(const std::string& path);

}  // namespace vf
