// Disk properties from diskutil's property lists and from lsblk's JSON.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QVariant>
#include <QXmlStreamReader>

#include "platform/DiskProperties.h"

namespace vf {
namespace {

constexpr int kMaxPlistDepth = 32;

// One property-list value: dict, array, string, integer, real, true, false,
// data, date. Nothing for anything malformed or nested too deep.
std::optional<QVariant> readPlistValue(QXmlStreamReader& xml, int depth) {
    if (depth > kMaxPlistDepth) return std::nullopt;
    const QStringView tag = xml.name();
    if (tag == u"dict") {
        QVariantMap map;
        while (xml.readNextStartElement()) {
            if (xml.name() != u"key") return std::nullopt;
            const QString key = xml.readElementText();
            if (xml.hasError() || !xml.readNextStartElement()) return std::nullopt;
            auto value = readPlistValue(xml, depth + 1);
            if (!value) return std::nullopt;
            map.insert(key, *value);
        }
        if (xml.hasError()) return std::nullopt;
        return QVariant(map);
    }
    if (tag == u"array") {
        QVariantList list;
        while (xml.readNextStartElement()) {
            auto value = readPlistValue(xml, depth + 1);
            if (!value) return std::nullopt;
            list.append(*value);
        }
        if (xml.hasError()) return std::nullopt;
        return QVariant(list);
    }
    if (tag == u"true" || tag == u"false") {
        const bool v = tag == u"true";
        xml.skipCurrentElement();
        return QVariant(v);
    }
    const QString tagName = tag.toString();
    const QString text = xml.readElementText();
    if (xml.hasError()) return std::nullopt;
    if (tagName == u"string") return QVariant(text);
    if (tagName == u"integer") {
        bool ok = false;
        const qlonglong v = text.trimmed().toLongLong(&ok);
        if (!ok) return std::nullopt;
        return QVariant(v);
    }
    if (tagName == u"real") {
        bool ok = false;
        const double v = text.trimmed().toDouble(&ok);
        if (!ok) return std::nullopt;
        return QVariant(v);
    }
    if (tagName == u"data") return QVariant(QByteArray::fromBase64(text.toLatin1()));
    if (tagName == u"date") return QVariant(text);  // kept as text; nothing reads a date
    return std::nullopt;
}

std::optional<QVariant> parsePlist(std::string_view text) {
    QXmlStreamReader xml(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
    if (!xml.readNextStartElement() || xml.name() != u"plist") return std::nullopt;
    if (!xml.readNextStartElement()) return std::nullopt;
    auto value = readPlistValue(xml, 0);
    if (!value) return std::nullopt;
    xml.skipCurrentElement();  // the rest of <plist>
    if (xml.hasError()) return std::nullopt;
    return value;
}

std::optional<std::string> textKey(const QVariantMap& m, const char* key) {
    const auto it = m.find(QString::fromLatin1(key));
    if (it == m.end() || it->typeId() != QMetaType::QString) return std::nullopt;
    return it->toString().toStdString();
}

std::optional<bool> boolKey(const QVariantMap& m, const char* key) {
    const auto it = m.find(QString::fromLatin1(key));
    if (it == m.end() || it->typeId() != QMetaType::Bool) return std::nullopt;
    return it->toBool();
}

std::optional<std::int64_t> integerKey(const QVariantMap& m, const char* key) {
    const auto it = m.find(QString::fromLatin1(key));
    if (it == m.end() || it->typeId() != QMetaType::LongLong) return std::nullopt;
    return it->toLongLong();
}

// Standard output of a finished program; stderr is left alone.
std::optional<QByteArray> runTool(const QString& program, const QStringList& args, std::string& error) {
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.setStandardErrorFile(QProcess::nullDevice());
    p.start(program, args, QIODevice::ReadOnly);
    if (!p.waitForStarted(10000)) {
        error = p.errorString().toStdString();
        return std::nullopt;
    }
    p.closeWriteChannel();
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished(1000);
        error = "timed out";
        return std::nullopt;
    }
    return p.readAllStandardOutput();
}

class DiskutilSource final : public DiskPropertySource {
public:
    std::optional<std::vector<std::string>> list(std::string& error) override {
        auto out = runTool("/usr/sbin/diskutil", {"list", "-plist"}, error);
        if (!out) return std::nullopt;
        auto ids = parseDiskutilList(std::string_view(out->constData(), static_cast<std::size_t>(out->size())));
        if (!ids) error = "not a property list";
        return ids;
    }
    std::optional<DiskProperties> details(const std::string& id, std::string& error) override {
        auto out = runTool("/usr/sbin/diskutil", {"info", "-plist", QString::fromStdString(id)}, error);
        if (!out) return std::nullopt;
        auto props = parseDiskutilInfo(std::string_view(out->constData(), static_cast<std::size_t>(out->size())));
        if (!props) error = "not a property list";
        return props;
    }
    std::string devicePath(const std::string& id) const override { return "/dev/r" + id; }
};

}  // namespace

std::optional<std::vector<std::string>> parseDiskutilList(std::string_view xml) {
    auto root = parsePlist(xml);
    if (!root) return std::nullopt;
    std::vector<std::string> ids;
    if (root->typeId() != QMetaType::QVariantMap) return ids;
    const QVariant all = root->toMap().value("AllDisksAndPartitions");
    if (all.typeId() != QMetaType::QVariantList) return ids;
    for (const QVariant& entry : all.toList()) {
        if (entry.typeId() != QMetaType::QVariantMap) continue;
        if (auto id = textKey(entry.toMap(), "DeviceIdentifier")) ids.push_back(*id);
    }
    return ids;
}

std::optional<DiskProperties> parseDiskutilInfo(std::string_view xml) {
    auto root = parsePlist(xml);
    if (!root || root->typeId() != QMetaType::QVariantMap) return std::nullopt;
    const QVariantMap m = root->toMap();
    DiskProperties p;
    p.totalSize = integerKey(m, "TotalSize");
    p.mediaType = textKey(m, "MediaType");
    p.removable = boolKey(m, "Removable");
    p.wholeDisk = boolKey(m, "WholeDisk");
    p.volumeName = textKey(m, "VolumeName");
    p.mediaName = textKey(m, "MediaName");
    p.ioRegistryEntryName = textKey(m, "IORegistryEntryName");
    p.mountPoint = textKey(m, "MountPoint");
    p.busProtocol = textKey(m, "BusProtocol");
    return p;
}

namespace {

std::optional<std::string> jsonText(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString()) return std::nullopt;
    const QString t = v.toString().trimmed();
    if (t.isEmpty()) return std::nullopt;
    return t.toStdString();
}

// lsblk writes flags as booleans, or as "0"/"1" in older versions.
bool jsonFlag(const QJsonObject& o, const char* key) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isBool()) return v.toBool();
    if (v.isString()) return v.toString() == "1";
    if (v.isDouble()) return v.toDouble() != 0;
    return false;
}

