#include "tests/support/VolumeImage.h"

#include "tests/support/TestSupport.h"

#include <cstdio>

namespace vf::test {
VolumeImage& VolumeImage::partitionType(std::uint8_t type) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%x", type);
    return option({"--type", hex});
}

std::string VolumeImage::commandLine() const {
    std::string line = shellQuoted(sourcePath(kind_ == Kind::fat32 ? "tools/make-fat32-image" : "tools/make-exfat-image"));
    line += " " + shellQuoted(image_.string());
    for (const std::string& a : options_) line += " " + shellQuoted(a);
    for (const std::string& a : operations_) line += " " + shellQuoted(a);
    return line;
}

VolumeBuild VolumeImage::build() const {
    const CommandResult r = run(commandLine());
    return {r.status, r.output};
}

}  // namespace vf::test
