#include "app/SettingsManager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSettings>

namespace vf {

SettingsManager::SettingsManager(QObject* parent)
    : QObject(parent), ownStore_(std::make_unique<QSettings>()), store_(ownStore_.get()) {
    load();
}

SettingsManager::SettingsManager(QSettings* store, QObject* parent) : QObject(parent), store_(store) { load(); }

SettingsManager::~SettingsManager() = default;

void SettingsManager::load() {
    std::optional<QSet<QString>> stored;
    const QVariant data = store_->value(kEnabledFormatsKey);
    if (data.isValid()) {
        QJsonParseError err{};
        const QJsonDocument doc = QJsonDocument::fromJson(data.toByteArray(), &err);
        if (err.error == QJsonParseError::NoError && doc.isArray()) {
            QSet<QString> set;
            bool allText = true;
            for (const QJsonValue& v : doc.array()) {
                if (!v.isString()) {
                    allText = false;
                    break;
                }
                set.insert(v.toString());
            }
            if (allText) stored = set;
        }
    }
    if (stored) {
        // MDC was split from MRW; a set chosen before the split keeps both.
        if (stored->contains("MRW")) stored->insert("MDC");
        enabledFormats_ = *stored;
    } else {
        enabledFormats_ = allFormats();
    }
    // 0 is the user's "No limit" and is kept; only a missing or unusable value takes the default.
    bool isNumber = false;
    const double mb = store_->value(kMinFileSizeKey).toDouble(&isNumber);
    minFileSizeMB_ = isNumber && mb >= 0 ? mb : 1.0;
}

void SettingsManager::setEnabledFormats(const QSet<QString>& formats) {
    enabledFormats_ = formats;
    emit enabledFormatsChanged();
    saveFormats();
}

void SettingsManager::setMinFileSizeMB(double mb) {
    minFileSizeMB_ = mb;
    emit minFileSizeMBChanged();
    store_->setValue(kMinFileSizeKey, mb);
}

quint64 SettingsManager::minFileSizeBytes() const {
    const double bytes = minFileSizeMB_ * 1024.0 * 1024.0;
    // NaN and negatives mean no limit; absurd sizes are capped.
    if (!(bytes > 0)) return 0;
    if (bytes >= 1.8e19) return UINT64_MAX;
    return static_cast<quint64>(bytes);
}

void SettingsManager::saveFormats() {
    QJsonArray array;
    for (const QString& f : enabledFormats_) array.append(f);
    store_->setValue(kEnabledFormatsKey, QJsonDocument(array).toJson(QJsonDocument::Compact));
}

bool SettingsManager::isPartiallyEnabled(const FormatGroup& group) const {
    qsizetype on = 0;
    for (const QString& f : group.formats) on += enabledFormats_.contains(f) ? 1 : 0;
    return on != 0 && on != group.formats.size();
}

bool SettingsManager::isFullyEnabled(const FormatGroup& group) const {
    for (const QString& f : group.formats)
        if (!enabledFormats_.contains(f)) return false;
    return true;
}

void SettingsManager::toggleGroup(const FormatGroup& group) {
    const bool allOn = isFullyEnabled(group);
    for (const QString& f : group.formats) {
        if (allOn)
            enabledFormats_.remove(f);
        else
            enabledFormats_.insert(f);
        emit enabledFormatsChanged();
        saveFormats();
    }
}

const QList<FormatGroup>& SettingsManager::allGroups() {
    static const QList<FormatGroup> groups = [] {
        struct Row {
            const char* brand;
            const char* icon;
            const char* color;
            QStringList formats;
        };
        const Row rows[] = {
            {"Canon", "camera.fill", "#E5322D", {"CR2", "CR3", "CRW"}},
            {"Nikon", "camera.fill", "#F2B705", {"NEF", "NRW"}},
            {"Sony", "camera.fill", "#0070CC", {"ARW", "SR2", "SRF"}},
            {"Fujifilm", "camera.fill", "#4CAF50", {"RAF"}},
            {"Olympus/OM", "camera.fill", "#00ACC1", {"ORF"}},
            {"Panasonic", "camera.fill", "#3949AB", {"RW2"}},
            {"Pentax/Ricoh", "camera.fill", "#7B1FA2", {"PEF", "DNG"}},
            {"Samsung", "camera.fill", "#1565C0", {"SRW"}},
            {"Hasselblad", "camera.aperture", "#F57F17", {"3FR", "FFF"}},
            {"Phase One", "camera.aperture", "#BF360C", {"IIQ"}},
            {"Sigma", "camera.fill", "#37474F", {"X3F"}},
            {"Minolta", "camera.fill", "#6D4C41", {"MRW", "MDC"}},
            {"Leica", "camera.fill", "#C62828", {"RWL"}},
            {"Epson", "camera.fill", "#2E7D32", {"ERF"}},
            {"Kodak", "camera.fill", "#E65100", {"DCR", "KDC"}},
            {"Blackmagic", "video.fill", "#212121", {"BRAW"}},
            {"DNG (Universal)", "doc.fill", "#546E7A", {"DNG"}},
            {"Images", "photo.fill", "#00838F",
             {"JPEG", "HEIC", "PNG", "GIF", "BMP", "AVIF", "WebP", "TIFF", "PPM", "RAW"}},
            // 3GP, MKV, WebM, MPEG, WMV and FLV are offered although the scanner
            // knows no such format yet; it drops them from its filter.
            {"Video", "film.fill", "#6A1B9A",
             {"MOV", "MP4", "3GP", "AVI", "MTS", "M2TS", "MKV", "WebM", "MPEG", "WMV", "FLV", "MXF"}},
        };
        QList<FormatGroup> out;
        for (const Row& r : rows) out.append({QUuid::createUuid(), r.brand, r.icon, r.color, r.formats});
        return out;
    }();
    return groups;
}

const QSet<QString>& SettingsManager::allFormats() {
    static const QSet<QString> all = [] {
        QSet<QString> s;
        for (const FormatGroup& g : allGroups())
            for (const QString& f : g.formats) s.insert(f);
        return s;
    }();
    return all;
}

}  // namespace vf