std::optional<std::int64_t> jsonSize(const QJsonObject& o) {
    const QJsonValue v = o.value(QLatin1String("size"));
    if (v.isDouble() && v.toDouble() >= 0 && v.toDouble() < 9.2e18) return static_cast<std::int64_t>(v.toDouble());
    if (v.isString()) {
        bool ok = false;
        const qlonglong n = v.toString().toLongLong(&ok);
        if (ok && n >= 0) return n;
    }
    return std::nullopt;
}

// The mount points of a device and its partitions ("mountpoints" lists them,
// older lsblk gives one "mountpoint").
bool isSystemMount(const QString& m) {
    return m == "/" || m == "/boot" || m == "/boot/efi" || m == "/usr" || m == "[SWAP]";
}

void collectMounts(const QJsonObject& o, DiskProperties& p, int depth) {
    if (depth > 8) return;
    QStringList mounts;
    if (const QJsonValue v = o.value(QLatin1String("mountpoint")); v.isString()) mounts << v.toString();
    for (const QJsonValue& v : o.value(QLatin1String("mountpoints")).toArray())
        if (v.isString()) mounts << v.toString();
    for (const QString& m : mounts) {
        if (m.isEmpty()) continue;
        if (!p.mountPoint) p.mountPoint = m.toStdString();
        if (isSystemMount(m)) p.holdsSystem = true;
    }
    if (!p.volumeName) p.volumeName = jsonText(o, "label");
    for (const QJsonValue& c : o.value(QLatin1String("children")).toArray())
        if (c.isObject()) collectMounts(c.toObject(), p, depth + 1);
}

}  // namespace

