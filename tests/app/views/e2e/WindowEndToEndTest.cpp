// The application's own window under a real X server (Xvfb), as root: a card
// made by mkfs.vfat and mtools as a read-only loop device, offered as an SD
// card; the real scanner started through the direct launcher; the recovered
// files and their thumbnails shown; the export compared byte for byte.

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "app/views/AppDelegate.h"
#include "app/views/RecoveredFilesPanel.h"
#include "platform/HelperLaunch.h"
#include "platform/PowerActivity.h"
#include "tests/support/EndToEnd.h"
#include "tests/support/TestSupport.h"

#if defined(__SANITIZE_ADDRESS__)
// Qt's session-bus client under Xvfb leaves a buffer of the system's libdbus at exit.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }
#endif

namespace vf {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// An X server of the test's own on a free display, ended when the test ends.
class VirtualDisplay {
public:
    VirtualDisplay() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[0]);
            const std::string fd = std::to_string(fds[1]);
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                     static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        // The number comes once it serves, ended by a newline; the pipe stays
        // open, as a closed one would end the server on its next write.
        readEnd_ = fds[0];
        std::string number;
        char c = 0;
        while (pid_ > 0 && ::read(readEnd_, &c, 1) == 1 && c != '\n') number += c;
        if (c == '\n' && !number.empty()) display_ = ":" + number;
    }
    ~VirtualDisplay() {
        if (readEnd_ >= 0) ::close(readEnd_);
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    bool ok() const { return !display_.empty(); }
    const std::string& name() const { return display_; }

private:
    pid_t pid_ = -1;
    int readEnd_ = -1;
    std::string display_;
};

class NoPower final : public PowerActivity {
public:
    std::unique_ptr<PowerHold> begin(const std::string&, std::string& error) override {
        error = "not asked in tests";
        return nullptr;
    }
};

// The user's answers: this folder for the export; the folder is not opened.
class Answers final : public ExportDialogs {
public:
    explicit Answers(QString folder) : folder_(std::move(folder)) {}
    QString chooseFolder(const QString&, const QString&) override { return folder_; }
    void warn(const QString& message, const QString& text) override {
        ADD_FAILURE() << "warning: " << message.toStdString() << " " << text.toStdString();
    }
    bool openFolder(const QString& path) override {
        opened = path;
        return true;
    }
    QString opened;

private:
    QString folder_;
};

template <class F>
bool waitFor(F done, std::chrono::milliseconds limit) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < limit.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(10ms);
    }
    return done();
}

// Clicks the button of that text in the next modal dialog.
void answerNextDialog(const QString& button) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, poll, [poll, button] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        for (QAbstractButton* b : box->buttons())
            if (b->text() == button) {
                poll->deleteLater();
                b->click();
                return;
            }
    });
    poll->start(50);
}

