#include "app/UpdateChecker.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>

#include "tests/app/AppTest.h"

namespace vf {
namespace {

// A feed on 127.0.0.1 that gives one fixed answer, or none at all.
class Feed {
public:
    Feed(int status, QByteArray body, bool answer = true) {
        test::ensureQtApp();  // listening needs the application's event loop
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this, status, body, answer] {
            QTcpSocket* s = server_.nextPendingConnection();
            const auto serve = [this, s, status, body, answer] {
                request_ += s->readAll();
                if (!answer || !request_.contains("\r\n\r\n")) return;
                s->write("HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Type: application/json\r\n"
                         "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
                s->disconnectFromHost();
            };
            QObject::connect(s, &QTcpSocket::readyRead, s, serve);
            // The request may have arrived before the connection was taken.
            QMetaObject::invokeMethod(s, serve, Qt::QueuedConnection);
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.json").arg(server_.serverPort())); }

private:
    QTcpServer server_;
    QByteArray request_;
};

const QByteArray kManifest42 = R"({"version":"2.0","build":42,"download_url":"https://quorvane.example/get","notes":"x"})";

// Build numbers alone decide; a feed that cannot be read is one line in the log, or
// none for a missing feed, and never an offer.
TEST(UpdateChecker, OffersNewerBuildsAndLogsAFeedItCannotRead) {
    const struct {
        int status;
        QByteArray body;
        QString running;
        QString offered;  // the version offered; empty: none
        const char* line;  // the log's one line begins so, after its heading; nullptr: no line
        bool answer = true;
    } rows[] = {
        {200, kManifest42, "41", "2.0", nullptr},
        {200, kManifest42, "42", "", nullptr},
        {200, R"({"version":"0.9","build":1,"download_url":"https://quorvane.example/get"})", "1.2", "0.9", nullptr},
        {404, kManifest42, "1", "", nullptr},
        {200, R"({"version":2,"build":42,"download_url":"https://a.example/"})", "1", "",
         "the feed's \"version\" is not text"},
        {200, R"({"version":"2","build":"42","download_url":"https://a.example/"})", "1", "",
         "the feed's \"build\" is not an integer"},
        {200, R"({"version":"2","build":42,"download_url":"file:///usr/bin/xterm"})", "1", "",
         "the feed's \"download_url\" is not a web address"},
        {200, "<html>", "1", "", "the feed is not JSON: "},
        {200, "", "1", "", "The request timed out.", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body.toStdString() + " running " + row.running.toStdString());
        Feed feed(row.status, row.body, row.answer);
        QStringList log;
        QList<QUrl> opened;
        UpdateChecker checker({.feed = feed.url(), .runningBuild = row.running, .timeoutMs = row.answer ? 10'000 : 300,
                               .log = [&](const QString& line) { log << line; },
                               .openUrl = [&](const QUrl& url) { return opened << url, true; }});
        QSignalSpy done(&checker, &UpdateChecker::checkFinished);
        checker.checkForUpdates();
        EXPECT_TRUE(done.wait(15'000));
        EXPECT_EQ(checker.updateAvailable(), !row.offered.isEmpty());
        EXPECT_EQ(checker.latestVersion(), row.offered);
        checker.openDownload();
        EXPECT_EQ(opened, !row.offered.isEmpty() ? QList<QUrl>{QUrl("https://quorvane.example/get")} : QList<QUrl>{});
        const QString line = "ℹ️ Update check unavailable: " + QString::fromUtf8(row.line ? row.line : "");
        EXPECT_TRUE(row.line ? log.size() == 1 && log[0].startsWith(line) : log.isEmpty())
            << log.join("|").toStdString();
    }
}

}  // namespace
}  // namespace vf
