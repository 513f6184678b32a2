#pragma once
// Keeps the engine's log lines for the test, and puts the sink before it back.

#include <string>
#include <string_view>
#include <vector>

#include "helper/io/Log.h"

namespace vf::test {

class LogCapture {
public:
    LogCapture() { previous_ = setLogSink([this](std::string_view l) { lines.emplace_back(l); }); }
    ~LogCapture() { setLogSink(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<std::string> lines;

private:
    LogSink previous_;
};

}  // namespace vf::test