TEST(WindowEndToEnd, CardInTheWindowIsScannedShownAndExportedWhole) {
    if (::geteuid() != 0 || !test::haveTool("losetup")) GTEST_SKIP() << "needs root and losetup";
    if (!test::haveTool("Xvfb")) GTEST_SKIP() << "needs Xvfb";
    if (!test::haveTool("mcopy") || !test::haveTool("ffmpeg") || !test::haveTool("exiftool"))
        GTEST_SKIP() << "mtools, ffmpeg or exiftool missing";
    test::TempDir work;
    std::string why;
    ASSERT_TRUE(test::testMedia("demo", work.path(), &why)) << why;  // card.img and its media/
    test::LoopDevice loop(work / "card.img");
    if (!loop.ok()) GTEST_SKIP() << "no loop device: " << loop.why();
    VirtualDisplay display;
    ASSERT_TRUE(display.ok()) << "Xvfb did not start";
    ::setenv("DISPLAY", display.name().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    static int argc = 1;
    static char name[] = "test_views_e2e";
    static char* argv[] = {name, nullptr};
    QApplication app(argc, argv);

    fs::create_directories(work / "tmp");
    // As the real /tmp: the root application's scanner, working as nobody, reaches its run folder.
    ::chmod(work.path().c_str(), 0755);
    ::chmod((work / "tmp").c_str(), 01777);
    fs::create_directories(work / "exported");
    HelperToolManager::Services s;
    s.launcher = makeDirectLauncher();
    s.power = std::make_shared<NoPower>();
    s.helperPath = QString::fromStdString(test::binPath("TessarineHelper"));
    s.cacheBase = QString::fromStdString((work / "cache").string());
    s.tempDir = QString::fromStdString((work / "tmp").string());
    s.launchLogPath = QString::fromStdString((work / "tmp/launch.log").string());
    auto answers = std::make_shared<Answers>(QString::fromStdString((work / "exported").string()));
    s.dialogs = answers;
    QSettings store(QString::fromStdString((work / "settings.ini").string()), QSettings::IniFormat);
    ContentView::Parts parts;
    parts.helperManager = std::make_unique<HelperToolManager>(s);
    parts.settings = std::make_unique<SettingsManager>(&store);
    UpdateChecker::Options noUpdates;
    noUpdates.feed = QUrl("http://127.0.0.1:9/appcast.json");
    noUpdates.log = [](const QString&) {};
    parts.updateChecker = std::make_unique<UpdateChecker>(noUpdates);
    DiskInfo card;
    card.devicePath = QString::fromStdString(loop.device());
    card.name = "SD Card Reader";
    card.size = "268.4 MB";
    card.isSDCard = card.isRemovable = card.isWholeDisk = true;
    parts.listDisks = [card] { return QList<DiskInfo>{card}; };

    VelliformApp velliform(app, std::move(parts));
    ContentView& view = velliform.content();
    HelperToolManager& m = view.helperManager();
    velliform.window().show();
    ASSERT_TRUE(waitFor([&] { return view.selectedDisk().has_value(); }, 5s)) << "the card is not offered";
    EXPECT_EQ(view.selectedDisk()->devicePath, card.devicePath);

    answerNextDialog("Start Scan");  // "Ready to Scan"
    view.findChild<QPushButton*>("start")->click();
    ASSERT_TRUE(waitFor([&] { return !m.isScanning() && m.statusMessage().startsWith("Done"); }, 60s))
        << m.statusMessage().toStdString() << " " << m.errorMessage().toStdString();
    EXPECT_EQ(m.errorMessage().toStdString(), "");
    const auto& files = m.recoveredFiles();
    ASSERT_EQ(files.size(), 9u) << m.statusMessage().toStdString();

    // Every file in the window shows its own thumbnail.
    const ThumbnailLoader* thumbs = view.files().thumbnails();
    const auto allShown = [&] {
        for (const auto& f : files)
            if (thumbs->thumbnail(QString::fromStdString(f.id)).isNull()) return false;
        return true;
    };
    EXPECT_TRUE(waitFor(allShown, 15s)) << "thumbnails missing";
    const QString shots = QString::fromLatin1(VF_BIN_DIR) + "/../screenshots";
    QDir().mkpath(shots);
    velliform.window().grab().save(shots + "/window-card-recovered.png");

    view.findChild<QPushButton*>("export")->click();  // nothing chosen: every file
    ASSERT_TRUE(waitFor([&] { return !m.isExporting() && !answers->opened.isEmpty(); }, 30s))
        << m.statusMessage().toStdString() << " " << m.errorMessage().toStdString();
    EXPECT_EQ(m.statusMessage().toStdString(), "Exported 9 file(s) successfully");

    // The export holds each of the card's media once, byte for byte, under the names the window showed.
    std::map<std::string, std::string> exported;
    for (const auto& e : fs::directory_iterator(work / "exported")) exported[e.path().filename()] = test::sha256(e.path());
    ASSERT_EQ(exported.size(), 9u);
    for (const auto& f : files) EXPECT_EQ(exported.count(f.fileName), 1u) << f.fileName;
    std::multiset<std::string> got;
    for (const auto& [n, hash] : exported) got.insert(hash);
    for (const auto& e : fs::directory_iterator(work / "media"))
        EXPECT_EQ(got.count(test::sha256(e.path())), 1u) << e.path().filename() << " is not exported whole";
}

}  // namespace
}  // namespace vf
