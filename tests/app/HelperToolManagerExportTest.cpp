#include <QSignalSpy>
#include <gtest/gtest.h>
#include <unistd.h>

#include "app/HelperToolManager.h"
#include "common/ByteCount.h"
#include "platform/HelperLaunch.h"
#include "platform/PowerActivity.h"
#include "tests/app/QtTestApp.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/TestSupport.h"

namespace vf {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

class StartedLauncher final : public HelperLauncher {
public:
    LaunchOutcome launch(const HelperInvocation&, const LaunchLog&) override {
        return {LaunchOutcome::Kind::launched, 0, {}, {}};
    }
    std::string_view name() const override { return "test"; }
    std::string_view tool() const override { return "test"; }
};

class NoPower final : public PowerActivity {
public:
    std::unique_ptr<PowerHold> begin(const std::string&, std::string&) override { return std::make_unique<PowerHold>(); }
};

// Answers in the user's place and remembers what was asked.
class Answers final : public ExportDialogs {
public:
    QString folder;
    QStringList asked, warnings, opened;
    QString chooseFolder(const QString& message, const QString& confirm) override {
        asked << message + " / " + confirm;
        return folder;
    }
    void warn(const QString& message, const QString& text) override { warnings << message + " / " + text; }
    bool openFolder(const QString& path) override {
        opened << path;
        return true;
    }
};

// A manager after a finished scan of `device` whose cache holds the given files.
struct Scanned {
    TempDir base;
    std::shared_ptr<Answers> answers = std::make_shared<Answers>();
    std::unique_ptr<HelperToolManager> manager;
    std::map<std::string, std::vector<std::uint8_t>> cache;

    Scanned(const std::vector<std::pair<std::string, std::size_t>>& files, const QString& device = "/dev/null",
            std::uint64_t expected = 0) {
        test::ensureQtApp();
        HelperToolManager::Services s;
        s.launcher = std::make_shared<StartedLauncher>();
        s.power = std::make_shared<NoPower>();
        s.helperPath = "/bin/true";
        s.cacheBase = QString::fromStdString((base / "cache").string());
        s.tempDir = QString::fromStdString(base.path().string());
        s.launchLogPath = QString::fromStdString((base / "launch.log").string());
        s.pollTimer = false;
        s.dialogs = answers;
        manager = std::make_unique<HelperToolManager>(s);
        manager->startScan(device);
        const fs::path dir = manager->scanOutputDirectory().toStdString();
        fs::create_directories(dir);
        ProgressInfo done;
        done.isComplete = true;
        done.phase = "Complete";
        done.newFiles.emplace();
        std::uint32_t seed = 1;
        for (const auto& [name, size] : files) {
            cache[name] = test::randomBytes(size, seed++);
            test::writeFile(dir / name, cache[name]);
            RecoveredFileInfo f;
            f.id = f.fileName = name;
            f.fileType = "JPEG";
            f.fileSize = expected ? expected : size;
            done.newFiles->push_back(f);
        }
        manager->applyProgress(done);
    }

