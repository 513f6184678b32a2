#pragma once
// A recovered file shown large with its camera details. The file itself is
// never decoded here: the sandboxed thumbnail tool makes a JPEG of at most
// 800 pixels (a clip's key frame too), the scanner's thumbnail stands in when
// it cannot, and the sheet says plainly when neither exists.

#include <QDialog>
#include <QImage>

#include <functional>

#include "app/EXIFReader.h"
#include "common/Records.h"

class QLabel;
class QPushButton;
class QStackedWidget;
class QVBoxLayout;

namespace vf {

class PreviewImageView;

class FilePreviewSheet : public QDialog {
    Q_OBJECT
public:
    enum class State { loading, shown, failed, videoNotice, noFolder };

    struct Services {
        // Writes a JPEG of `source` at most 800 px on its longer side, quality 85; false when it cannot.
        std::function<bool(const QString& source, const QString& output)> render;
        // Decodes a picture file; a null image when it is not one.
        std::function<QImage(const QString& path)> decode;
        std::function<EXIFData(const QString& path)> readExif;
        // The private folder renditions are written to.
        QString renditionFolder;
    };
    // The platform's: the thumbnail tool beside the application, its image
    // decoder and the EXIF reader, and a private folder of this process.
    static Services defaultServices(std::function<QImage(const QString&)> decode);

    FilePreviewSheet(RecoveredFileInfo file, QImage thumbnail, QString outputDirectory, Services services,
                     QWidget* parent = nullptr);
    ~FilePreviewSheet() override;

    State state() const { return state_; }
    const QImage& image() const { return image_; }
    const EXIFData& exif() const { return exif_; }
    bool showsPlayButton() const;
    // The rows of the metadata panel, as "Section/label: value" lines, for tests.
    QStringList metadataLines() const;

    static QString typeSymbol(const std::string& fileType);
    static bool hasNoStillPreview(const std::string& fileType);  // clips that get "Video preview not available" when no frame comes
    static QString sizeText(std::uint64_t bytes);
    static QString renditionName(const RecoveredFileInfo& file);

signals:
    void loaded();

private:
    struct Result {
        QImage image;
        EXIFData exif;
        bool fromRendition = false;
    };
    void startLoading();
    static Result load(const RecoveredFileInfo& file, const QString& dir, const Services& services, bool isClip);
    void finish(Result result);
    void showState();
    void rebuildMetadata();

    RecoveredFileInfo file_;
    QImage thumbnail_;
    QString outputDirectory_;
    Services services_;
    State state_ = State::loading;
    QImage image_;
    EXIFData exif_;

    PreviewImageView* imageView_;
    QStackedWidget* overlay_;
    QLabel* loadingLabel_;
    QLabel* failTitle_;
    QLabel* failDetail_;
    QLabel* failIcon_;
    QPushButton* play_;
    QVBoxLayout* metadata_;
    QStringList metadataLines_;
};

}  // namespace vf
