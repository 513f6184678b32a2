#include "app/DiskEnumerator.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/app/AppTest.h"

namespace vf {
namespace {

std::string describe(const std::optional<DiskInfo>& d) {
    if (!d) return "-";
    return (d->devicePath + " " + d->name + " " + d->size + (d->isRemovable ? " removable" : "") +
            (d->isMounted ? " mounted" : "") + (d->isSDCard ? " card" : ""))
        .toStdString();
}

// Real lsblk outputs (-J -b -o NAME,TYPE,SIZE,RM,HOTPLUG,TRAN,VENDOR,MODEL,LABEL,MOUNTPOINT), trimmed.
const char* kLsblk = R"({"blockdevices":[
 {"name":"nvme0n1","type":"disk","size":512110190592,"rm":false,"hotplug":false,"tran":"nvme","vendor":null,
  "model":"Samsung SSD 970 EVO Plus 500GB","label":null,"mountpoint":null,
  "children":[{"name":"nvme0n1p2","type":"part","size":511000000000,"mountpoint":"/"}]},
 {"name":"sda","type":"disk","size":63864569856,"rm":true,"hotplug":true,"tran":"usb","vendor":"Generic-",
  "model":"SD/MMC","label":null,"mountpoint":null,
  "children":[{"name":"sda1","type":"part","label":"EOS_DIGITAL","mountpoint":"/media/u/EOS_DIGITAL"}]},
 {"name":"sdc","type":"disk","size":128043712512,"rm":true,"hotplug":true,"tran":"usb","vendor":"SanDisk",
  "model":"Ultra USB 3.0","label":"STICK","mountpoint":"/media/u/STICK"},
 {"name":"sdd","type":"disk","size":"15931539456","rm":"1","hotplug":"1","tran":"usb","vendor":"APPLE",
  "model":"SD Card Reader","label":null,"mountpoint":null},
 {"name":"mmcblk0","type":"disk","size":63864569856,"rm":false,"hotplug":false,"tran":null,"vendor":null,
  "model":null,"label":null,"mountpoint":null,
  "children":[{"name":"mmcblk0p1","type":"part","label":"NIKON D750","mountpoint":null}]},
 {"name":"vda","type":"disk","size":274877906944,"rm":false,"hotplug":false,"tran":null,"vendor":"0x1af4",
  "model":null,"label":null,"mountpoint":"/"},
 {"name":"sda1","type":"part","size":1,"rm":true,"hotplug":true,"tran":"usb"},
 {"name":"../../etc","type":"disk","size":1,"rm":true,"hotplug":true,"tran":"usb","model":"SD Card"}
]})";

// lsblk on the PATH for the real source to run, answering from the canned output
// (none once that is gone) and no longer for sda once it is `gone`.
struct FakeLsblk {
    test::TempDir dir;
    const std::string path = std::getenv("PATH");
    FakeLsblk() {
        std::ofstream(dir / "disks.json") << kLsblk;
        std::ofstream(dir / "lsblk") << "#!/bin/sh\ncd \"$(dirname \"$0\")\" || exit 1\n"
                                        "[ -e gone ] && [ \"$5\" = /dev/sda ] || cat disks.json\n";
        std::filesystem::permissions(dir / "lsblk", std::filesystem::perms::owner_all);
        ::setenv("PATH", (dir.path().string() + ":" + path).c_str(), 1);
    }
    ~FakeLsblk() { ::setenv("PATH", path.c_str(), 1); }
};

TEST(DiskEnumerator, LsblkDisksAreNamedClassifiedAndSortedCardsFirst) {
    std::vector<std::string> disks;
    const FakeLsblk lsblk;
    for (const DiskInfo& d : DiskEnumerator(makeLsblkSource()).enumerateDisks()) disks.push_back(describe(d));
    EXPECT_EQ(disks, (std::vector<std::string>{
                         "/dev/sda EOS_DIGITAL 63.86 GB removable mounted card",  // generic SD/MMC reader
                         "/dev/sdd APPLE SD Card Reader 15.93 GB removable card",
                         "/dev/mmcblk0 NIKON D750 63.86 GB card",  // built-in slot
                         "/dev/sdc STICK 128.04 GB removable mounted",  // a memory stick is no card reader
                         "/dev/nvme0n1 Samsung SSD 970 EVO Plus 500GB 512.11 GB mounted",  // the system
                         "/dev/vda vda 274.88 GB mounted",  // a virtual disk: its vendor is a number
                     }));
    std::ofstream(lsblk.dir / "gone");
    EXPECT_EQ(DiskEnumerator(makeLsblkSource()).enumerateDisks().size(), 5);
    std::filesystem::remove(lsblk.dir / "disks.json");
    EXPECT_TRUE(DiskEnumerator(makeLsblkSource()).enumerateDisks().isEmpty());
    EXPECT_FALSE(parseLsblk("{\"blockdevices\":3}"));
}

TEST(DiskEnumerator, DiskutilRulesHoldOnPropertyLists) {
    auto plist = [](const std::string& dict) {
        return R"(<?xml version="1.0" encoding="UTF-8"?><!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" )"
               R"("http://www.apple.com/DTDs/PropertyList-1.0.dtd"><plist version="1.0"><dict>)" +
               dict + "</dict></plist>";
    };
    const std::pair<std::string, std::string> rows[] = {
        {"<key>MediaType</key><string> SD </string><key>WholeDisk</key><true/>"  // built-in slot
         "<key>TotalSize</key><integer>63864569856</integer>",
         "/dev/rdisk4 disk4 63.86 GB card"},
        {"<key>IORegistryEntryName</key><string>Generic SD Card Reader Media</string>"
         "<key>WholeDisk</key><true/><key>MediaName</key><string>Media</string>",
         "/dev/rdisk4 Media Zero KB card"},
        {"<key>BusProtocol</key><string>SD</string><key>WholeDisk</key><true/><key>VolumeName</key><string></string>",
         "/dev/rdisk4  Zero KB card"},
        {"<key>WholeDisk</key><true/><key>TotalSize</key><string>9</string>"  // wrong types count as absent
         "<key>VolumeName</key><integer>3</integer>",
         "/dev/rdisk4 disk4 Zero KB"},
        {"<key>WholeDisk</key><false/><key>MediaType</key><string>SD</string>", "-"},  // a partition
    };
    for (const auto& [dict, want] : rows)
        EXPECT_EQ(describe(diskInfoFromProperties("disk4", "/dev/rdisk4", parseDiskutilInfo(plist(dict)).value())), want);
    const auto ids = parseDiskutilList(plist(
        "<key>AllDisksAndPartitions</key><array>"
        "<dict><key>DeviceIdentifier</key><string>disk10</string><key>Partitions</key><array><dict>"
        "<key>DeviceIdentifier</key><string>disk10s1</string></dict></array></dict>"
        "<dict><key>Content</key><string>x</string></dict>"
        "<dict><key>DeviceIdentifier</key><string>disk4</string></dict></array>"));
    EXPECT_EQ(ids, (std::vector<std::string>{"disk10", "disk4"}));
    EXPECT_FALSE(parseDiskutilList("not xml"));
    EXPECT_FALSE(parseDiskutilInfo(plist("<key>a</key>")));  // a key without a value
}

}  // namespace
}  // namespace vf
