#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/SettingsManager.h"
#include "common/FormatNames.h"

namespace vf {
namespace {

struct Store {
    QTemporaryDir dir;
    QSettings settings{dir.filePath("s.ini"), QSettings::IniFormat};
};

TEST(SettingsManager, FirstStartEnablesEveryNameAndOneMegabyte) {
    Store s;
    SettingsManager m(&s.settings);
    EXPECT_EQ(m.enabledFormats().size(), 47);
    EXPECT_EQ(m.enabledFormats(), SettingsManager::allFormats());
    EXPECT_DOUBLE_EQ(m.minFileSizeMB(), 1.0);
    EXPECT_EQ(m.minFileSizeBytes(), 1048576u);
    EXPECT_FALSE(s.settings.contains(SettingsManager::kEnabledFormatsKey));  // loading writes nothing
}

TEST(SettingsManager, EveryScannerFormatIsOffered) {
    for (std::string_view name : kFormatNames)
        EXPECT_TRUE(SettingsManager::allFormats().contains(QString::fromUtf8(name.data(), name.size()))) << name;
}

}  // namespace
}  // namespace vf
