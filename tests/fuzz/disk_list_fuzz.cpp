// The disk tools' outputs as the disk list reads them: diskutil's property
// lists and lsblk's JSON, and each disk's record made from them.
#include <cstdint>
#include <string_view>

#include "app/DiskEnumerator.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)vf::parseDiskutilList(text);
    if (auto p = vf::parseDiskutilInfo(text)) (void)vf::diskInfoFromProperties("disk4", "/dev/rdisk4", *p);
    if (auto disks = vf::parseLsblk(text))
        for (const auto& d : *disks)
            (void)vf::diskInfoFromProperties(QString::fromStdString(d.name), "/dev/x", d.properties);
    return 0;
}
