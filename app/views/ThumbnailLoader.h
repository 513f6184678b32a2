#pragma once
// Thumbnails of the recovered files that are on screen. The scanner writes a
// thumbnail a moment after it reports the file, so a row that finds none
// tries again every two seconds, 30 times in all, while it stays visible.
// Loaded pictures live in a cache bounded by memory; a row scrolled back into
// view after eviction loads again.

#include <QCache>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QTimer>

#include <functional>
#include <vector>

#include "common/Records.h"

namespace vf {

class ThumbnailLoader : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxAttempts = 30;
    static constexpr int kRetryMilliseconds = 2000;

    // Reads and decodes the file off the main thread; `done` runs on the main
    // thread with the picture, or a null image.
    using ReadImage = std::function<void(const QString& path, std::function<void(QImage)> done)>;

    explicit ThumbnailLoader(ReadImage read, QObject* parent = nullptr);

    // The folder the names are looked up in; a new folder (a new run) forgets
    // every thumbnail and count.
    void setOutputDirectory(const QString& dir);
    const QString& outputDirectory() const { return dir_; }
    // Pictures are kept at most this size (the largest cell that draws them).
    void setDisplaySize(QSize size) { displaySize_ = size; }
    void setCacheLimitBytes(qint64 bytes) { cache_.setMaxCost(static_cast<qsizetype>(bytes / 1024)); }

    // The files now on screen. Those that newly appear and have no picture
    // load one; those that leave stop retrying, keeping their count.
    void setVisible(const std::vector<RecoveredFileInfo>& files);

    QImage thumbnail(const QString& id) const;
    int attempts(const QString& id) const;
    bool isRetrying(const QString& id) const;

    // One firing of the retry timer: every visible file that is waiting tries again.
    void retryTick();

    // The conventional name of a file's thumbnail: the name without its last
    // extension, then ".thumb.jpg". A name without one keeps all of it, so
    // that it cannot look up ".thumb.jpg", which may be another file's picture.
    static QString conventionalName(const QString& fileName);
    // A name from the progress file is used only when it names a file inside the folder.
    static bool isPlainName(const QString& name);

signals:
    void thumbnailLoaded(const QString& id);

private:
    struct Entry {
        RecoveredFileInfo file;
        int attempts = 0;
        bool loading = false;
    };
    void load(Entry& e);
    void apply(const QString& id, quint64 generation, QImage image);
    QString pathIn(const std::string& name) const;
    void updateTimer();

    ReadImage read_;
    QString dir_;
    QSize displaySize_{320, 240};
    QHash<QString, Entry> entries_;
    QSet<QString> visible_;
    QSet<QString> waiting_;  // their retry timer runs
    QCache<QString, QImage> cache_;
    QTimer retryTimer_;
    quint64 generation_ = 0;
};

}  // namespace vf
