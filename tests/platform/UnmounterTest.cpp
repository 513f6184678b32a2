#include "platform/Unmounter.h"

#include <gtest/gtest.h>

namespace vf {
namespace {

TEST(Unmounter, PartitionsOfADisk) {
    const struct {
        const char *device, *disk;
        bool on;
    } rows[] = {
        {"/dev/sdb", "sdb", true},           {"/dev/sdb12", "sdb", true},         {"/dev/sdba", "sdb", false},
        {"/dev/sdbb1", "sdb", false},        {"/dev/mmcblk0p1", "mmcblk0", true},
        {"/dev/mmcblk01", "mmcblk0", false},  // that is mmcblk01, another disk
        {"/dev/loop3p2", "loop3", true},     {"/dev/loop30", "loop3", false},     {"/dev/loop3p", "loop3", false},
        {"/dev/vda", "", false},             {"tmpfs", "sdb", false},
    };
    for (const auto& row : rows) EXPECT_EQ(isOnDisk(row.device, row.disk), row.on) << row.device << " on " << row.disk;
}

TEST(Unmounter, MountInfoLines) {
    const char* text =
        "22 1 252:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
        "40 22 8:17 / /media/My\\040Card rw,nosuid master:3 - vfat /dev/sdb1 rw,fmask=0022\n"
        "garbage line\n"
        "43 22 8:18 / /media/cut rw - vfat\n"    // cut short
        "41 22 0:5 / /dev rw - devtmpfs udev rw";  // the last line without its newline
    std::vector<std::pair<std::string, std::string>> got;
    for (const auto& e : parseMountInfo(text)) got.emplace_back(e.mountPoint, e.source);
    EXPECT_EQ(got, (decltype(got){{"/", "/dev/vda"}, {"/media/My Card", "/dev/sdb1"}, {"/dev", "udev"}}));
}

}  // namespace
}  // namespace vf
