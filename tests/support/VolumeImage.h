#pragma once
// Builds FAT32 and exFAT card images with tools/make-fat32-image and
// tools/make-exfat-image (the real mkfs, mtools and exfat-fuse), for tests
// that scan a card. Operations run in the order they are added.
//
//   VolumeImage card(VolumeImage::Kind::fat32, dir / "card.img");
//   card.mbr().mkdir("/DCIM/100CANON").put(jpeg, "/DCIM/100CANON/IMG_0001.JPG");
//   const VolumeBuild built = card.build();
//   if (built.skipped()) GTEST_SKIP() << built.output;
//   ASSERT_TRUE(built.ok()) << built.output;

#include <cstdint>
#include <filesystem>
#include <string>

#include "tests/support/TestSupport.h"

namespace vf::test {

struct VolumeBuild : CommandResult {
    bool ok() const { return status == 0; }
    // The tool could not run here (no root, loop device or FUSE for exFAT).
    bool skipped() const { return status == 77; }
};

class VolumeImage {
public:
    enum class Kind { fat32, exfat };
    VolumeImage(Kind kind, std::filesystem::path image)
        : tool_(kind == Kind::fat32 ? "tools/make-fat32-image" : "tools/make-exfat-image"), image_(std::move(image)) {}

    VolumeImage& sizeMiB(std::uint64_t mib) { return add(options_, {"--size", std::to_string(mib)}); }
    // An MBR partition (type 0x0C for FAT32, 0x07 for exFAT) at this sector.
    VolumeImage& mbr(std::uint64_t startSector = 8192) {
        startSector_ = startSector;
        return add(options_, {"--mbr", "--start", std::to_string(startSector)});
    }
    VolumeImage& partitionType(std::uint8_t type) {  // FAT32 with mbr(): 0x0B or 0x0C
        return add(options_, {"--type", std::string(1, "0123456789abcdef"[type & 0x0F])});
    }

    VolumeImage& mkdir(const std::string& path) { return add(operations_, {"--mkdir", path}); }
    VolumeImage& put(const std::filesystem::path& source, const std::string& path) {
        return add(operations_, {"--put", source.string(), path});
    }
    VolumeImage& del(const std::string& path) { return add(operations_, {"--del", path}); }
    // FAT32 only: later files take the lowest free clusters.
    VolumeImage& firstFit() { return add(operations_, {"--first-fit"}); }

    VolumeBuild build() const {
        return {run(shellQuoted(sourcePath(tool_)) + " " + shellQuoted(image_.string()) + options_ + operations_)};
    }

    const std::filesystem::path& image() const { return image_; }
    // Byte offset of the volume inside the image.
    std::uint64_t volumeOffset() const { return startSector_ * 512; }

private:
    // Both kept as quoted command-line words: options come before the operations.
    VolumeImage& add(std::string& words, std::initializer_list<std::string> a) {
        for (const std::string& w : a) words += " " + shellQuoted(w);
        return *this;
    }

    const char* tool_;
    std::filesystem::path image_;
    std::string options_, operations_;
    std::uint64_t startSector_ = 0;
};

}  // namespace vf::test
