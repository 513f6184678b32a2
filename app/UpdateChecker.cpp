#include "app/UpdateChecker.h"

#include <QDesktopServices>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <cmath>
#include <cstdio>

#ifndef VF_UPDATE_FEED
#define VF_UPDATE_FEED "https://quorvane.example/appcast.json"
#endif
#ifndef VF_BUILD_NUMBER
#define VF_BUILD_NUMBER "0"
#endif

namespace vf {
namespace {

const QString kUnavailable = QStringLiteral("ℹ️ Update check unavailable: ");

void printLine(const QString& line) {
    std::fputs((line + QLatin1Char('\n')).toUtf8().constData(), stdout);
    std::fflush(stdout);
}

}  // namespace

std::optional<ReleaseManifest> ReleaseManifest::decode(const QByteArray& json, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error) *error = why;
        return std::nullopt;
    };
    QJsonParseError parse{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse);
    if (parse.error != QJsonParseError::NoError) return fail("the feed is not JSON: " + parse.errorString());
    if (!doc.isObject()) return fail(QStringLiteral("the feed is not a JSON object"));
    const QJsonObject o = doc.object();
    for (const char* key : {"version", "build", "download_url"})
        if (!o.contains(QLatin1String(key))) return fail(QStringLiteral("the feed has no \"%1\"").arg(key));
    const QJsonValue version = o.value("version"), build = o.value("build"), url = o.value("download_url");
    if (!version.isString()) return fail(QStringLiteral("the feed's \"version\" is not text"));
    // JSON numbers are doubles here; a build is one that is whole and fits 64 bits.
    const double b = build.toDouble(std::nan(""));
    if (!build.isDouble() || !std::isfinite(b) || b != std::trunc(b) || std::fabs(b) >= 9.2e18)
        return fail(QStringLiteral("the feed's \"build\" is not an integer"));
    if (!url.isString()) return fail(QStringLiteral("the feed's \"download_url\" is not text"));
    const QUrl download(url.toString(), QUrl::StrictMode);
    // Only a web page may be opened from the feed, never a file or another program's scheme.
    if (!download.isValid() || (download.scheme() != "https" && download.scheme() != "http") ||
        download.host().isEmpty())
        return fail(QStringLiteral("the feed's \"download_url\" is not a web address"));
    return ReleaseManifest{version.toString(), static_cast<qint64>(b), download};
}

UpdateChecker::UpdateChecker(QObject* parent) : UpdateChecker(Options{}, parent) {}

UpdateChecker::UpdateChecker(Options options, QObject* parent) : QObject(parent), options_(std::move(options)) {
    if (!options_.log) options_.log = printLine;
    if (!options_.openUrl) options_.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
}

QUrl UpdateChecker::defaultFeed() { return QUrl(QStringLiteral(VF_UPDATE_FEED)); }
QString UpdateChecker::defaultRunningBuild() { return QStringLiteral(VF_BUILD_NUMBER); }

qint64 UpdateChecker::buildNumber(const QString& text) {
    QStringView digits(text);
    bool negative = false;
    if (!digits.isEmpty() && (digits.front() == u'+' || digits.front() == u'-')) {
        negative = digits.front() == u'-';
        digits = digits.mid(1);
    }
    if (digits.isEmpty()) return 0;
    qint64 v = 0;
    for (QChar c : digits) {
        if (c < u'0' || c > u'9') return 0;
        const int d = c.unicode() - u'0';
        if (v > (std::numeric_limits<qint64>::max() - d) / 10) return 0;
        v = v * 10 + d;
    }
    return negative ? -v : v;
}

void UpdateChecker::checkForUpdates() {
    QNetworkRequest request(options_.feed);
    request.setRawHeader("Accept", "application/json");
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setTransferTimeout(options_.timeoutMs);
    QNetworkReply* reply = network_.get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        handleReply(reply);
        reply->deleteLater();
        emit checkFinished();
    });
}

void UpdateChecker::handleReply(QNetworkReply* reply) {
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    // An HTTP answer, whatever its status, is not a failed request: only 200 is read.
    if (!status.isValid()) {
        const bool timedOut = reply->error() == QNetworkReply::OperationCanceledError ||
                              reply->error() == QNetworkReply::TimeoutError;
        options_.log(kUnavailable + (timedOut ? QStringLiteral("The request timed out.") : reply->errorString()));
        return;
    }
    if (status.toInt() != 200) return;
    QString why;
    const auto manifest = ReleaseManifest::decode(reply->readAll(), &why);
    if (!manifest) {
        options_.log(kUnavailable + why);
        return;
    }
    if (buildNumber(options_.runningBuild) < manifest->build) {
        latestVersion_ = manifest->version;
        downloadURL_ = manifest->downloadURL;
        updateAvailable_ = true;
        emit updateAvailableChanged(true);
    }
}

void UpdateChecker::openDownload() {
    if (downloadURL_) options_.openUrl(*downloadURL_);
}

}  // namespace vf
