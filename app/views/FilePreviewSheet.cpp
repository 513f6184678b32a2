#include "app/views/FilePreviewSheet.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string_view>

#include "app/views/CheckerboardPattern.h"
#include "app/views/RecoveredFileModel.h"
#include "app/views/Symbols.h"
#include "app/views/Theme.h"
#include "app/views/ThumbnailLoader.h"
#include "app/views/Widgets.h"
#include "platform/Thumbnailer.h"

namespace vf {

// The picture scaled to fit, on the checkerboard.
class PreviewImageView : public QWidget {
public:
    void setImage(const QImage& img) {
        image_ = img;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x16, 0x16, 0x18));
        p.drawRoundedRect(QRectF(rect()), 10, 10);
        if (image_.isNull()) return;
        const QSizeF s = QSizeF(image_.size()).scaled(QSizeF(rect().size()) - QSizeF(24, 24), Qt::KeepAspectRatio);
        const QRectF target((width() - s.width()) / 2, (height() - s.height()) / 2, s.width(), s.height());
        if (image_.hasAlphaChannel()) CheckerboardPattern::paint(p, target.toAlignedRect(), 0.08);
        p.drawImage(target, image_);
    }

private:
    QImage image_;
};

namespace {

constexpr std::array<std::string_view, 7> kNoStillPreview{"MP4", "MOV", "AVI", "MTS", "M2TS", "MXF", "BRAW"};
constexpr std::array<std::string_view, 9> kPhotoSymbolTypes{"HEIC", "AVIF", "WebP", "PNG", "GIF",
                                                            "BMP",  "TIFF", "PPM",  "RAW"};

bool plainName(const QString& n) { return ThumbnailLoader::isPlainName(n); }

bool isRegularFile(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

QString renditionFolderOfProcess() {
    // Made once, mode 0700, under a fresh random name: nobody else can plant
    // a link at a rendition's name inside it.
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/velliform-preview-XXXXXX"));
    if (!dir.isValid()) return {};
    // As root the thumbnail tool runs as nobody and writes into a folder of
    // its own inside this one, which it must be able to pass through; it
    // still cannot list this folder or add anything to it.
    static const bool passable = ::geteuid() != 0 || ::chmod(QFile::encodeName(dir.path()).constData(), 0711) == 0;
    return passable ? dir.path() : QString();
}

QString join(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    QStringList parts;
    if (a && !a->empty()) parts << QString::fromStdString(*a);
    if (b && !b->empty()) parts << QString::fromStdString(*b);
    return parts.join(QLatin1Char(' '));
}

}  // namespace

QString FilePreviewSheet::typeSymbol(const std::string& fileType) {
    if (isVideoType(fileType)) return QStringLiteral("video.fill");
    for (std::string_view t : kPhotoSymbolTypes)
        if (t == fileType) return QStringLiteral("photo.fill");
    return QStringLiteral("camera.aperture");
}

bool FilePreviewSheet::hasNoStillPreview(const std::string& fileType) {
    for (std::string_view t : kNoStillPreview)
        if (t == fileType) return true;
    return false;
}

QString FilePreviewSheet::sizeText(std::uint64_t bytes) {
    if (bytes < 1048576ull) return QStringLiteral("%1 KB").arg(bytes / 1024);
    if (bytes < 1073741824ull) return QString::asprintf("%.1f MB", static_cast<double>(bytes) / 1048576.0);
    return QString::asprintf("%.2f GB", static_cast<double>(bytes) / 1073741824.0);
}

QString FilePreviewSheet::renditionName(const RecoveredFileInfo& file) {
    return QStringLiteral("velliform_preview_") + QString::fromStdString(file.id) + QStringLiteral(".jpg");
}

FilePreviewSheet::Services FilePreviewSheet::defaultServices(std::function<QImage(const QString&)> decode) {
    Services s;
    s.render = [](const QString& source, const QString& output) {
        ThumbnailJob job;
        job.source = QFile::encodeName(source).toStdString();
        job.output = QFile::encodeName(output).toStdString();
        job.longestSide = 800;
        job.quality = 85;
        ThumbnailOptions options;
        options.wallSeconds = 30;  // a large raw file or a long clip's key frame
        return runThumbnailTool(job, options);
    };
    s.decode = std::move(decode);
    s.readExif = [](const QString& path) { return EXIFReader().read(QFile::encodeName(path).toStdString()); };
    s.renditionFolder = renditionFolderOfProcess();
    return s;
}

FilePreviewSheet::FilePreviewSheet(RecoveredFileInfo file, QImage thumbnail, QString outputDirectory,
                                   Services services, QWidget* parent)
    : QDialog(parent),
      file_(std::move(file)),
      thumbnail_(std::move(thumbnail)),
      outputDirectory_(std::move(outputDirectory)),
      services_(std::move(services)) {
    setWindowTitle(QString::fromStdString(file_.fileName));
    setModal(true);
    setAttribute(Qt::WA_DeleteOnClose, false);
    resize(parent ? parent->window()->size() - QSize(40, 40) : QSize(820, 560));
    setMinimumSize(560, 440);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 14, 18, 16);
    layout->setSpacing(12);

