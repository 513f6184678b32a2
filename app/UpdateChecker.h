#pragma once
// Asks the update feed once whether a newer build exists. Silent: every
// failure only prints a line. Nothing is downloaded or run; the user is only
// offered the download page.

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

namespace vf {

// The feed document: {"version": "1.2", "build": 42, "download_url": "https://…"}.
struct ReleaseManifest {
    QString version;
    qint64 build = 0;
    QUrl downloadURL;

    // Nothing when the text is not such an object; `error` says what is wrong.
    static std::optional<ReleaseManifest> decode(const QByteArray& json, QString* error);
};

class UpdateChecker : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool updateAvailable READ updateAvailable NOTIFY updateAvailableChanged)

public:
    struct Options {
        QUrl feed = defaultFeed();
        QString runningBuild = defaultRunningBuild();
        int timeoutMs = 10'000;
        std::function<void(const QString&)> log;      // default: the standard output
        std::function<bool(const QUrl&)> openUrl;     // default: the desktop's web browser
    };

    explicit UpdateChecker(QObject* parent = nullptr);
    explicit UpdateChecker(Options options, QObject* parent = nullptr);

    // One request and comparison; the answer arrives later, on this thread.
    void checkForUpdates();
    // Opens the download page of the update found; nothing without one.
    void openDownload();

    bool updateAvailable() const { return updateAvailable_; }
    const QString& latestVersion() const { return latestVersion_; }
    const std::optional<QUrl>& downloadURL() const { return downloadURL_; }

    // Both from the build: the feed's address (its path "/appcast.json") and this build's number.
    static QUrl defaultFeed();
    static QString defaultRunningBuild();
    // A decimal integer with an optional sign; anything else (such as "1.2") counts as 0.
    static qint64 buildNumber(const QString& text);

signals:
    void updateAvailableChanged(bool available);
    void checkFinished();  // after every check, with or without an update

private:
    void handleReply(class QNetworkReply* reply);

    Options options_;
    QNetworkAccessManager network_;
    bool updateAvailable_ = false;
    QString latestVersion_;
    std::optional<QUrl> downloadURL_;
};

}  // namespace vf
