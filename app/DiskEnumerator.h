#pragma once
// The whole disks offered to the user, memory cards first.

#include <QList>
#include <QMetaType>
#include <QString>
#include <memory>
#include <optional>

#include "platform/DiskProperties.h"

namespace vf {

struct DiskInfo {
    QString devicePath;  // what the scanner opens; also the identity
    QString name;
    QString size;  // "63.9 GB"
    QString mediaType;
    bool isRemovable = false;
    bool isWholeDisk = true;
    bool isMounted = false;
    bool isSDCard = false;  // a card in a slot or a card reader

    const QString& id() const { return devicePath; }
    bool operator==(const DiskInfo& o) const {
        return devicePath == o.devicePath && name == o.name && size == o.size && isMounted == o.isMounted;
    }
};

size_t qHash(const DiskInfo& d, size_t seed = 0);

// The record for one disk's properties; nothing for anything but a whole disk.
std::optional<DiskInfo> diskInfoFromProperties(const QString& identifier, const QString& devicePath,
                                               const DiskProperties& p);

// Card readers first, then removable disks, then by device path.
void sortDisks(QList<DiskInfo>& disks);

class DiskEnumerator {
public:
    DiskEnumerator();  // the platform's own source
    explicit DiskEnumerator(std::shared_ptr<DiskPropertySource> source);

    // Blocks while the system tool runs; empty when the list cannot be read.
    QList<DiskInfo> enumerateDisks() const;
    std::optional<DiskInfo> diskInfo(const QString& identifier) const;

private:
    std::shared_ptr<DiskPropertySource> source_;
};

}  // namespace vf

Q_DECLARE_METATYPE(vf::DiskInfo)
