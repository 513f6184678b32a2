#pragma once
// The `tessarine` command line: parsing, kept apart from running so it can be tested.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "helper/formats/FileFormat.h"

namespace vf {

struct CliOptions {
    std::string source;
    std::string output;
    FormatSet formats = FormatSet::all();
    std::uint64_t minSize = 0;
    std::uint64_t resume = 0;
    std::optional<std::string> progressFile;
    std::optional<std::string> controlFile;
    std::string reportFile = "/tmp/tessarine_diag.txt";
    std::optional<std::string> logFile;
    bool json = false;
    bool unmount = false;
    bool thumbnails = true;
    bool verbose = false;
    bool help = false;
};

struct CliParse {
    std::optional<CliOptions> options;
    std::string error;  // one line naming the bad argument, when options is empty
};

CliParse parseCommandLine(const std::vector<std::string>& args);  // args without the program name

extern const char* const kCliUsage;

}  // namespace vf
