#include "app/views/ThumbnailLoader.h"

#include <QPointer>

namespace vf {

ThumbnailLoader::ThumbnailLoader(ReadImage read, QObject* parent) : QObject(parent), read_(std::move(read)) {
    setCacheLimitBytes(64ll << 20);
    retryTimer_.setInterval(kRetryMilliseconds);
    connect(&retryTimer_, &QTimer::timeout, this, &ThumbnailLoader::retryTick);
}

void ThumbnailLoader::setOutputDirectory(const QString& dir) {
    if (dir == dir_) return;
    dir_ = dir;
    ++generation_;
    entries_.clear();
    visible_.clear();
    waiting_.clear();
    cache_.clear();
    updateTimer();
}

QString ThumbnailLoader::conventionalName(const QString& fileName) {
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    return (dot > 0 ? fileName.left(dot) : fileName) + QStringLiteral(".thumb.jpg");
}

bool ThumbnailLoader::isPlainName(const QString& n) {
    return !n.isEmpty() && n != QLatin1String(".") && n != QLatin1String("..") && !n.contains(QLatin1Char('/')) &&
           !n.contains(QChar(0));
}

QString ThumbnailLoader::pathIn(const std::string& name) const {
    const QString n = QString::fromStdString(name);
    if (dir_.isEmpty() || !isPlainName(n)) return {};
    return dir_ + QLatin1Char('/') + n;
}

void ThumbnailLoader::setVisible(const std::vector<RecoveredFileInfo>& files) {
    QSet<QString> now;
    for (const RecoveredFileInfo& f : files) now.insert(QString::fromStdString(f.id));
    for (const QString& id : std::as_const(visible_))
        if (!now.contains(id)) waiting_.remove(id);
    const QSet<QString> before = std::exchange(visible_, now);
    for (const RecoveredFileInfo& f : files) {
        const QString id = QString::fromStdString(f.id);
        Entry& e = entries_[id];
        e.file = f;
        if (before.contains(id)) continue;
        if (!cache_.contains(id) && !e.loading && e.attempts < kMaxAttempts) load(e);
    }
    updateTimer();
}

void ThumbnailLoader::load(Entry& e) {
    e.loading = true;
    const QString id = QString::fromStdString(e.file.id);
    const quint64 generation = generation_;
    const QString named = e.file.thumbName ? pathIn(*e.file.thumbName) : QString();
    const QString conventional = pathIn(conventionalName(QString::fromStdString(e.file.fileName)).toStdString());
    // Both names are read in the background: a read on the main thread could
    // stall the window while the scanner keeps the disk busy.
    // The answer may come after the loader is gone.
    const QPointer<ThumbnailLoader> self(this);
    auto tryConventional = [self, id, generation, conventional](QImage image) {
        if (!self) return;
        if (!image.isNull() || conventional.isEmpty()) return self->apply(id, generation, std::move(image));
        self->read_(conventional, [self, id, generation](QImage second) {
            if (self) self->apply(id, generation, std::move(second));
        });
    };
    if (named.isEmpty()) tryConventional(QImage());
    else read_(named, tryConventional);
}

void ThumbnailLoader::apply(const QString& id, quint64 generation, QImage image) {
    if (generation != generation_) return;
    const auto it = entries_.find(id);
    if (it == entries_.end()) return;
    Entry& e = *it;
    e.loading = false;
    if (!image.isNull()) {
        waiting_.remove(id);
        if (image.width() > displaySize_.width() || image.height() > displaySize_.height())
            image = image.scaled(displaySize_, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        const qsizetype cost = std::max<qsizetype>(1, image.sizeInBytes() / 1024);
        cache_.insert(id, new QImage(std::move(image)), cost);
        emit thumbnailLoaded(id);
    } else {
        ++e.attempts;
        if (e.attempts < kMaxAttempts && visible_.contains(id)) waiting_.insert(id);
        else waiting_.remove(id);
    }
    updateTimer();
}

void ThumbnailLoader::retryTick() {
    const QSet<QString> due = waiting_;
    for (const QString& id : due) {
        Entry& e = entries_[id];
        if (!e.loading) load(e);
    }
}

void ThumbnailLoader::updateTimer() {
    const bool any = !waiting_.isEmpty();
    if (any && !retryTimer_.isActive()) retryTimer_.start();
    if (!any) retryTimer_.stop();
}

QImage ThumbnailLoader::thumbnail(const QString& id) const {
    const QImage* img = cache_.object(id);
    return img ? *img : QImage();
}

int ThumbnailLoader::attempts(const QString& id) const {
    const auto it = entries_.constFind(id);
    return it == entries_.cend() ? 0 : it->attempts;
}

bool ThumbnailLoader::isRetrying(const QString& id) const {
    return waiting_.contains(id);
}

}  // namespace vf
