#include "app/DiskEnumerator.h"

#include <QHash>
#include <algorithm>
#include <cstdio>

#include "common/ByteCount.h"

namespace vf {
namespace {

// Upper case. The first seven are what card readers call themselves on the
// Mac; the rest are the names generic USB readers give on other systems.
const QStringList kCardReaderKeywords{
    "SDXC",   "SDHC",       "COMPACTFLASH", "MEMORY STICK", "SD CARD",     "SD READER",   "CARD READER",
    "SD/MMC", "SD_MMC",     "MULTI-CARD",   "MULTI CARD",   "MULTICARD",   "CARDREADER",  "CARD_READER",
    "CARD-READER", "MICROSD", "SDDR",       "CF CARD",      "CF READER",
};

bool containsKeyword(const QString& upper) {
    for (const QString& k : kCardReaderKeywords)
        if (upper.contains(k)) return true;
    return false;
}

QString text(const std::optional<std::string>& s) { return s ? QString::fromStdString(*s) : QString(); }

}  // namespace

size_t qHash(const DiskInfo& d, size_t seed) {
    return qHashMulti(seed, d.devicePath, d.name, d.size, d.isMounted);
}

std::optional<DiskInfo> diskInfoFromProperties(const QString& identifier, const QString& devicePath,
                                               const DiskProperties& p) {
    if (!p.wholeDisk.value_or(false)) return std::nullopt;
    DiskInfo d;
    const std::int64_t total = std::max<std::int64_t>(p.totalSize.value_or(0), 0);
    d.mediaType = text(p.mediaType).trimmed();
    d.isRemovable = p.removable.value_or(false);
    d.name = p.volumeName ? text(p.volumeName)
             : p.mediaName ? text(p.mediaName)
             : p.ioRegistryEntryName ? text(p.ioRegistryEntryName)
                                     : identifier;
    d.isMounted = p.mountPoint && !p.mountPoint->empty();
    const QString media = d.mediaType.toUpper();
    d.isSDCard = !p.holdsSystem && (media == "SD" || containsKeyword(media) ||
                                    containsKeyword(text(p.ioRegistryEntryName).toUpper()) ||
                                    text(p.busProtocol).toUpper() == "SD");
    d.size = QString::fromStdString(formatByteCount(static_cast<std::uint64_t>(total)));
    d.devicePath = devicePath;
    d.isWholeDisk = true;
    std::printf("📀 %s — %s (%s) removable=%s mounted=%s sdCard=%s\n", qPrintable(d.devicePath), qPrintable(d.name),
                qPrintable(d.size), d.isRemovable ? "true" : "false", d.isMounted ? "true" : "false",
                d.isSDCard ? "true" : "false");
    return d;
}

void sortDisks(QList<DiskInfo>& disks) {
    std::stable_sort(disks.begin(), disks.end(), [](const DiskInfo& a, const DiskInfo& b) {
        if (a.isSDCard != b.isSDCard) return a.isSDCard;
        if (a.isRemovable != b.isRemovable) return a.isRemovable;
        return a.devicePath < b.devicePath;
    });
}

DiskEnumerator::DiskEnumerator() : source_(makeDefaultDiskSource()) {}
DiskEnumerator::DiskEnumerator(std::shared_ptr<DiskPropertySource> source) : source_(std::move(source)) {}

QList<DiskInfo> DiskEnumerator::enumerateDisks() const {
    std::string error;
    const auto ids = source_->list(error);
    if (!ids) {
        std::printf("❌ Failed to enumerate disks: %s\n", error.c_str());
        return {};
    }
    QList<DiskInfo> disks;
    for (const std::string& id : *ids)
        if (auto d = diskInfo(QString::fromStdString(id))) disks.append(*d);
    sortDisks(disks);
    return disks;
}

std::optional<DiskInfo> DiskEnumerator::diskInfo(const QString& identifier) const {
    std::string error;
    const std::string id = identifier.toStdString();
    const auto props = source_->details(id, error);
    if (!props) {
        std::printf("❌ Failed to get info for %s: %s\n", id.c_str(), error.c_str());
        return std::nullopt;
    }
    return diskInfoFromProperties(identifier, QString::fromStdString(source_->devicePath(id)), *props);
}

}  // namespace vf