    auto* top = new QHBoxLayout;
    top->setSpacing(10);
    top->addWidget(ui::symbolLabel(typeSymbol(file_.fileType), 22, theme::accent));
    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    auto* name = new QLabel(QString::fromStdString(file_.fileName));
    name->setFont(theme::font(12, QFont::DemiBold));
    name->setTextInteractionFlags(Qt::TextSelectableByMouse);
    titles->addWidget(name);
    titles->addWidget(ui::caption(QString::fromStdString(file_.fileType) + QStringLiteral("  ·  ") +
                                  sizeText(file_.fileSize)));
    top->addLayout(titles, 1);
    play_ = ui::textButton(QStringLiteral("Play"), QStringLiteral("play.fill"), true);
    play_->setToolTip(QStringLiteral("Open the clip in the default video player"));
    play_->setVisible(showsPlayButton());
    connect(play_, &QPushButton::clicked, this, [this] {
        QDesktopServices::openUrl(
            QUrl::fromLocalFile(outputDirectory_ + QLatin1Char('/') + QString::fromStdString(file_.fileName)));
    });
    top->addWidget(play_);
    auto* close = ui::symbolButton(QStringLiteral("xmark.circle.fill"), 22, theme::white(0.45));
    close->setToolTip(QStringLiteral("Close"));
    connect(close, &QToolButton::clicked, this, &QDialog::accept);
    top->addWidget(close);
    layout->addLayout(top);

    auto* body = new QHBoxLayout;
    body->setSpacing(14);
    auto* imageArea = new QWidget;
    auto* stackLayout = new QGridLayout(imageArea);
    stackLayout->setContentsMargins(0, 0, 0, 0);
    imageView_ = new PreviewImageView;
    imageView_->setMinimumSize(300, 260);
    stackLayout->addWidget(imageView_, 0, 0);
    overlay_ = new QStackedWidget;
    overlay_->setAttribute(Qt::WA_TranslucentBackground);
    overlay_->setStyleSheet(QStringLiteral("QStackedWidget { background: transparent; }"));
    overlay_->addWidget(new QWidget);  // nothing over the picture
    loadingLabel_ = new QLabel(QStringLiteral("Loading preview\u2026"));
    loadingLabel_->setAlignment(Qt::AlignCenter);
    loadingLabel_->setFont(theme::font(10, QFont::Medium));
    loadingLabel_->setStyleSheet(
        QStringLiteral("QLabel { background: rgba(0,0,0,0.55); border-radius: 8px; padding: 8px 14px; }"));
    auto* loadingBox = new QWidget;
    auto* lb = new QVBoxLayout(loadingBox);
    lb->addWidget(loadingLabel_, 0, Qt::AlignCenter);
    overlay_->addWidget(loadingBox);
    auto* failBox = new QWidget;
    auto* fb = new QVBoxLayout(failBox);
    fb->addStretch();
    failIcon_ = ui::symbolLabel(QStringLiteral("exclamationmark.triangle"), 40, theme::white(0.4));
    fb->addWidget(failIcon_, 0, Qt::AlignHCenter);
    failTitle_ = new QLabel;
    failTitle_->setFont(theme::font(11, QFont::DemiBold));
    failTitle_->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.8)"));
    fb->addWidget(failTitle_, 0, Qt::AlignHCenter);
    failDetail_ = ui::caption(QString(), 0.5);
    fb->addWidget(failDetail_, 0, Qt::AlignHCenter);
    fb->addStretch();
    overlay_->addWidget(failBox);
    stackLayout->addWidget(overlay_, 0, 0);
    body->addWidget(imageArea, 1);

    auto* panel = new QScrollArea;
    panel->setWidgetResizable(true);
    panel->setFrameShape(QFrame::NoFrame);
    panel->setFixedWidth(250);
    panel->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* panelContent = new QWidget;
    metadata_ = new QVBoxLayout(panelContent);
    metadata_->setContentsMargins(0, 0, 4, 0);
    metadata_->setSpacing(10);
    panel->setWidget(panelContent);
    body->addWidget(panel);
    layout->addLayout(body, 1);

    rebuildMetadata();
    startLoading();
}

