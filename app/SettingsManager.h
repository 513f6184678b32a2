#pragma once
// The two stored scan settings and the groups the settings sheet shows.

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <memory>

class QSettings;

namespace vf {

struct FormatGroup {
    QUuid id;  // made when the catalogue is built; not stable across runs
    QString brand;
    QString icon;   // symbol name
    QString color;  // "#RRGGBB"
    QStringList formats;
};

class SettingsManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(QSet<QString> enabledFormats READ enabledFormats WRITE setEnabledFormats NOTIFY enabledFormatsChanged)
    Q_PROPERTY(double minFileSizeMB READ minFileSizeMB WRITE setMinFileSizeMB NOTIFY minFileSizeMBChanged)

public:
    static constexpr const char* kEnabledFormatsKey = "vf.enabledFormats";
    static constexpr const char* kMinFileSizeKey = "vf.minFileSizeMB";

    // The application's own settings store.
    explicit SettingsManager(QObject* parent = nullptr);
    // A given store (tests); it must outlive the manager.
    explicit SettingsManager(QSettings* store, QObject* parent = nullptr);
    ~SettingsManager() override;

    const QSet<QString>& enabledFormats() const { return enabledFormats_; }
    void setEnabledFormats(const QSet<QString>& formats);
    double minFileSizeMB() const { return minFileSizeMB_; }
    void setMinFileSizeMB(double mb);
    // The size in whole bytes, as the scanner takes it.
    quint64 minFileSizeBytes() const;

    void saveFormats();
    bool isPartiallyEnabled(const FormatGroup& group) const;
    bool isFullyEnabled(const FormatGroup& group) const;
    void toggleGroup(const FormatGroup& group);

    static const QSet<QString>& allFormats();
    static const QList<FormatGroup>& allGroups();

signals:
    void enabledFormatsChanged();
    void minFileSizeMBChanged();

private:
    void load();

    std::unique_ptr<QSettings> ownStore_;
    QSettings* store_ = nullptr;
    QSet<QString> enabledFormats_;
    double minFileSizeMB_ = 1.0;
};

}  // namespace vf
