#include "tests/support/VolumeImage.h"

#include "tests/support/TestSupport.h"

#include <cstdio>

namespace vf::test {
namespace {

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

}  // namespace

VolumeImage::VolumeImage(Kind kind, std::filesystem::path image) : kind_(kind), image_(std::move(image)) {}

VolumeImage& VolumeImage::sizeMiB(std::uint64_t mib) {
    options_.insert(options_.end(), {"--size", std::to_string(mib)});
    return *this;
}
VolumeImage& VolumeImage::clusterBytes(std::uint64_t bytes) {
    options_.insert(options_.end(), {"--cluster", std::to_string(bytes)});
    return *this;
}
VolumeImage& VolumeImage::mbr(std::uint64_t startSector) {
    startSector_ = startSector;
    options_.insert(options_.end(), {"--mbr", "--start", std::to_string(startSector)});
    return *this;
}
VolumeImage& VolumeImage::partitionType(std::uint8_t type) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%x", type);
    options_.insert(options_.end(), {"--type", hex});
    return *this;
}
VolumeImage& VolumeImage::mkdir(const std::string& path) {
    operations_.insert(operations_.end(), {"--mkdir", path});
    return *this;
}
VolumeImage& VolumeImage::put(const std::filesystem::path& source, const std::string& path) {
    operations_.insert(operations_.end(), {"--put", source.string(), path});
    return *this;
}
VolumeImage& VolumeImage::del(const std::string& path) {
    operations_.insert(operations_.end(), {"--del", path});
    return *this;
}
VolumeImage& VolumeImage::firstFit() {
    operations_.push_back("--first-fit");
    return *this;
}
VolumeImage& VolumeImage::wipeBoot() {
    operations_.push_back("--wipe-boot");
    return *this;
}

std::string VolumeImage::commandLine() const {
    std::string line = quoted(sourcePath(kind_ == Kind::fat32 ? "tools/make-fat32-image" : "tools/make-exfat-image"));
    line += " " + quoted(image_.string());
    for (const std::string& a : options_) line += " " + quoted(a);
    for (const std::string& a : operations_) line += " " + quoted(a);
    return line;
}

VolumeBuild VolumeImage::build() const {
    const CommandResult r = run(commandLine());
    return {r.status, r.output};
}

}  // namespace vf::test
