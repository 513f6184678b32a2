#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/SettingsManager.h"
#include "common/FormatNames.h"

namespace vf {
namespace {

TEST(SettingsManager, StoredValuesComeBackAsTheyWereMeant) {
    const QSet<QString>& all = SettingsManager::allFormats();
    const struct {
        const char* name;
        QVariant formats, size;
        QSet<QString> expectFormats;
        double expectMB;
    } rows[] = {
        {"first start", QVariant(), QVariant(), all, 1.0},
        {"MRW brings MDC", QByteArray(R"(["MRW","JPEG"])"), 2.5, {"MRW", "MDC", "JPEG"}, 2.5},
        {"empty stays empty, no limit stays", QByteArray("[]"), 0.0, {}, 0.0},
        {"not an array", QByteArray(R"({"a":1})"), -3.0, all, 1.0},
        {"not all texts, size no number", QByteArray(R"(["JPEG",3])"), QByteArray("lots"), all, 1.0},
        {"not JSON", QByteArray("JPEG,PNG"), 0.25, all, 0.25},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QTemporaryDir dir;
        QSettings store(dir.filePath("s.ini"), QSettings::IniFormat);
        if (row.formats.isValid()) store.setValue(SettingsManager::kEnabledFormatsKey, row.formats);
        if (row.size.isValid()) store.setValue(SettingsManager::kMinFileSizeKey, row.size);
        SettingsManager m(&store);
        EXPECT_EQ(m.enabledFormats(), row.expectFormats);
        EXPECT_DOUBLE_EQ(m.minFileSizeMB(), row.expectMB);
        EXPECT_EQ(store.contains(SettingsManager::kEnabledFormatsKey), row.formats.isValid());  // loading writes nothing
    }
    for (std::string_view name : kFormatNames)  // the settings offer every format the scanner knows
        EXPECT_TRUE(all.contains(QString::fromUtf8(name.data(), name.size()))) << name;
}

TEST(SettingsManager, GroupsSwitchWholeAndShareDng) {
    const QTemporaryDir dir;
    QSettings store(dir.filePath("s.ini"), QSettings::IniFormat);
    SettingsManager m(&store);
    auto group = [](const QString& brand) {
        for (const FormatGroup& g : SettingsManager::allGroups())
            if (g.brand == brand) return g;
        return FormatGroup{};
    };
    m.toggleGroup(group("Pentax/Ricoh"));  // all on: all off, the DNG that others share with it
    EXPECT_FALSE(m.enabledFormats().contains("PEF") || m.enabledFormats().contains("DNG"));
    EXPECT_FALSE(m.isFullyEnabled(group("DNG (Universal)")) || m.isPartiallyEnabled(group("DNG (Universal)")));
    m.setEnabledFormats({"CR2"});
    EXPECT_TRUE(m.isPartiallyEnabled(group("Canon")));
    m.toggleGroup(group("Canon"));  // partly on: all on
    EXPECT_EQ(m.enabledFormats(), (QSet<QString>{"CR2", "CR3", "CRW"}));
    m.setMinFileSizeMB(0);
    EXPECT_EQ(m.minFileSizeBytes(), 0u);
    SettingsManager reread(&store);  // what is set is stored at once, for the next start
    EXPECT_EQ(reread.enabledFormats(), m.enabledFormats());
    EXPECT_DOUBLE_EQ(reread.minFileSizeMB(), 0.0);
    m.setMinFileSizeMB(1e20);
    EXPECT_EQ(m.minFileSizeBytes(), UINT64_MAX);
}

}  // namespace
}  // namespace vf
