#include "tests/app/views/WindowFixture.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QTest>

#include "common/Records.h"
#include "platform/HelperLaunch.h"

namespace vf::test {

namespace {

class NoLauncher final : public HelperLauncher {
public:
    LaunchOutcome launch(const HelperInvocation&, const LaunchLog&) override {
        LaunchOutcome o;
        o.kind = LaunchOutcome::Kind::launched;
        o.exitStatus = 0;
        return o;
    }
    std::string_view name() const override { return "test"; }
    std::string_view tool() const override { return "test"; }
};

QImage picture(int i) {
    QImage img(200, 150, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, 200, 150);
    g.setColorAt(0, QColor::fromHsv((i * 47) % 360, 150, 230));
    g.setColorAt(1, QColor::fromHsv((i * 47 + 60) % 360, 200, 90));
    p.fillRect(img.rect(), g);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 90));
    p.drawEllipse(QPointF(140, 45), 18, 18);
    QPolygonF hills{{0, 150}, {60, 80}, {110, 120}, {150, 95}, {200, 150}};
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawPolygon(hills);
    return img;
}

}  // namespace

DiskInfo disk(const QString& path, const QString& name, bool sd, bool removable, bool mounted, const QString& size) {
    DiskInfo d;
    d.devicePath = path;
    d.name = name;
    d.size = size;
    d.isSDCard = sd;
    d.isRemovable = removable;
    d.isMounted = mounted;
    return d;
}

WindowFixture::WindowFixture() {
    store = std::make_unique<QSettings>(dir.filePath("settings.ini"), QSettings::IniFormat);
    HelperToolManager::Services s;
    s.launcher = std::make_shared<NoLauncher>();
    s.helperPath = "/bin/true";
    s.imageToolPath = "/bin/true";
    s.cacheBase = dir.filePath("cache");
    s.tempDir = dir.path();
    s.launchLogPath = dir.filePath("launch.log");
    s.debugLogPath = dir.filePath("debug.log");
    s.pollTimer = false;
    s.clock = clock;
    QDir().mkpath(s.cacheBase);
    ContentView::Parts parts;
    parts.helperManager = std::make_unique<ShownManager>(s);
    parts.settings = std::make_unique<SettingsManager>(store.get());
    UpdateChecker::Options u;
    u.feed = QUrl("http://127.0.0.1:9/appcast.json");
    u.log = [](const QString&) {};
    parts.updateChecker = std::make_unique<UpdateChecker>(u);
    parts.listDisks = [this] { return disks; };
    parts.diskPollMilliseconds = 0;
    view = std::make_unique<ContentView>(std::move(parts));
}

bool WindowFixture::startRun() {
    view->confirmStart();
    return QTest::qWaitFor([&] { return manager().isScanning() && manager().statusMessage() == "Scanning\u2026"; }, 5000);
}

void WindowFixture::report(int files, double progress, bool withThumbnails) {
    const QString out = manager().scanOutputDirectory();
    QDir().mkpath(out);
    ProgressInfo info;
    info.totalBytes = 63'900'000'000ull;
    info.bytesScanned = static_cast<std::uint64_t>(progress * static_cast<double>(info.totalBytes));
    info.currentOffset = info.bytesScanned;
    info.filesFound = files;
    info.phase = "Carving";
    std::vector<RecoveredFileInfo> list;
    static const char* types[] = {"JPEG", "ARW", "JPEG", "MP4", "CR3", "JPEG", "HEIC", "JPEG"};
    for (int i = 0; i < files; ++i) {
        RecoveredFileInfo f;
        const std::string type = types[i % 8];
        const std::string ext = type == "JPEG" ? "JPG" : type;
        f.fileName = f.id = (i % 3 == 0 ? "DSC0" + std::to_string(1200 + i) : "2023-07-0" + std::to_string(1 + i % 8) +
                                                                                 "_14-2" + std::to_string(i % 10) +
                                                                                 "-05_SONY_ILCE-7M3") +
                            "." + ext;
        f.fileType = type;
        f.fileSize = 2'400'000ull + static_cast<std::uint64_t>(i) * 731'113ull;
        if (i % 4 != 3) f.dateTaken = "2023:07:0" + std::to_string(1 + i % 8) + " 14:2" + std::to_string(i % 10) + ":05";
        f.offsetOnDisk = 4'194'304ull * static_cast<std::uint64_t>(i + 1);
        const std::string thumb = f.fileName.substr(0, f.fileName.rfind('.')) + ".thumb.jpg";
        f.thumbName = thumb;
        QFile(out + "/" + QString::fromStdString(f.fileName)).open(QIODevice::WriteOnly);
        if (withThumbnails) picture(i).save(out + "/" + QString::fromStdString(thumb), "JPEG", 85);
        list.push_back(f);
    }
    info.newFiles = list;
    QFile progressFile(manager().progressFilePath());
    if (progressFile.open(QIODevice::WriteOnly)) progressFile.write(QByteArray::fromStdString(encodeProgress(info)));
    progressFile.close();
    manager().pollProgress();
    QCoreApplication::processEvents();
}

}  // namespace vf::test
