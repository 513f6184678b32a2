#include "helper/io/Log.h"

#include <cstdio>
#include <mutex>

namespace vf {
namespace {
std::mutex& logMutex() { static std::mutex m; return m; }
LogSink& currentSink() { static LogSink s; return s; }
}  // namespace

void logLine(std::string_view line) {
    std::lock_guard lock(logMutex());
    if (currentSink()) {
        currentSink()(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard lock(logMutex());
    LogSink old = std::move(currentSink());
    currentSink() = std::move(sink);
    return old;
}

}  // namespace vf
