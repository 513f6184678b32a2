#include "app/DiskEnumerator.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/app/AppTest.h"

namespace vf {
namespace {

// Disks as a canned lsblk output gives them.
class CannedSource final : public DiskPropertySource {
public:
    std::map<std::string, DiskProperties> disks;
    std::vector<std::string> order;
    bool listFails = false;
    std::optional<std::vector<std::string>> list(std::string&) override {
        return listFails ? std::nullopt : std::optional(order);
    }
    std::optional<DiskProperties> details(const std::string& id, std::string&) override {
        auto it = disks.find(id);
        return it == disks.end() ? std::nullopt : std::optional(it->second);
    }
    std::string devicePath(const std::string& id) const override { return "/dev/" + id; }
};

std::shared_ptr<CannedSource> fromLsblk(const char* json) {
    auto s = std::make_shared<CannedSource>();
    const auto disks = parseLsblk(json);
    for (const auto& d : disks.value()) {
        s->order.push_back(d.name);
        s->disks[d.name] = d.properties;
    }
    return s;
}

// Real lsblk outputs (-J -b -o NAME,TYPE,SIZE,RM,HOTPLUG,TRAN,VENDOR,MODEL,LABEL,MOUNTPOINT), trimmed.
const char* kLsblk = R"({"blockdevices":[
 {"name":"nvme0n1","type":"disk","size":512110190592,"rm":false,"hotplug":false,"tran":"nvme","vendor":null,
  "model":"Samsung SSD 970 EVO Plus 500GB","label":null,"mountpoint":null,
  "children":[{"name":"nvme0n1p2","type":"part","size":511000000000,"mountpoint":"/"}]},
 {"name":"sda","type":"disk","size":63864569856,"rm":true,"hotplug":true,"tran":"usb","vendor":"Generic-",
  "model":"SD/MMC","label":null,"mountpoint":null,
  "children":[{"name":"sda1","type":"part","label":"EOS_DIGITAL","mountpoint":"/media/u/EOS_DIGITAL"}]},
 {"name":"sdb","type":"disk","size":31914983424,"rm":true,"hotplug":true,"tran":"usb","vendor":"Generic",
  "model":"Multi-Card","label":null,"mountpoint":null},
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

TEST(DiskEnumerator, LsblkDisksAreNamedClassifiedAndSortedCardsFirst) {
    const QList<DiskInfo> disks = DiskEnumerator(fromLsblk(kLsblk)).enumerateDisks();
    struct Row {
        QString path, name, size;
        bool removable, mounted, card;
    };
    const Row expected[] = {
        {"/dev/sda", "EOS_DIGITAL", "63.86 GB", true, true, true},  // generic SD/MMC reader
        {"/dev/sdb", "Generic Multi-Card", "31.91 GB", true, false, true},
        {"/dev/sdd", "APPLE SD Card Reader", "15.93 GB", true, false, true},
        {"/dev/mmcblk0", "NIKON D750", "63.86 GB", false, false, true},  // built-in slot
        {"/dev/sdc", "STICK", "128.04 GB", true, true, false},  // a memory stick is no card reader
        {"/dev/nvme0n1", "Samsung SSD 970 EVO Plus 500GB", "512.11 GB", false, true, false},  // the system
        {"/dev/vda", "vda", "274.88 GB", false, true, false},  // a virtual disk: its vendor is a number
    };
    ASSERT_EQ(disks.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        const Row& x = expected[i];
        const DiskInfo& d = disks[static_cast<qsizetype>(i)];
        SCOPED_TRACE(x.path.toStdString());
        EXPECT_EQ(d.devicePath, x.path);
        EXPECT_EQ(d.name, x.name);
        EXPECT_EQ(d.size, x.size);
        EXPECT_EQ(d.isRemovable, x.removable);
        EXPECT_EQ(d.isMounted, x.mounted);
        EXPECT_EQ(d.isSDCard, x.card);
    }
    auto failing = std::make_shared<CannedSource>();
    failing->listFails = true;
    EXPECT_TRUE(DiskEnumerator(failing).enumerateDisks().isEmpty());
    auto vanishing = fromLsblk(kLsblk);
    vanishing->disks.erase("sda");
    EXPECT_EQ(DiskEnumerator(vanishing).enumerateDisks().size(), 6);
    EXPECT_FALSE(parseLsblk("{\"blockdevices\":3}"));
}

TEST(DiskEnumerator, DiskutilRulesHoldOnPropertyLists) {
    auto plist = [](const std::string& dict) {
        return R"(<?xml version="1.0" encoding="UTF-8"?><!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" )"
               R"("http://www.apple.com/DTDs/PropertyList-1.0.dtd"><plist version="1.0"><dict>)" +
               dict + "</dict></plist>";
    };
    struct Row {
        const char* name;
        std::string dict;
        std::optional<bool> card;  // nothing: no record
        QString diskName, size;
    };
    const Row rows[] = {
        {"built-in slot", "<key>MediaType</key><string> SD </string><key>WholeDisk</key><true/>"
                          "<key>TotalSize</key><integer>63864569856</integer>",
         true, "disk4", "63.86 GB"},
        {"reader by registry name", "<key>IORegistryEntryName</key><string>Generic SD Card Reader Media</string>"
                                    "<key>WholeDisk</key><true/><key>MediaName</key><string>Media</string>",
         true, "Media", "Zero KB"},
        {"bus", "<key>BusProtocol</key><string>SD</string><key>WholeDisk</key><true/>"
                "<key>VolumeName</key><string></string>",
         true, "", "Zero KB"},
        {"wrong types count as absent", "<key>WholeDisk</key><true/><key>TotalSize</key><string>9</string>"
                                        "<key>VolumeName</key><integer>3</integer>",
         false, "disk4", "Zero KB"},
        {"partition", "<key>WholeDisk</key><false/><key>MediaType</key><string>SD</string>", std::nullopt, "", ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto d = diskInfoFromProperties("disk4", "/dev/rdisk4", parseDiskutilInfo(plist(row.dict)).value());
        ASSERT_EQ(d.has_value(), row.card.has_value());
        if (!d) continue;
        EXPECT_EQ(d->isSDCard, *row.card);
        EXPECT_EQ(d->name, row.diskName);
        EXPECT_EQ(d->size, row.size);
    }
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