FilePreviewSheet::~FilePreviewSheet() = default;

bool FilePreviewSheet::showsPlayButton() const { return isVideoType(file_.fileType) && !outputDirectory_.isEmpty(); }

void FilePreviewSheet::startLoading() {
    if (outputDirectory_.isEmpty() || !plainName(QString::fromStdString(file_.fileName))) {
        state_ = State::noFolder;
        showState();
        return;
    }
    state_ = State::loading;
    showState();
    const QPointer<FilePreviewSheet> self(this);
    QThreadPool::globalInstance()->start(
        [self, file = file_, dir = outputDirectory_, services = services_, clip = isVideoType(file_.fileType)] {
            Result r = load(file, dir, services, clip);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, r = std::move(r)]() mutable {
                    if (self) self->finish(std::move(r));
                },
                Qt::QueuedConnection);
        });
}

FilePreviewSheet::Result FilePreviewSheet::load(const RecoveredFileInfo& file, const QString& dir,
                                                const Services& services, bool isClip) {
    Result r;
    const QString source = dir + QLatin1Char('/') + QString::fromStdString(file.fileName);
    // Clips carry no camera metadata the reader knows; their key frame comes from the tool.
    if (!isClip && services.readExif) r.exif = services.readExif(source);
    if (services.render && !services.renditionFolder.isEmpty() && plainName(renditionName(file))) {
        const QString out = services.renditionFolder + QLatin1Char('/') + renditionName(file);
        QFile::remove(out);
        if (services.render(source, out) && isRegularFile(out)) {
            r.image = services.decode ? services.decode(out) : QImage();
            r.fromRendition = !r.image.isNull();
        }
        QFile::remove(out);
    }
    if (r.image.isNull() && services.decode) {
        QStringList names;
        if (file.thumbName) names << QString::fromStdString(*file.thumbName);
        names << ThumbnailLoader::conventionalName(QString::fromStdString(file.fileName));
        for (const QString& n : names) {
            if (!plainName(n) || !isRegularFile(dir + QLatin1Char('/') + n)) continue;
            r.image = services.decode(dir + QLatin1Char('/') + n);
            if (!r.image.isNull()) break;
        }
    }
    return r;
}

void FilePreviewSheet::finish(Result result) {
    image_ = std::move(result.image);
    exif_ = std::move(result.exif);
    if (!image_.isNull()) state_ = State::shown;
    else state_ = hasNoStillPreview(file_.fileType) ? State::videoNotice : State::failed;
    rebuildMetadata();
    showState();
    emit loaded();
}