std::optional<std::vector<LsblkDisk>> parseLsblk(std::string_view json) {
    QJsonParseError err{};
    const QJsonDocument doc =
        QJsonDocument::fromJson(QByteArray(json.data(), static_cast<qsizetype>(json.size())), &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject()) return std::nullopt;
    const QJsonValue devices = doc.object().value(QLatin1String("blockdevices"));
    if (!devices.isArray()) return std::nullopt;
    std::vector<LsblkDisk> out;
    for (const QJsonValue& d : devices.toArray()) {
        if (!d.isObject()) continue;
        const QJsonObject o = d.toObject();
        auto name = jsonText(o, "name");
        if (!name || name->find('/') != std::string::npos || *name == "." || *name == "..") continue;
        const std::string type = jsonText(o, "type").value_or("");
        const std::string tran = QString::fromStdString(jsonText(o, "tran").value_or("")).toLower().toStdString();
        LsblkDisk disk;
        disk.name = *name;
        DiskProperties& p = disk.properties;
        p.totalSize = jsonSize(o);
        p.wholeDisk = type == "disk";
        p.removable = jsonFlag(o, "rm") || jsonFlag(o, "hotplug");
        std::string vendor = jsonText(o, "vendor").value_or("");
        // Virtual disks report the bus's vendor number (virtio's "0x1af4"), no name.
        if (vendor.rfind("0x", 0) == 0 && vendor.size() > 2 &&
            vendor.find_first_not_of("0123456789abcdefABCDEF", 2) == std::string::npos)
            vendor.clear();
        const std::string model = jsonText(o, "model").value_or("");
        std::string product = vendor.empty() ? model : model.empty() ? vendor : vendor + " " + model;
        if (!product.empty()) {
            p.mediaName = product;
            p.ioRegistryEntryName = product;
        }
        // A card in a built-in slot sits on the MMC bus, as "SD" does there.
        const bool mmc = tran == "mmc" || name->rfind("mmcblk", 0) == 0;
        if (mmc)
            p.busProtocol = "SD";
        else if (!tran.empty())
            p.busProtocol = QString::fromStdString(tran).toUpper().toStdString();
        collectMounts(o, p, 0);
        out.push_back(std::move(disk));
    }
    return out;
}

namespace {

const QStringList kLsblkArgs{"-J", "-b", "-o", "NAME,TYPE,SIZE,RM,HOTPLUG,TRAN,VENDOR,MODEL,LABEL,MOUNTPOINT"};

class LsblkSource final : public DiskPropertySource {
public:
    std::optional<std::vector<std::string>> list(std::string& error) override {
        auto disks = query({}, error);
        if (!disks) return std::nullopt;
        std::vector<std::string> ids;
        // A reader slot without a card, or an unused memory disk, has nothing to scan.
        for (const LsblkDisk& d : *disks)
            if (d.properties.totalSize.value_or(0) > 0) ids.push_back(d.name);
        return ids;
    }
    std::optional<DiskProperties> details(const std::string& id, std::string& error) override {
        auto disks = query(QString::fromStdString(devicePath(id)), error);
        if (!disks) return std::nullopt;
        for (LsblkDisk& d : *disks)
            if (d.name == id) return std::move(d.properties);
        error = "no such disk";
        return std::nullopt;
    }
    std::string devicePath(const std::string& id) const override { return "/dev/" + id; }

private:
    std::optional<std::vector<LsblkDisk>> query(const QString& device, std::string& error) {
        QStringList args = kLsblkArgs;
        if (!device.isEmpty()) args << device;
        auto out = runTool("lsblk", args, error);
        if (!out) return std::nullopt;
        auto disks = parseLsblk(std::string_view(out->constData(), static_cast<std::size_t>(out->size())));
        if (!disks) error = "lsblk gave no disk list";
        return disks;
    }
};

}  // namespace

std::unique_ptr<DiskPropertySource> makeDiskutilSource() { return std::make_unique<DiskutilSource>(); }
std::unique_ptr<DiskPropertySource> makeLsblkSource() { return std::make_unique<LsblkSource>(); }

std::unique_ptr<DiskPropertySource> makeDefaultDiskSource() {
#ifdef __APPLE__
    return makeDiskutilSource();
#else
    return makeLsblkSource();
#endif
}

}  // namespace vf