    // Runs the export to its end; the progress values seen on the way.
    std::vector<double> exportTo(const fs::path& dest,
                                 std::optional<std::vector<RecoveredFileInfo>> files = std::nullopt) {
        std::vector<double> seen;
        QObject::connect(manager.get(), &HelperToolManager::exportProgressChanged, manager.get(),
                         [&] { seen.push_back(manager->isExporting() ? manager->exportProgressValue() : -1); });
        answers->folder = QString::fromStdString(dest.string());
        manager->chooseExportDestination(std::move(files));
        QSignalSpy spy(manager.get(), &HelperToolManager::exportProgressChanged);
        while (manager->isExporting()) EXPECT_TRUE(spy.wait(10'000));
        return seen;
    }
};

TEST(HelperToolManagerExport, StatusAfterAnExport) {
    const TempDir dest;
    {
        Scanned s({{"a.jpg", 1000}, {"b.jpg", 2000}, {"c.jpg", 3000}});
        EXPECT_EQ(s.exportTo(dest.path()), (std::vector<double>{0, 1.0 / 3, 2.0 / 3, 1, -1}));
        EXPECT_EQ(s.answers->asked, QStringList{"Choose where to save recovered photos / Export Here"});
        EXPECT_EQ(s.manager->statusMessage(), "Exported 3 file(s) successfully");
        EXPECT_EQ(s.manager->errorMessage(), "");
        EXPECT_EQ(s.answers->opened, QStringList{QString::fromStdString(dest.path().string())});
        for (const auto& [name, data] : s.cache) EXPECT_EQ(test::readFile(dest / name), data) << name;
    }
    {
        // The cache copy of one file is cut short (979 of 1000 bytes).
        Scanned s({{"d.jpg", 979}, {"e.jpg", 1000}}, "/dev/null", 1000);
        const TempDir other;
        s.exportTo(other.path());
        EXPECT_EQ(s.manager->statusMessage(), "Exported 1 file(s) — 1 failed");
        EXPECT_EQ(s.manager->errorMessage(),
                  "1 file(s) could not be copied. If this scan came from an older build, scan again so truncated "
                  "cache files are discarded.");
        EXPECT_TRUE(s.answers->opened.isEmpty());
    }
    {
        // A selection: only what was chosen is counted and copied.
        Scanned s({{"f.jpg", 100}, {"g.jpg", 100}});
        const TempDir other;
        s.exportTo(other.path(), std::vector<RecoveredFileInfo>{s.manager->recoveredFiles()[1]});
        EXPECT_EQ(s.manager->statusMessage(), "Exported 1 file(s) successfully");
        EXPECT_FALSE(fs::exists(other / "f.jpg"));
        EXPECT_TRUE(fs::exists(other / "g.jpg"));
    }
}

TEST(HelperToolManagerExport, RefusesSmallVolumesAndTheCard) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
    const TempDir root;
    const test::TmpfsMount small(root / "small", "1m");
    ASSERT_TRUE(small.ok()) << small.why();
    {
        Scanned s({{"a.jpg", 1'500'000}, {"b.jpg", 600'000}});
        s.exportTo(root / "small");
        ASSERT_EQ(s.answers->warnings.size(), 1);
        EXPECT_TRUE(s.answers->warnings[0].startsWith("Not enough free space / The recovered files need " +
                                                      QString::fromStdString(formatByteCount(2'100'000)) +
                                                      ", but this destination has only "))
            << s.answers->warnings[0].toStdString();
        EXPECT_TRUE(s.answers->warnings[0].endsWith(" available. Choose another destination."));
        EXPECT_TRUE(fs::is_empty(root / "small"));
    }

    // The card itself, mounted from the loop device that stands for it.
    const auto image = root / "card.img";
    test::run("truncate -s 16M " + image.string() + " && mkfs.ext4 -q -F " + image.string());
    const test::LoopDevice card(image);
    if (!card.ok()) GTEST_SKIP() << card.why();
    fs::create_directory(root / "card");
    ASSERT_EQ(test::run("mount -o ro,noload " + card.device() + " " + (root / "card").string()).status, 0);
    Scanned s({{"a.jpg", 100}}, QString::fromStdString(card.device()));
    s.exportTo(root / "card");
    EXPECT_EQ(s.answers->warnings, QStringList{QString(HelperToolManager::kOnCardMessage) + " / " +
                                               HelperToolManager::kOnCardText});
    s.manager->exportFiles(QString::fromStdString((root / "card").string()));
    EXPECT_FALSE(s.manager->isExporting());
    EXPECT_EQ(s.manager->statusMessage(), "Export refused");
    EXPECT_EQ(s.manager->errorMessage(), HelperToolManager::kOnCardText);
    test::run("umount " + (root / "card").string());
}

}  // namespace
}  // namespace vf