void FilePreviewSheet::showState() {
    switch (state_) {
    case State::loading:
        imageView_->setImage(thumbnail_);
        overlay_->setCurrentIndex(1);
        break;
    case State::shown:
        imageView_->setImage(image_);
        overlay_->setCurrentIndex(0);
        break;
    case State::videoNotice:
        imageView_->setImage({});
        ui::setSymbol(failIcon_, QStringLiteral("video.fill"), 40, theme::white(0.4));
        failTitle_->setText(QStringLiteral("Video preview not available"));
        failDetail_->setText(QStringLiteral("Use Play to watch the clip"));
        failDetail_->setVisible(showsPlayButton());
        overlay_->setCurrentIndex(2);
        break;
    case State::failed:
    case State::noFolder:
        imageView_->setImage({});
        ui::setSymbol(failIcon_, QStringLiteral("exclamationmark.triangle"), 40, theme::white(0.4));
        failTitle_->setText(QStringLiteral("Preview unavailable"));
        failDetail_->setText(state_ == State::failed ? QStringLiteral("The file may be partially recovered")
                                                     : QStringLiteral("The recovered files are no longer available"));
        failDetail_->setVisible(true);
        overlay_->setCurrentIndex(2);
        break;
    }
}

void FilePreviewSheet::rebuildMetadata() {
    while (QLayoutItem* item = metadata_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    metadataLines_.clear();
    using Row = std::tuple<const char*, QString, QString>;  // symbol, label, value
    auto text = [](const std::optional<std::string>& v) { return v ? QString::fromStdString(*v) : QString(); };
    QString dimensions;
    if (exif_.width && exif_.height) dimensions = QStringLiteral("%1 \u00d7 %2").arg(*exif_.width).arg(*exif_.height);
    const QString date = exif_.dateTaken ? displayDate(*exif_.dateTaken)
                                         : (file_.dateTaken ? displayDate(*file_.dateTaken) : QString());
    const std::pair<const char*, std::vector<Row>> sections[] = {
        {"Camera",
         {{"camera.fill", "Camera", join(exif_.make, exif_.model)}, {"calendar", "Date taken", date}}},
        {"Exposure",
         {{"scope", "Aperture", text(exif_.aperture)},
          {"timer", "Shutter speed", text(exif_.shutterSpeed)},
          {"camera.aperture", "ISO", text(exif_.iso)},
          {"plusminus", "Exposure bias", text(exif_.exposureBias)},
          {"arrow.left.and.right", "Focal length", text(exif_.focalLength)}}},
        {"Image",
         {{"aspectratio", "Dimensions", dimensions},
          {"wand.and.stars", "Flash", text(exif_.flash)},
          {"sun.max", "White balance", text(exif_.whiteBalance)},
          {"paintpalette", "Colour space", text(exif_.colorSpace)}}},
        {"Recovery",
         {{"externaldrive", "Position on card", QStringLiteral("Offset ") + QLocale(QLocale::English).toString(
                                                                          static_cast<qulonglong>(file_.offsetOnDisk))},
          {"scalemass", "File size", sizeText(file_.fileSize)}}},
    };
    for (const auto& [title, rows] : sections) {
        bool any = false;
        for (const auto& row : rows) any |= !std::get<2>(row).isEmpty();
        if (!any) continue;
        auto* card = ui::card();
        auto* col = new QVBoxLayout(card);
        col->setContentsMargins(12, 10, 12, 10);
        col->setSpacing(7);
        auto* heading = ui::caption(QString::fromLatin1(title).toUpper(), 0.5);
        heading->setFont(theme::font(7.5, QFont::DemiBold));
        col->addWidget(heading);
        for (const auto& [symbol, label, value] : rows) {
            if (value.isEmpty()) continue;
            metadataLines_ << QStringLiteral("%1/%2: %3").arg(QString::fromLatin1(title), label, value);
            auto* line = new QHBoxLayout;
            line->setSpacing(8);
            auto* icon = ui::symbolLabel(QString::fromLatin1(symbol), 14, theme::white(0.55));
            icon->setToolTip(label);
            line->addWidget(icon, 0, Qt::AlignTop);
            auto* v = new QLabel(value);
            v->setWordWrap(true);
            v->setFont(theme::font(9.5));
            v->setToolTip(label);
            v->setTextInteractionFlags(Qt::TextSelectableByMouse);
            line->addWidget(v, 1);
            col->addLayout(line);
        }
        metadata_->addWidget(card);
    }
    metadata_->addStretch();
}

QStringList FilePreviewSheet::metadataLines() const { return metadataLines_; }

}  // namespace vf
