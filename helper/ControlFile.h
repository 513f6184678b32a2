#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace vf {

enum class ControlWord { none, pause, resume, stop };

// The word in a control text: white space and line breaks trimmed from both
// ends, then an exact, case-sensitive comparison.
ControlWord parseControlWord(std::string_view text);

// Reads the control file. Anything but a small regular file (missing, a
// directory, a FIFO, huge, unreadable) says nothing. Its name is public (the
// process list, a shared temporary folder), so only a file owned by root or by
// `ownerUid` is obeyed; another user's says nothing and sets `foreign`.
ControlWord readControlFile(const std::string& path, std::uint32_t ownerUid, bool* foreign = nullptr);

}  // namespace vf
