#include <QTest>

#include <set>

#include "app/views/ThumbnailLoader.h"
#include "tests/app/views/ViewTest.h"

namespace {

vf::RecoveredFileInfo file(const std::string& name, std::optional<std::string> thumb = std::nullopt) {
    vf::RecoveredFileInfo f;
    f.id = f.fileName = name;
    f.fileType = "JPEG";
    f.thumbName = std::move(thumb);
    return f;
}

// A folder whose files appear when the test says so; reads answer at once.
struct FakeDisk {
    std::set<QString> present;
    QStringList reads;
    vf::ThumbnailLoader::ReadImage reader() {
        return [this](const QString& path, std::function<void(QImage)> done) {
            reads << path;
            QImage img;
            if (present.count(path)) {
                img = QImage(400, 300, QImage::Format_RGB32);
                img.fill(Qt::red);
            }
            done(img);
        };
    }
};

}  // namespace

class ThumbnailLoaderTest : public QObject {
    Q_OBJECT
private slots:
    void conventionalNames() {
        const std::pair<const char*, const char*> rows[] = {
            {"IMG_0001.JPG", "IMG_0001.thumb.jpg"},
            {"IMG.0001.JPG", "IMG.0001.thumb.jpg"},
            {"README", "README.thumb.jpg"},    // never the bare ".thumb.jpg"
            {".hidden", ".hidden.thumb.jpg"},  // a leading dot is no extension
        };
        for (const auto& [name, thumb] : rows) QCOMPARE(vf::ThumbnailLoader::conventionalName(name), QString(thumb));
    }

    void findsTheConventionalNameOnTheFirstAttempt() {
        FakeDisk disk;
        disk.present.insert("/run/IMG.0001.thumb.jpg");
        vf::ThumbnailLoader loader(disk.reader());
        loader.setOutputDirectory("/run");
        loader.setVisible({file("IMG.0001.JPG")});
        QVERIFY(!loader.thumbnail("IMG.0001.JPG").isNull());
        QCOMPARE(loader.attempts("IMG.0001.JPG"), 0);
        QVERIFY(loader.thumbnail("IMG.0001.JPG").width() <= 320);  // kept at display size
    }

    // A thumbnail written ten seconds after the row appears comes with the
    // fifth retry; one that never comes stops the row after 30 attempts.
    void retriesEveryTickUntilFoundOrThirtyAttempts() {
        FakeDisk disk;
        vf::ThumbnailLoader loader(disk.reader());
        loader.setOutputDirectory("/run");
        loader.setVisible({file("A.JPG", "A.thumb.jpg"), file("B.JPG", "B.thumb.jpg")});
        QCOMPARE(loader.attempts("A.JPG"), 1);
        QVERIFY(loader.isRetrying("A.JPG"));
        for (int tick = 1; tick <= 4; ++tick) loader.retryTick();
        disk.present.insert("/run/A.thumb.jpg");
        loader.retryTick();
        QVERIFY(!loader.thumbnail("A.JPG").isNull());
        QCOMPARE(loader.attempts("A.JPG"), 5);
        QVERIFY(!loader.isRetrying("A.JPG"));

        for (int tick = 0; tick < 40; ++tick) loader.retryTick();
        QCOMPARE(loader.attempts("B.JPG"), vf::ThumbnailLoader::kMaxAttempts);
        QVERIFY(!loader.isRetrying("B.JPG"));
        QVERIFY(loader.thumbnail("B.JPG").isNull());
        QCOMPARE(disk.reads.count("/run/B.thumb.jpg"), 2 * vf::ThumbnailLoader::kMaxAttempts);
    }

    void rowsOffScreenStopAndResumeWithTheirCount() {
        FakeDisk disk;
        vf::ThumbnailLoader loader(disk.reader());
        loader.setOutputDirectory("/run");
        loader.setVisible({file("A.JPG")});
        loader.retryTick();
        QCOMPARE(loader.attempts("A.JPG"), 2);
        loader.setVisible({file("C.JPG")});
        QVERIFY(!loader.isRetrying("A.JPG"));
        loader.retryTick();
        QCOMPARE(loader.attempts("A.JPG"), 2);
        loader.setVisible({file("A.JPG"), file("C.JPG")});
        QCOMPARE(loader.attempts("A.JPG"), 3);
        QCOMPARE(loader.attempts("C.JPG"), 2);
    }

    // A name from the progress file is only ever a name inside the folder.
    void namesThatLeaveTheFolderAreNotRead() {
        FakeDisk disk;
        vf::ThumbnailLoader loader(disk.reader());
        loader.setOutputDirectory("/run");
        loader.setVisible({file("x/../../etc.JPG", "../../etc/passwd")});
        QVERIFY(disk.reads.isEmpty());
        QCOMPARE(loader.attempts("x/../../etc.JPG"), 1);
    }

    void evictedPicturesLoadAgainAndANewRunForgetsAll() {
        FakeDisk disk;
        for (const char* n : {"/run/A.thumb.jpg", "/run/B.thumb.jpg"}) disk.present.insert(n);
        vf::ThumbnailLoader loader(disk.reader());
        loader.setOutputDirectory("/run");
        loader.setCacheLimitBytes(400 * 1024);  // room for one 320x240 picture
        loader.setVisible({file("A.JPG")});
        loader.setVisible({file("B.JPG")});
        QVERIFY(loader.thumbnail("A.JPG").isNull());
        loader.setVisible({file("A.JPG")});
        QVERIFY(!loader.thumbnail("A.JPG").isNull());
        QCOMPARE(disk.reads.count("/run/A.thumb.jpg"), 2);

        loader.setOutputDirectory("/run2");
        QVERIFY(loader.thumbnail("A.JPG").isNull());
        QCOMPARE(loader.attempts("A.JPG"), 0);
    }
};

VF_VIEW_TEST(ThumbnailLoaderTest)
#include "ThumbnailLoaderTest.moc"
