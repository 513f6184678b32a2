#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

#include "app/views/FilePreviewSheet.h"
#include "tests/app/views/ViewTest.h"

using vf::FilePreviewSheet;

namespace {

vf::RecoveredFileInfo file(const std::string& name, const std::string& type) {
    vf::RecoveredFileInfo f;
    f.id = f.fileName = name;
    f.fileType = type;
    f.fileSize = 5 * 1048576;
    f.offsetOnDisk = 1048576;
    return f;
}

QImage decode(const QString& path) {
    QImage img;
    img.load(path);
    return img;
}

void writeJpeg(const QString& path, QSize size) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(QColor(40, 120, 200));
    QVERIFY(img.save(path, "JPEG", 90));
}

FilePreviewSheet::State runSheet(FilePreviewSheet& sheet) {
    if (sheet.state() == FilePreviewSheet::State::loading) {
        QSignalSpy spy(&sheet, &FilePreviewSheet::loaded);
        spy.wait(30000);
    }
    return sheet.state();
}

}  // namespace

class FilePreviewSheetTest : public QObject {
    Q_OBJECT
private slots:
    void sizeTexts() {
        QCOMPARE(FilePreviewSheet::sizeText(5 * 1048576), QString("5.0 MB"));
        QCOMPARE(FilePreviewSheet::sizeText(512000), QString("500 KB"));
        QCOMPARE(FilePreviewSheet::sizeText(2147483648ull), QString("2.00 GB"));
    }

    // Rendition, then the scanner's thumbnail, then the notice; clips go to
    // the tool for a key frame, and only the known clip types show the video notice.
    void fallbackChain() {
        QTemporaryDir dir, renditions;
        writeJpeg(dir.filePath("HAS.thumb.jpg"), QSize(160, 120));
        const struct {
            const char* name;
            const char* type;
            bool renders;
            FilePreviewSheet::State expect;
            int width;  // of the picture shown
        } rows[] = {
            {"A.JPG", "JPEG", true, FilePreviewSheet::State::shown, 800},
            {"HAS.JPG", "JPEG", false, FilePreviewSheet::State::shown, 160},
            {"NONE.JPG", "JPEG", false, FilePreviewSheet::State::failed, 0},
            {"CLIP.MP4", "MP4", true, FilePreviewSheet::State::shown, 800},
            {"CLIP2.MP4", "MP4", false, FilePreviewSheet::State::videoNotice, 0},
            {"CLIP.MKV", "MKV", false, FilePreviewSheet::State::failed, 0},
        };
        for (const auto& r : rows) {
            QStringList rendered;
            FilePreviewSheet::Services s;
            s.renditionFolder = renditions.path();
            s.decode = decode;
            s.readExif = [](const QString&) {
                vf::EXIFData e;
                e.make = "Sony";
                e.iso = "ISO 400";
                return e;
            };
            s.render = [&](const QString& source, const QString& out) {
                rendered << source;
                if (r.renders) writeJpeg(out, QSize(800, 600));
                return r.renders;
            };
            FilePreviewSheet sheet(file(r.name, r.type), QImage(), dir.path(), s);
            QVERIFY2(runSheet(sheet) == r.expect, r.name);
            QCOMPARE(sheet.image().width(), r.width);
            QCOMPARE(rendered, QStringList{dir.filePath(r.name)});
            QCOMPARE(QDir(renditions.path()).entryList(QDir::Files), QStringList());  // rendition removed
            QCOMPARE(sheet.showsPlayButton(), QString(r.type) != "JPEG");
            QCOMPARE(sheet.metadataLines().contains("Exposure/ISO: ISO 400"), QString(r.type) == "JPEG");
        }
    }

    void metadataLeavesOutWhatIsAbsent() {
        QTemporaryDir dir;
        FilePreviewSheet::Services s;
        s.readExif = [](const QString&) {
            vf::EXIFData e;
            e.width = 6000;
            e.height = 4000;
            return e;
        };
        FilePreviewSheet sheet(file("A.JPG", "JPEG"), QImage(), dir.path(), s);
        runSheet(sheet);
        QCOMPARE(sheet.metadataLines(), (QStringList{"Image/Dimensions: 6000 \u00d7 4000", "Recovery/Position on card: Offset 1,048,576",
                                                     "Recovery/File size: 5.0 MB"}));
    }

    // The real tool: a large JPEG comes back at 800 px through the private
    // folder; a cut JPEG that it rejects shows the scanner's thumbnail.
    void realToolRendersAndRejects() {
        const QString tool = QString(VF_BIN_DIR) + "/tessarine-thumb";
        if (!QFileInfo(tool).isExecutable()) QSKIP("tessarine-thumb not built");
        QTemporaryDir dir;
        // As root the tool runs as nobody, who must be able to read the files.
        QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755));
        writeJpeg(dir.filePath("BIG.JPG"), QSize(3000, 2000));
        auto s = FilePreviewSheet::defaultServices(decode);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(s.renditionFolder).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, ::geteuid() == 0 ? 0711u : 0700u);
        FilePreviewSheet big(file("BIG.JPG", "JPEG"), QImage(), dir.path(), s);
        QCOMPARE(runSheet(big), FilePreviewSheet::State::shown);
        QCOMPARE(std::max(big.image().width(), big.image().height()), 800);

        QFile cut(dir.filePath("CUT.JPG"));
        QVERIFY(cut.open(QIODevice::WriteOnly));
        QFile whole(dir.filePath("BIG.JPG"));
        QVERIFY(whole.open(QIODevice::ReadOnly));
        cut.write(whole.read(600));
        cut.close();
        writeJpeg(dir.filePath("CUT.thumb.jpg"), QSize(160, 107));
        FilePreviewSheet damaged(file("CUT.JPG", "JPEG"), QImage(), dir.path(), s);
        QCOMPARE(runSheet(damaged), FilePreviewSheet::State::shown);
        QCOMPARE(damaged.image().width(), 160);
    }
};

VF_VIEW_TEST(FilePreviewSheetTest)
#include "FilePreviewSheetTest.moc"
